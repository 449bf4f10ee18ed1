// tsm_t: the data sharing detector ("tsm"). Finds memory that two live
// tasks touch where at least one touch is a write.
//
// Every access a memory hook reports is logged (log), then compared with
// what other tasks logged for every object sharing a byte with it (check);
// conflicts gather in a case that the hook delivers to the debugger as
// event 256 (commit). A leaving task's entries are discarded, so accesses
// are only ever compared with those of tasks still alive.
//
// The cost of an access does not grow with the footprint:
//  - the log index finds an object's log in constant expected time, without
//    a lock (log_index.h): an object within one 8-byte granule from its
//    granule's word in the shadow of log heads (log_heads_), which chains
//    the logs of that granule's objects; a wider one in a hash table;
//  - each log counts its live neighbours (other logs sharing a byte with
//    it) and names the first of them; an access to a log without
//    neighbours is logged and checked under that log's lock alone, one
//    whose only neighbour it names (an element of a copied structure)
//    under the two logs' locks in turn, and only the others ask the extent
//    index, which finds overlapping logs in time proportional to what it
//    finds (extent_index.h), walking for the small objects, which it only
//    counts, the chains that the range's lines of heads count
//    (for_each_meeting());
//  - an access that repeats one its thread logged and checked clean, with
//    the log unchanged since, returns at once: from the thread's cache of
//    recent repeats (repeat_cache.h), or, past what that holds, from the
//    stamp the repeat left in its granule's shadow word (shadow_memory.h),
//    one load and one compare;
//  - each task handle keeps the list of logs it touched, so a leaving task
//    visits those only; a log no live task holds goes back to the pool
//    (log_pool.h) of its shard (below) and its memory serves the next new
//    object based there. Up to as many empty logs as the largest working
//    set seen so far (at least 4096) stay indexed instead, idle, so that a
//    program whose tasks touch the same objects over and over (a sweep per
//    parallel region) does not make and unmake every log each time; memory
//    stays within twice the working set of each shard, summed (a program
//    whose objects move between megabytes of different shards keeps each
//    shard's freed logs for that shard).
//    Freed memory's logs (forget()) idle the same way, since the next task's
//    frames and the next allocations of a size land at the same places; a
//    new object overlapping idle logs, or a second forget that finds them
//    still idle, takes them away.
//    The idle count is exact (each idle mark is counted once, whoever takes
//    the log away), and leaving tasks reserve their share of the cap under
//    idle_lock before they idle anything, so tasks leaving at once cannot
//    overfill it together.
//  - a touched list names each log at most twice over: freed memory
//    (forget) takes logs away from under the lists, and a task that
//    touches the recycled object again appends it again, so a list that
//    has doubled since it was last pruned drops what its task no longer
//    holds (prune()).
// Handles, not tasks, own the lists: a task that left while the detector was
// off keeps its entries, and the next task with its handle inherits them and
// discards them when it leaves, as the handle's entries always were.
//  - a finished task whose accesses stay (the race view, until a join
//    absorbs or releases them) keeps its handle while fewer than half the
//    handles are held (most are absorbed soon, and moving would cost a
//    pass over what they touched); past that it gives its handle back:
//    its sites, list, place and name move to a key of its own above the
//    handles (set_aside()), so that a program may leave any number of
//    finished tasks unjoined while live ones still find handles. Keys are
//    given out and back under keys_lock; the sites of a key are only ever
//    read, absorbed or dropped, never added to.
//
// The structure (log index, extent index, pool) is split in shards by
// address, each with its lock (shard_t): making a log, checking through
// the extent index, forgetting a range and giving logs back take the locks
// of the shards the range's megabytes hash to, so tasks of different
// threads, whose stacks and heaps lie apart, rarely wait for each other
// there. A forget of a small range that holds no log takes none, nor does
// a wide one for the shards whose megabytes hold none (the extent index's
// counts per page and per megabyte).
//
// Locks, in the order they may nest (the runtime lock comes before all of
// them, see runtime.h):
//   the shards' locks, ascending -> a log's lock -> touched's table lock
//   -> cases_lock;
// idle_lock and keys_lock are taken alone (ranks: lock.h).
// A shard's lock guards its indexes' and its pool's changes, and the key
// and liveness of every log it indexes (all of a log's shards are held to
// change them); a thread holds at most one log's lock at a time.
// feature_lock is taken with no other detector lock held. commit()
// releases cases_lock before it takes the runtime lock; no operation takes
// the runtime lock while it holds any of these.
//
// Why the neighbour count is enough for an access to look no further: a new
// log raises its neighbours' counts under their locks before its creator
// logs into it and checks. An access to an old log either ran under that
// lock before the raise (then the creator's check, which visits the old log
// afterwards, sees it) or after it (then it sees the count and checks
// through the extent index, which already holds the new log).
#ifndef VEXA_TSM_TSM_H
#define VEXA_TSM_TSM_H

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <vector>

#include "../../include/vexa.h"
#include "../vexa/base.h"
#include "../vexa/feature.h"
#include "../vexa/handle_table.h"
#include "access_log.h"
#include "extent_index.h"
#include "log_index.h"
#include "log_pool.h"

namespace vexa {

class tsm_t : public feature_t {
 public:
  using object_t = vexa::object_t;
  using access_log_t = vexa::access_log_t;

  // The conflicts of one access. Before commit, the offender carries the
  // accessing task's handle in `thread`, which commit translates into its
  // identity; the offenses are named as check() finds them (name()).
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
  // Drops every access of a handle's task or a finished task's key.
  void discard(task_key_t task);
  // Moves the accesses of a finished task off `handle` onto a key of their
  // own, with its place and name, so that the handle can be given out
  // again; 0 when no key could be had (the handle then keeps them). Called
  // by the thread that ran the task, before the handle is given back.
  task_key_t set_aside(unsigned short handle);

  // Logs one access of the calling thread's current task; null when the
  // access is not logged (no task, task unlogged or suspended, filtered).
  access_log_t* log(object_t const& object, tsm_access_t access, unsigned short task, void const* code,
                    bool atomic = false);

  // The sharing rule: the case collecting the conflicts of the access just
  // logged in `log`, or null.
  case_t* check(access_log_t* log, tsm_access_t access, unsigned short task, void const* code);

  // log() then check(), as the memory hooks call them: an access to an
  // object that shares no byte with another live log is logged and checked
  // under one hold of its log's lock. A repeat that finds nothing leaves
  // its stamp in the object's shadow word (repeat_cache.h).
  case_t* access(object_t const& object, tsm_access_t access, unsigned short task, void const* code,
                 bool atomic = false);

  // The race rule, for callers that know how their tasks are ordered: an
  // access conflicts with an earlier one of another task unless both are
  // atomic, both held a common lock, or `ordered` (when registered) says
  // the earlier one is ordered before the calling thread's task as it is
  // now. `ordered` gets the place the earlier task was given and its step
  // then; it runs under a log's lock and must not call into the library.
  void order_by(vexa_order_t ordered) { order_.store(ordered, std::memory_order_release); }
  // Where handle's task stands in its caller's order of tasks; null for
  // nowhere (its accesses conflict as they always did).
  void place(task_key_t handle, void const* where);
  // The task of `to` takes over every access of `from`'s (which ran to its
  // end), as if it had made them itself at step `step`; `from`'s are gone.
  void absorb(task_key_t from, unsigned short to, std::uint64_t step);
  bool conflicts(site_t const& s, site_how_t const& how) const;
  // Drops every access, of any task, to objects that lie in [begin, end):
  // memory that died (a finished task's stack frames), whose next life is
  // a new object.
  void forget(address_t begin, address_t end);

  case_t* log_offender(tsm_access_desc_t const& offender);
  void log_offense(case_t* c, tsm_access_desc_t const& offense);
  // Delivers the case as event 256 and frees it; nothing for null.
  void commit(case_t* c);

  // The identity that reports give the accesses of a handle: set when the
  // handle is given to a task and cleared ({0, 0}) when it is given back,
  // under the runtime lock. check() reads it under the lock of a log that
  // holds one of the handle's sites, where the handle cannot change hands
  // (its task drops its sites before the handle is given back), so that a
  // report names the task that made the access even if the handle has been
  // given out again by the time the report is delivered. May throw
  // std::bad_alloc, leaving the name as it was.
  void name(task_key_t handle, thread_model_t::threadid_t const& identity);
  thread_model_t::threadid_t name_of(task_key_t handle) const;

  void collect(statistic_t& s);
  // Logs that live tasks hold; idle ones are not counted (tests).
  std::size_t live_logs();
  // Idle logs as counted, and how many may be (tests).
  std::size_t idle_logs() const { return idle_count(); }
  std::size_t idle_cap() const;
  // Entries of a handle's touched list (tests).
  std::size_t touched_length(task_key_t handle) const;
  // Keys of finished tasks given out and not back (tests).
  std::size_t keys_in_use();

  // The fork handlers take every lock of the detector before fork() and
  // release them after it, in the parent and in the child.
  // See replaced_places_; the acquire pairs with the release in place(),
  // which comes after the new place is stored.
  std::uint64_t replaced_places() const { return replaced_places_.load(std::memory_order_acquire); }

  void lock_for_fork();
  void unlock_after_fork();
  // Every log's lock, which no registry lists: fork's prepare takes them in
  // their rank's turn, with the structure locks, which guard the pools'
  // lists of slabs, already held.
  void take_logs_for_fork();
  void release_logs_after_fork();
  // In a child after fork(): the leaves that had reserved idle room ran on
  // threads the child does not have.
  void drop_reservations() { idle_reserved_ = 0; }
  // The lock of the table of places (tests: fork while it is held).
  lock_t& places_lock() { return places_.lock(); }


  // Largest size any task has had logged as a write; never below 4. Kept
  // for what it tells of the program; check() no longer bounds its walk
  // by it (every overlapping log counts). Read without a lock; raised
  // under feature_lock.
  std::atomic<std::uint32_t> largest_write;

  std::map<unsigned short, case_t*> cases;  // open cases by task handle; guarded by cases_lock
  lock_t cases_lock{lock_rank::tsm_cases};  // guards cases and every case's offenses

 private:
  friend struct case_builder_t;
  // The logs a handle's tasks touched since its last discard: appended by
  // the thread running the handle's task, read by it when the task leaves.
  // May name logs recycled since (after a reset): visiting those is
  // harmless, since only the handle's own sites are ever dropped.
  using touched_t = std::vector<access_log_t*>;
  // One cache line per handle: the tasks of one region run on different
  // threads with neighbouring handles, and their lists' ends, written at
  // every first touch, would otherwise share a line.
  struct alignas(64) touched_slot_t {
    touched_t logs;
    std::size_t prune_at = 64;      // see prune()
    std::uint32_t pruned_after = 0;  // `forgotten` when it was last pruned
    // Set by a forget() that took away sites of this handle or key, on any
    // thread; taken by prune(). Relaxed: a late flag delays a prune to the
    // list's next doubling, as a late `forgotten` does.
    std::atomic<bool> lost{false};
  };
  struct identity_slot_t {
    std::atomic<std::uint64_t> task_id{0};
    std::atomic<unsigned long> thread{0};
  };

  bool logged(object_t const& object, void const* code) const;
  access_log_t* locked_log_of(object_t const& o);
  access_log_t* create(object_t const& o);
  // Whether the log went onto the task's touched list.
  bool record(access_log_t* l, tsm_access_t access, unsigned short task, address_t code, site_how_t const& how);
  void prune(task_key_t task);
  // Flags the lists of the tasks with sites here as having lost some.
  void note_lost(site_list_t const& sites);
  // A key's place, name and list go with it, and it is free again.
  void give_back(task_key_t key);
  void give_back_number(task_key_t key);  // to the free keys; never throws
  std::size_t reserve_idle(std::size_t wanted);
  void settle_idle(std::size_t reserved);
  void note_write_size(address_t size);
  site_how_t how_now(bool atomic) const;
  case_t* check_extents(object_t const& o, tsm_access_t access, unsigned short task, void const* code,
                        site_how_t const& how);
  case_t* examine_logs(object_t const& o, tsm_access_t access, unsigned short task, void const* code,
                       site_how_t const& how, extent_index_t::entry_t* first, extent_index_t::entry_t* past,
                       bool keyed);
  // The offenses a check found, one run per log in the order it examined
  // them, reordered by the logs' objects; never throws.
  struct found_at_t {
    object_t key;
    std::size_t offenses;
  };
  void put_in_address_order(case_t* c, std::vector<found_at_t> const& runs);
  void retire(access_log_t* l, object_t const& key);
  void take_out(access_log_t* l, object_t const& key, access_log_t const* uncounted = nullptr);
  std::size_t idle_count() const;

  // The structure, in shards by MiB of address space (hashed): each shard
  // holds the log index and pool of the objects whose base lies in its
  // regions, and an extent index of every log that meets one of them (a
  // log spanning regions of several shards is in each). An operation on a
  // range holds the locks of the shards its regions hash to, in ascending
  // order (their ranks); most ranges lie in one region, and the stacks and
  // heaps of different threads in different ones.
  static constexpr unsigned shard_count = 16;
  static constexpr unsigned region_bits = extent_index_t::region_bits;
  using shard_mask_t = std::uint32_t;
  static constexpr shard_mask_t all_shards = (shard_mask_t{1} << shard_count) - 1;
  struct alignas(64) shard_t {
    shard_t(unsigned i, shadow_memory_t& heads)
        : lock(static_cast<lock_rank>(static_cast<unsigned>(lock_rank::tsm_structure) + i)), index(heads) {}
    lock_t lock;  // guards index changes, extents, pool, and the keys and liveness of the logs it indexes
    log_index_t index;
    extent_index_t extents;
    log_pool_t pool;
  };
  static_assert(shard_count == extra_structure_ranks + 1, "a rank per shard");
  static unsigned shard_of_region(std::uint64_t region) {
    return static_cast<unsigned>((region * 0x9e3779b97f4a7c15ull) >> 60);
  }
  // The shards whose extent indexes hold a log of [lo, hi), hi > lo.
  static shard_mask_t shards_of(std::uint64_t lo, std::uint64_t hi);
  static shard_mask_t shards_of(object_t const& o) { return shards_of(extent_index_t::low(o), extent_index_t::high(o)); }
  // Calls f(i) for every shard i of `mask`, ascending.
  template <class F>
  static void each_shard(shard_mask_t mask, F&& f) {
    for (; mask != 0; mask &= mask - 1) f(static_cast<unsigned>(__builtin_ctz(mask)));
  }
  // The shards of the regions of [lo, hi) that some log meets, as far as
  // the caller can know without their locks: a log indexed before the
  // call is counted in every region it meets.
  shard_mask_t shards_in_use(std::uint64_t lo, std::uint64_t hi) const;
  shard_t& shard(unsigned i) { return *shards_[i]; }
  // The shard of o's base: its log index entry and its pool.
  shard_t& home_of(object_t const& o) { return shard(shard_of_region(o.base >> region_bits)); }
  class shards_held;
  // Calls f(entry) once for every log that meets [lo, hi) in the shards of
  // `mask` (their locks held), however many of them index it.
  template <class F>
  void for_each_meeting(shard_mask_t mask, std::uint64_t lo, std::uint64_t hi, F&& f);
  // Calls f(log, its home shard) once for every indexed log, through the
  // pools, which hold them all; every shard's lock held.
  template <class F>
  void for_each_log(F&& f);
  bool holds_none(address_t begin, address_t end) const;
  // The granule words that head the log index's chains of small objects
  // (log_index.h), this detector's own. On i386 at most 256 MiB of words,
  // as the stamps' shadow has 512 at most: together they leave the
  // program most of its address space.
#if UINTPTR_MAX > 0xffffffffu
  shadow_memory_t log_heads_;
#else
  shadow_memory_t log_heads_{128};
#endif
  std::unique_ptr<shard_t> shards_[shard_count];
  // By handle or key: handles below 65536, keys of finished tasks above,
  // up to 2^22 (past that many unjoined tasks, handles keep them again).
  static constexpr unsigned key_blocks = 16384;
  handle_table_t<touched_slot_t, key_blocks> touched;
  handle_table_t<std::atomic<void const*>, key_blocks> places_;  // see place()
  handle_table_t<identity_slot_t, key_blocks> identities_;      // see name()
  lock_t keys_lock{lock_rank::tsm_keys};
  std::vector<task_key_t> free_keys_;  // given back; guarded by keys_lock
  task_key_t next_key_ = first_key;     // never given out yet from here; guarded by keys_lock
  std::atomic<vexa_order_t> order_{nullptr};
  // Raised when a handle holding sites is placed elsewhere (place()); the
  // repeat cache keeps its value with every entry.
  std::atomic<std::uint64_t> replaced_places_{0};
  // Idle logs, counted in shards by handle: a sweep's tasks revive and
  // idle every log once per region, and one shared counter bounced between
  // their threads (it took 60% of the logging time of a stencil on two
  // threads). A shard may go negative (one handle idles a log, another
  // revives it); the sum is right. Relaxed: the count only sizes the idle
  // cache, so a sum a few off changes nothing but how many logs are kept.
  struct alignas(64) idle_shard_t {
    std::atomic<std::ptrdiff_t> count{0};
  };
  static constexpr unsigned idle_shards = 16;
  idle_shard_t idle[idle_shards];
  // The most logs that live tasks held at once, or a little less (see
  // create()); raised by compare-and-swap, read without a lock to size the
  // idle cache.
  std::atomic<std::size_t> peak_working_set{0};
  // Raised by every reset, which leaves every touched list naming logs its
  // task no longer holds (a forget() flags only the lists it took sites
  // from: `lost`). Relaxed: a stale value delays a prune to the list's next
  // doubling.
  std::atomic<std::uint32_t> forgotten{0};
  // Idle marks that leaving tasks have reserved and not yet settled.
  lock_t idle_lock{lock_rank::tsm_idle};
  std::size_t idle_reserved_ = 0;  // guarded by idle_lock
};

// Holds the locks of a set of shards, in ascending order (their ranks).
class tsm_t::shards_held {
 public:
  shards_held(tsm_t& t, shard_mask_t mask) : t_(t), mask_(mask) {
    each_shard(mask_, [this](unsigned i) { t_.shard(i).lock.lock(); });
  }
  ~shards_held() {
    for (unsigned i = shard_count; i-- > 0;)
      if (mask_ >> i & 1) t_.shard(i).lock.unlock();
  }
  shards_held(shards_held const&) = delete;
  shards_held& operator=(shards_held const&) = delete;

 private:
  tsm_t& t_;
  shard_mask_t const mask_;
};

// A log indexed by several of the shards is met in each; it is passed on
// by the lowest of them that the query visits. Logs within a granule lie in
// one shard's megabyte and are found in their granules' chains.
template <class F>
void tsm_t::for_each_meeting(shard_mask_t mask, std::uint64_t lo, std::uint64_t hi, F&& f) {
  bool const one = (mask & (mask - 1)) == 0;
  each_shard(mask, [&](unsigned i) {
    shard(i).extents.for_each_meeting(lo, hi, [&](extent_index_t::entry_t const& e) {
      if (one || static_cast<unsigned>(__builtin_ctz(mask & shards_of(e.key))) == i) f(e);
    });
  });
  if (hi <= lo) return;
  constexpr std::uint64_t granule = shadow_memory_t::granule;
  std::uint64_t const first = lo & ~(granule - 1), last = hi - 1;
  log_heads_.for_each_chained_line(first, last, [&](std::uint64_t line, shadow_memory_t::word_t const* w) {
    std::uint64_t const region = line >> region_bits;
    unsigned const i = shard_of_region(region);
    if (!(mask >> i & 1)) return;
    for (std::uint64_t at = line; at < line + shadow_memory_t::words_per_line * granule; at += granule, ++w) {
      if (at < first || at > last) continue;
      // The chain of a shard whose lock the caller holds: relaxed.
      for (access_log_t* l = log_index_t::log_at(w->load(std::memory_order_relaxed)); l != nullptr;
           l = l->bucket_next.load(std::memory_order_relaxed)) {
        object_t const k = l->key();
        if (extent_index_t::low(k) < hi && extent_index_t::high(k) > lo) f(extent_index_t::entry_t{k, l});
      }
    }
  });
}

}  // namespace vexa

#endif  // VEXA_TSM_TSM_H
