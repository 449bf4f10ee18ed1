// Spin locks, for the library and its bridge alike. Every lock of vexa is
// held for a handful of instructions (a lookup, linking one entry) except
// the runtime lock during a debugger stop, where the other threads are
// meant to wait anyway; a sleeping mutex would only add system calls to the
// hook paths (and the bridge's own pthread wrappers would see it).
//
// Every lock has a rank, and the ranks below are the one lock order of the
// whole system: a thread takes locks in ascending rank only, and never two
// of one rank at once. Each lock is also listed, from its construction to
// its destruction, in its DSO's registry (lock_registry_t), which is how
// fork() takes every one of them (fork.cc) without a list to keep up by
// hand; only the access logs' locks (basic_lock_t) are taken through the
// detector's pools instead. A checking build (VEXA_CHECKING) keeps each thread's held ranks and
// aborts on the first lock taken out of order.
#ifndef VEXA_LOCK_LOCK_H
#define VEXA_LOCK_LOCK_H

#include <sched.h>

#include <atomic>

#include "check.h"

// Valgrind's thread checkers know the POSIX locks, not ours: a build made
// for them (VEXA_VALGRIND) describes every lock_t to them as a lock.
#ifdef VEXA_VALGRIND
#include <valgrind/drd.h>
#define VEXA_LOCK_CREATED(l, w)                                 \
  do {                                                          \
    ANNOTATE_RWLOCK_CREATE(l);                                  \
    ANNOTATE_BENIGN_RACE_SIZED(w, sizeof *(w), "the lock word"); \
  } while (0)
#define VEXA_LOCK_DESTROYED(l) ANNOTATE_RWLOCK_DESTROY(l)
#define VEXA_LOCK_ACQUIRED(l) ANNOTATE_RWLOCK_ACQUIRED(l, 1)
#define VEXA_LOCK_RELEASED(l) ANNOTATE_RWLOCK_RELEASED(l, 1)
#else
#define VEXA_LOCK_CREATED(l, w) \
  do {                          \
  } while (0)
#define VEXA_LOCK_DESTROYED(l) ((void)0)
#define VEXA_LOCK_ACQUIRED(l) ((void)0)
#define VEXA_LOCK_RELEASED(l) ((void)0)
#endif

namespace vexa {

// A test build counts every lock taken on each thread, to keep the hot
// paths at the number of locks they are meant to take.
#ifdef VEXA_COUNT_LOCKS
inline thread_local unsigned long locks_taken = 0;
#define VEXA_COUNT_LOCK() (++::vexa::locks_taken)
#else
#define VEXA_COUNT_LOCK() ((void)0)
#endif

// The lock order, outermost first.
enum class lock_rank : unsigned char {
  runtime,            // vexa_t::lock: thread model, stops (configure() resets detectors under it)
  tsm_feature,        // tsm_t's feature_lock: the largest write
  re_feature,         // re_t's feature_lock: holder lists, table growth, stack buffer swaps, reset
  tsm_structure,      // the first of tsm_t's structure shards: indexes, pool, log keys
  tsm_structure_last = tsm_structure + 15,  // ... one rank each, taken in ascending order
  access_log,         // one access log's lock (a thread holds at most one)
  handle_table,       // a handle_table_t's block allocation (touched lists, places, identities, re's stacks)
  tsm_cases,          // tsm_t::cases_lock
  tsm_idle,           // tsm_t::idle_lock: taken alone, twice per leaving task
  tsm_keys,           // tsm_t::keys_lock: finished tasks' keys, taken alone
  finished,           // vexa_t::finished_lock: taken alone
  distinct,           // distinct_t's lock: under the runtime lock in a stop, alone at unload
  lockset,            // the lock-set table (lockset.h): a leaf, under a log's lock when sites merge
  arena_pool,         // arena_pool_t::lock: under any of the above, when a thread first needs an arena
  bridge_call_sites,  // the bridge's call-site cache: taken alone
  bridge_threads,     // the bridge's registry of thread tasks (threads.cc): a task's `lock` under it
  bridge_sync,        // a shard of the bridge's synchronisation objects (sync_order.h): taken alone
  bridge_list,        // the bridge's task lists (task_order.h): taken alone, or under a log's lock
                      // inside the bridge's order callback; nothing of the library under it
  count
};

inline char const* rank_name(lock_rank r);
// The ranks the structure shards take past the first, which share its name.
constexpr unsigned extra_structure_ranks =
    static_cast<unsigned>(lock_rank::tsm_structure_last) - static_cast<unsigned>(lock_rank::tsm_structure);

class lock_t;

// Every lock_t of one DSO (the library, or the bridge), listed by rank.
// Each rank's list has its own guard, a bare flag that sits in the order
// just before the rank's locks: a lock is made or destroyed by a thread
// holding only locks of lower rank (a pool of access logs grows under the
// structure lock), and fork's prepare takes each rank's guard, then every
// lock on its list, rank by rank. It never allocates, so fork handlers may
// use it, and it is constant-initialised, so locks made during static
// initialisation find it ready.
class lock_registry_t {
 public:
  constexpr lock_registry_t() = default;
  lock_registry_t(lock_registry_t const&) = delete;
  lock_registry_t& operator=(lock_registry_t const&) = delete;

  inline void add(lock_t* l) noexcept;
  inline void remove(lock_t* l) noexcept;
  // Takes rank r's guard, then every lock of rank r; released in reverse.
  inline void take_rank(lock_rank r) noexcept;
  inline void release_rank(lock_rank r) noexcept;
  // Locks listed of rank r (tests).
  inline unsigned listed(lock_rank r) noexcept;

 private:
  struct list_t {
    std::atomic<bool> guard{false};
    lock_t* first = nullptr;  // guarded by guard
  };
  static void take_guard(std::atomic<bool>& g) noexcept {
    // Acquire pairs with the release in drop_guard().
    while (g.exchange(true, std::memory_order_acquire)) sched_yield();
  }
  static void drop_guard(std::atomic<bool>& g) noexcept { g.store(false, std::memory_order_release); }

  list_t lists_[static_cast<unsigned>(lock_rank::count)];
};

// This DSO's registry. Hidden like everything else, so the library and the
// bridge each have one; the library's fork handlers find the bridge's
// through __vexa_bridge_locks (fork.cc).
inline lock_registry_t lock_registry;

#ifdef VEXA_CHECKING
// The ranks the calling thread holds, in the order taken (ascending).
struct held_ranks_t {
  static constexpr unsigned capacity = 32;  // every structure shard, and what nests under them
  lock_rank rank[capacity];
  unsigned count;
};
inline thread_local held_ranks_t held_ranks;

[[gnu::cold, gnu::noinline]] inline void rank_violation(lock_rank held, lock_rank taken) noexcept {
  char what[160] = "lock order: ";
  auto append = [&what](char const* s) {
    unsigned n = 0;
    while (what[n] != '\0') ++n;
    for (; *s != '\0' && n + 1 < sizeof what; ++s) what[n++] = *s;
    what[n] = '\0';
  };
  append(rank_name(taken));
  append(" taken while holding ");
  append(rank_name(held));
  check_failed(what, __FILE__, __LINE__);
}
#endif

// The spin lock itself, listed in no registry. Only for locks so many that
// their owner knows every one of them anyway and takes them for fork
// itself: each access log has one (the detector's pools list them all),
// and a registry's two links would make every log a tenth larger. Every
// other lock is a lock_t.
class basic_lock_t {
 public:
  explicit basic_lock_t(lock_rank rank) noexcept : rank_(rank) { VEXA_LOCK_CREATED(this, &held_); }
  ~basic_lock_t() { VEXA_LOCK_DESTROYED(this); }
  basic_lock_t(basic_lock_t const&) = delete;
  basic_lock_t& operator=(basic_lock_t const&) = delete;

  lock_rank rank() const noexcept { return rank_; }

  // Test-and-set inline, so that an uncontended lock costs one locked
  // instruction and no call (the POSIX spin lock, reached through the PLT,
  // was 15-36% of every hook profile). Under contention it spins on a plain
  // load with pause, and yields the processor after a short burst: with
  // more runnable threads than cores (8 task threads on 2 cores, or every
  // thread waiting out a debugger stop) a pure spinner burns its whole time
  // slice while the holder sits preempted.
  void lock() noexcept {
    note_taking();
    // Acquire pairs with the release in unlock(): the holder's writes are
    // visible to the next holder.
    if (__builtin_expect(!held_.exchange(true, std::memory_order_acquire), 1)) {
      VEXA_COUNT_LOCK();
      VEXA_LOCK_ACQUIRED(this);
      return;
    }
    lock_contended();
  }
  bool try_lock() noexcept {
    if (!try_take()) return false;
    note_taking();
    return true;
  }
  // Pairs with the acquire exchange in lock() and try_lock().
  void unlock() noexcept {
    note_released();
    VEXA_LOCK_RELEASED(this);
    held_.store(false, std::memory_order_release);
  }

  // For fork's handlers, which take every lock of a rank at once: the same
  // lock without the order's bookkeeping.
  void lock_for_fork() noexcept {
    while (!try_take()) sched_yield();
  }
  void unlock_after_fork() noexcept {
    VEXA_LOCK_RELEASED(this);
    held_.store(false, std::memory_order_release);  // pairs with the acquire in try_take()
  }

 private:
  bool try_take() noexcept {
    // Same pairing as lock(); the relaxed look first keeps a failed try from
    // taking the cache line away from the holder.
    if (held_.load(std::memory_order_relaxed) || held_.exchange(true, std::memory_order_acquire)) return false;
    VEXA_COUNT_LOCK();
    VEXA_LOCK_ACQUIRED(this);
    return true;
  }

  [[gnu::noinline]] void lock_contended() noexcept {
    for (;;) {
      for (int i = 0; i < 64; ++i) {
        __builtin_ia32_pause();
        if (try_take()) return;
      }
      sched_yield();
    }
  }

#ifdef VEXA_CHECKING
  void note_taking() noexcept {
    held_ranks_t& h = held_ranks;
    if (h.count != 0 && h.rank[h.count - 1] >= rank_) rank_violation(h.rank[h.count - 1], rank_);
    VEXA_CHECK(h.count < held_ranks_t::capacity);
    h.rank[h.count++] = rank_;
  }
  void note_released() noexcept {
    held_ranks_t& h = held_ranks;
    for (unsigned i = h.count; i-- > 0;) {
      if (h.rank[i] != rank_) continue;
      for (unsigned j = i; j + 1 < h.count; ++j) h.rank[j] = h.rank[j + 1];
      --h.count;
      return;
    }
    VEXA_CHECK(!"a lock released that this thread does not hold");
  }
#else
  void note_taking() noexcept {}
  void note_released() noexcept {}
#endif

  std::atomic<bool> held_{false};
  lock_rank const rank_;
};

// A lock listed, from its construction to its destruction, in its DSO's
// registry, through which fork's prepare takes it.
class lock_t : public basic_lock_t {
 public:
  explicit lock_t(lock_rank rank) noexcept : basic_lock_t(rank) { lock_registry.add(this); }
  ~lock_t() { lock_registry.remove(this); }

 private:
  friend class lock_registry_t;
  // Links of the registry's list of the lock's rank; guarded by that list's guard.
  lock_t* prev_ = nullptr;
  lock_t* next_ = nullptr;
};

void lock_registry_t::add(lock_t* l) noexcept {
  list_t& list = lists_[static_cast<unsigned>(l->rank())];
#ifdef VEXA_CHECKING
  // Made under a lock of its own rank or above, fork's prepare could wait
  // for that lock while holding the guard this waits for.
  held_ranks_t const& h = held_ranks;
  if (h.count != 0 && h.rank[h.count - 1] >= l->rank()) rank_violation(h.rank[h.count - 1], l->rank());
#endif
  take_guard(list.guard);
  l->prev_ = nullptr;
  l->next_ = list.first;
  if (list.first != nullptr) list.first->prev_ = l;
  list.first = l;
  drop_guard(list.guard);
}

void lock_registry_t::remove(lock_t* l) noexcept {
  list_t& list = lists_[static_cast<unsigned>(l->rank())];
  take_guard(list.guard);
  if (l->prev_ != nullptr) l->prev_->next_ = l->next_;
  else if (list.first == l) list.first = l->next_;
  if (l->next_ != nullptr) l->next_->prev_ = l->prev_;
  l->prev_ = l->next_ = nullptr;
  drop_guard(list.guard);
}

void lock_registry_t::take_rank(lock_rank r) noexcept {
  list_t& list = lists_[static_cast<unsigned>(r)];
  take_guard(list.guard);
  for (lock_t* l = list.first; l != nullptr; l = l->next_) l->lock_for_fork();
}

void lock_registry_t::release_rank(lock_rank r) noexcept {
  list_t& list = lists_[static_cast<unsigned>(r)];
  for (lock_t* l = list.first; l != nullptr; l = l->next_) l->unlock_after_fork();
  drop_guard(list.guard);
}

unsigned lock_registry_t::listed(lock_rank r) noexcept {
  list_t& list = lists_[static_cast<unsigned>(r)];
  take_guard(list.guard);
  unsigned n = 0;
  for (lock_t* l = list.first; l != nullptr; l = l->next_) ++n;
  drop_guard(list.guard);
  return n;
}

inline char const* rank_name(lock_rank r) {
  unsigned i = static_cast<unsigned>(r);
  if (r > lock_rank::tsm_structure_last) i -= extra_structure_ranks;
  else if (r > lock_rank::tsm_structure) i = static_cast<unsigned>(lock_rank::tsm_structure);
  static char const* const names[] = {"runtime lock",        "tsm feature lock",   "re feature lock",
                                      "tsm structure lock",  "access log lock",    "handle table lock",
                                      "tsm cases lock",      "tsm idle lock",      "tsm key lock",
                                      "finished-task lock",  "distinct lock",      "lock-set lock",
                                      "arena pool lock",     "bridge call-site lock", "bridge thread registry lock",
                                      "bridge sync object lock", "bridge list lock"};
  static_assert(sizeof names / sizeof names[0] == static_cast<unsigned>(lock_rank::count) - extra_structure_ranks,
                "a name per rank");
  return r < lock_rank::count ? names[i] : "unknown lock";
}

// Holds a lock for a scope, so that a std::bad_alloc passing through a hook
// or a detector never leaves a lock behind.
class lock_scope {
 public:
  enum adopt_t { adopt };
  explicit lock_scope(basic_lock_t& l) noexcept : lock_(&l) { lock_->lock(); }
  // For a lock the caller has taken already.
  lock_scope(basic_lock_t& l, adopt_t) noexcept : lock_(&l) {}
  ~lock_scope() { lock_->unlock(); }
  lock_scope(lock_scope const&) = delete;
  lock_scope& operator=(lock_scope const&) = delete;

 private:
  basic_lock_t* lock_;
};

}  // namespace vexa

#endif  // VEXA_LOCK_LOCK_H
