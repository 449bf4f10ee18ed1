// The runtime object: all of vexa's shared state, from load to unload.
//
// Ground rules for code on a hook path:
//  - No lock but a chain's node locks, a detector's feature_lock and
//    cases_lock, except where the hook raises an event or serves the
//    debugger (runtime lock). A hook never holds the runtime lock while it
//    calls a detector.
//  - No heap call but an arena refill, except on an object's, a task's or a
//    code address's first appearance.
//  - std::bad_alloc may pass out of any hook into the program; every lock is
//    held through a scope object, so none stays held.
//
// Lock order, for the whole library:
//   runtime lock (vexa_t::lock)
//     -> a detector's feature_lock (configure() resets a detector)
//     -> a chain's lock -> node locks in chain order -> tsm_t::cases_lock
// re_t::check and tsm_t::commit release their own locks before they take
// the runtime lock; the runtime lock is then held for the whole stop.
// arena_pool_t::lock (current.h) is a leaf: taken under any of these when a
// thread first needs an arena, and nothing is locked while it is held.
// distinct_t's lock (distinct.h) is a leaf too: taken under the runtime lock
// in a stop, alone at unload.
#ifndef VEXA_RUNTIME_H
#define VEXA_RUNTIME_H

#include <atomic>
#include <cstdint>
#include <map>

#include "../../include/vexa.h"
#include "../lock/lock.h"
#include "../re/re.h"
#include "../tsm/tsm.h"
#include "base.h"
#include "current.h"

namespace vexa {

class vexa_t {
 public:
  vexa_t();
  ~vexa_t();
  vexa_t(vexa_t const&) = delete;
  vexa_t& operator=(vexa_t const&) = delete;

  // Raises one event and returns when the debugger has resumed with nothing
  // pending. Callers hold `lock` (the destructor excepted).
  void notify_debugger(vexa_event_reason_t reason);
  // Executes the debugger's pending commands; the answer to raise next.
  vexa_event_reason_t configure();

  void lock_features();
  void unlock_features();

  // The identity recorded for a handle, (0, 0) when none. Caller holds lock.
  thread_model_t::threadid_t identity_of(unsigned short handle) const {
    auto it = threads.find(handle);
    return it == threads.end() ? thread_model_t::threadid_t{0, 0} : it->second;
  }

  lock_t lock;  // guards threads, live_tasks updates, the detection record, every stop, hook diagnostics
  std::map<unsigned short, thread_model_t::threadid_t> threads;  // handle -> identity; guarded by lock
  // Written under lock; the memory hooks also read it without the lock to
  // switch themselves off, and look again under the lock before acting.
  std::atomic<std::uint32_t> live_tasks;
  tsm_t tsm;
  re_t re;
  feature_t* features[2];

 private:
  vexa_event_reason_t allocate_filter_buffer();
  vexa_event_reason_t apply_filter_records();
};

extern vexa_t vexa;
extern std::uint32_t logging_level;             // diagnostics mask, from VEXA_LOGGING
extern std::uint32_t __vexa_filter_space_size;  // capacity of the filter buffer, in records

// Bits of logging_level.
enum : std::uint32_t {
  log_detection = 0x01,
  log_status = 0x02,
  log_errors = 0x04,
  log_compact = 0x08,
  log_raw = 0x10,
  log_trace = 0x20,
};

// Reads an environment variable as the library does at load: the whole
// text converted with strtoul/strtol in the given base, kept only when the
// conversion sets no errno. Returns false when missing or out of range.
bool read_environment(char const* name, int base, std::uint32_t& out);
bool read_environment_signed(char const* name, int base, long& out);

}  // namespace vexa

#endif  // VEXA_RUNTIME_H
