// Spin locks. Every lock of vexa is held for a handful of instructions (a
// lookup, linking one entry) except the runtime lock during a debugger
// stop, where the other threads are meant to wait anyway; a sleeping mutex
// would only add system calls to the hook paths.
#ifndef VEXA_LOCK_LOCK_H
#define VEXA_LOCK_LOCK_H

#include <sched.h>

#include <atomic>

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

class lock_t {
 public:
  lock_t() noexcept { VEXA_LOCK_CREATED(this, &held_); }
  ~lock_t() { VEXA_LOCK_DESTROYED(this); }
  lock_t(lock_t const&) = delete;
  lock_t& operator=(lock_t const&) = delete;

  // Test-and-set inline, so that an uncontended lock costs one locked
  // instruction and no call (the POSIX spin lock, reached through the PLT,
  // was 15-36% of every hook profile). Under contention it spins on a plain
  // load with pause, and yields the processor after a short burst: with
  // more runnable threads than cores (8 task threads on 2 cores, or every
  // thread waiting out a debugger stop) a pure spinner burns its whole time
  // slice while the holder sits preempted.
  void lock() noexcept {
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
    // Same pairing as lock(); the relaxed look first keeps a failed try from
    // taking the cache line away from the holder.
    if (held_.load(std::memory_order_relaxed) || held_.exchange(true, std::memory_order_acquire)) return false;
    VEXA_COUNT_LOCK();
    VEXA_LOCK_ACQUIRED(this);
    return true;
  }
  // Pairs with the acquire exchange in lock() and try_lock().
  void unlock() noexcept {
    VEXA_LOCK_RELEASED(this);
    held_.store(false, std::memory_order_release);
  }

  // After fork() in the child, where the thread that held the lock does not
  // exist: only the fork handlers call this, with every lock already taken.
  void reinitialize() noexcept { held_.store(false, std::memory_order_relaxed); }

  // Hooks for a lock-order checker; none is built in, so they cost nothing.
  void po_acquire() noexcept {}
  void po_release() noexcept {}
  void po_remove() noexcept {}

 private:
  [[gnu::noinline]] void lock_contended() noexcept {
    for (;;) {
      for (int i = 0; i < 64; ++i) {
        __builtin_ia32_pause();
        if (try_lock()) return;
      }
      sched_yield();
    }
  }

  std::atomic<bool> held_{false};
};

// Holds a lock for a scope, so that a std::bad_alloc passing through a hook
// or a detector never leaves a lock behind.
class lock_scope {
 public:
  enum adopt_t { adopt };
  explicit lock_scope(lock_t& l) noexcept : lock_(&l) { lock_->lock(); }
  // For a lock the caller has taken already.
  lock_scope(lock_t& l, adopt_t) noexcept : lock_(&l) {}
  ~lock_scope() { lock_->unlock(); }
  lock_scope(lock_scope const&) = delete;
  lock_scope& operator=(lock_scope const&) = delete;

 private:
  lock_t* lock_;
};

}  // namespace vexa

#endif  // VEXA_LOCK_LOCK_H
