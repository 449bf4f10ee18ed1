// The runtime object: all of vexa's shared state, from load to unload.
//
// Ground rules for code on a hook path:
//  - No lock but an access log's lock, the sharing detector's structure
//    lock and cases_lock, and a detector's feature_lock, except where the
//    hook raises an event or serves the debugger (runtime lock). A hook
//    never holds the runtime lock while it calls a detector.
//  - No heap call once an object, a task and a code address are known; the
//    first appearance of each may allocate.
//  - std::bad_alloc may pass out of any hook into the program; every lock is
//    held through a scope object, so none stays held.
//
// Lock order: the ranks of lock_rank (src/lock/lock.h), one order for the
// library and the bridge, checked in a checking build. In short: the
// runtime lock, then a detector's feature_lock (configure() resets a
// detector), then tsm_t's structure lock, one access log's lock, a handle
// table's block lock, tsm_t::cases_lock (tsm.h); the rest are taken alone
// or last. re_t's raise and tsm_t::commit release their own locks before
// they take the runtime lock; the runtime lock is then held for the whole
// stop. fork() takes every lock there is from the registries (fork.cc).
#ifndef VEXA_RUNTIME_H
#define VEXA_RUNTIME_H

#include <atomic>
#include <cstdint>

#include "../../include/vexa.h"
#include "../lock/lock.h"
#include "../re/re.h"
#include "../tsm/tsm.h"
#include "base.h"
#include "current.h"
#include "finished_table.h"
#include "identity_map.h"

namespace vexa {

class vexa_t {
 public:
  vexa_t();
  ~vexa_t();
  vexa_t(vexa_t const&) = delete;
  vexa_t& operator=(vexa_t const&) = delete;

  // Raises one event and returns when the debugger has resumed with nothing
  // pending. Callers hold `lock` (the destructor excepted). A detection
  // that admit() let through already is `admitted`.
  void notify_debugger(vexa_event_reason_t reason, bool admitted = false);
  // Takes a detection in: with distinct detections on, one raised before is
  // counted and refused (false); one let through counts as raised, so the
  // caller must raise it (notify_debugger(reason, true)). A detector may
  // call it before it fills the rest of the record, once the record holds
  // what tells detections apart (distinct.h). Caller holds `lock`.
  bool admit(vexa_event_reason_t reason);
  // Executes the debugger's pending commands; the answer to raise next.
  vexa_event_reason_t configure();

  void lock_features();
  void unlock_features();

  // The identity recorded for a handle, (0, 0) when none. Caller holds lock.
  thread_model_t::threadid_t identity_of(unsigned short handle) const {
    auto it = threads.find(handle);
    return it == threads.end() ? thread_model_t::threadid_t{0, 0} : it->second;
  }

  // The members live in unions so that the destructor leaves them alone:
  // a thread may still be inside a hook while the process exits, and the
  // memory of an unloaded library goes with its mapping anyway. Their
  // constructors run in vexa_t's constructor, in this order.
  union {
    lock_t lock;  // guards threads, live_tasks updates, the detection record, every stop, hook diagnostics
  };
  union {
    identity_map_t threads;  // handle -> identity; guarded by lock
  };
  // Tasks that ran to their end and keep their accesses and handle until
  // they are absorbed or released (_VEXA_finishTaskAt), by task id;
  // guarded by finished_lock, so that finishing and absorbing tasks do not
  // queue on the runtime lock more than entering and leaving ones do.
  union {
    finished_table_t finished;
  };
  union {
    lock_t finished_lock;
  };
  // Written under lock; the memory hooks also read it without the lock to
  // switch themselves off, and look again under the lock before acting.
  union {
    std::atomic<std::uint32_t> live_tasks;
  };
  union {
    tsm_t tsm;
  };
  union {
    re_t re;
  };
  feature_t* features[2];

 private:
  vexa_event_reason_t allocate_filter_buffer();
  vexa_event_reason_t apply_filter_records();
};

extern vexa_t vexa;

// Keeps fork() from copying a lock that another thread holds (fork.cc).
void install_fork_handlers();
extern std::uint32_t logging_level;             // diagnostics mask, from VEXA_LOGGING
extern std::uint32_t __vexa_filter_space_size;  // capacity of the filter buffer, in records
// The filter buffer as allocated. __vexa_filter_space only tells the
// debugger where it is; the library never reads its address back from there.
extern vexa_filter_t* filter_buffer;

// Bits of logging_level.
enum : std::uint32_t {
  log_detection = 0x01,
  log_status = 0x02,
  log_errors = 0x04,
  log_compact = 0x08,
  log_raw = 0x10,
  log_trace = 0x20,
};

// Reads an environment variable as the library does at load: the number at
// the start of its text (strtoul, in the given base; text after it is
// ignored). False, with a line under the error bit of logging_level, when
// the variable is empty, holds no number, is negative or does not fit;
// false without a word when it is missing.
bool read_environment(char const* name, int base, std::uint32_t& out);
// The same for an address of the target, hexadecimal, the whole word wide.
bool read_environment_address(char const* name, address_t& out);

}  // namespace vexa

#endif  // VEXA_RUNTIME_H
