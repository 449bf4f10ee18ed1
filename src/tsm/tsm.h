// tsm_t: the data sharing detector ("tsm"). Finds memory that two live
// tasks touch where at least one touch is a write.
//
// Every access a memory hook reports is logged (log), then compared with
// what other tasks logged for every object sharing a byte with it (check);
// conflicts gather in a case that the hook delivers to the debugger as
// event 256 (commit). A leaving task's entries are discarded, so accesses
// are only ever compared with those of tasks still alive.
//
// Locks, in the order they may nest (the runtime lock comes before all of
// them, see runtime.h):
//   chain lock -> node locks in chain order -> cases_lock.
//   feature_lock is taken with no other detector lock held.
// commit() releases cases_lock before it takes the runtime lock; no
// operation takes the runtime lock while it holds a node lock or cases_lock.
#ifndef VEXA_TSM_TSM_H
#define VEXA_TSM_TSM_H

#include <atomic>
#include <cstdint>
#include <list>
#include <map>

#include "../../include/vexa.h"
#include "../vexa/feature.h"
#include "access_log.h"
#include "log_index.h"

namespace vexa {

class tsm_t : public feature_t {
 public:
  using object_t = vexa::object_t;
  using access_log_t = vexa::access_log_t;
  using log_t = access_log_t::log_t;
  using log_index_t = vexa::log_index_t;
  using chain_type = access_log_chain_t;
  using const_iterator = chain_type::const_iterator;

  // The conflicts of one access. Before commit, descriptors carry the
  // accessing task's handle in `thread`; commit translates handles into
  // thread identities.
  struct case_t {
    tsm_access_desc_t offender;
    std::list<tsm_access_desc_t> offenses;  // in the order report() found them
  };

  struct statistic_t {
    std::uint32_t objects;
    std::uint32_t readers[5];
    std::uint32_t writers[5];
    std::uint32_t read_sites[5];
    std::uint32_t write_sites[5];
    std::uint16_t readers_step;  // bucket widths, set by the caller, non-zero
    std::uint16_t writers_step;
    std::uint16_t read_sites_step;
    std::uint16_t write_sites_step;
  };

  tsm_t();
  ~tsm_t() override;

  void initialize_lock_order(lock_t const& outer) override;
  void reset() override;

  void enter(unsigned short task, void const* code);
  void leave(unsigned short task, void const* code);
  void discard(unsigned short task);

  // Logs one access of the calling thread's current task; empty when the
  // access is not logged (no task, task unlogged or suspended, filtered).
  const_iterator log(object_t const& object, tsm_access_t access, unsigned short task, void const* code);

  // The sharing rule: the case collecting the conflicts of the access just
  // logged in `log`, or null.
  case_t* check(const_iterator log, tsm_access_t access, unsigned short task, void const* code);
  case_t* log_offender(tsm_access_desc_t const& offender);
  void report(case_t* c, tsm_access_t access, object_t const& object, access_log_t::tasks_t const& tasks);
  void log_offense(case_t* c, tsm_access_desc_t const& offense);
  // Delivers the case as event 256 and frees it; nothing for null.
  void commit(case_t* c);

  void collect(statistic_t& s);

  void lock_for_fork();      // every lock of the detector, in lock order
  void unlock_after_fork();  // in the parent and in the child

  // Largest size any task has had logged as a write; never below 4. Bounds
  // the backward walk of check(). Read without a lock (a stale, smaller
  // value can only come from a write that raced with this very access);
  // raised under feature_lock.
  std::atomic<std::uint32_t> largest_write;
  chain_type logs;
  log_index_t index;
  std::map<unsigned short, case_t*> cases;  // open cases by task handle; guarded by cases_lock
  lock_t cases_lock;                        // guards cases and every case's offenses
};

}  // namespace vexa

#endif  // VEXA_TSM_TSM_H
