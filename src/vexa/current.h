// Per-thread and per-task state of the hooks.
#ifndef VEXA_CURRENT_H
#define VEXA_CURRENT_H

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <vector>

#include "../lock/lock.h"
#include "arena.h"

namespace vexa {

// One entered task. Allocated by _VEXA_enterTask, deleted by
// _VEXA_leaveTask; touched only by the thread that runs the task. It has no
// arena of its own: nothing the detectors keep lives as long as a task, and
// a 64 KiB arena made every task entry a large allocation.
struct task_record_t {
  static constexpr std::uint32_t flag_unlogged = 0x1;         // tsm filter refused its entry code
  static constexpr std::uint32_t flag_suspended = 0x80000000;  // marked at its outermost suspension

  task_record_t* parent = nullptr;  // the task this one interrupted on this thread
  std::uint32_t flags = 0;
  std::uint32_t largest_write = 0;   // largest write size logged for this task
  unsigned short handle = 0;
  unsigned short suspend_depth = 0;  // wraps, as 16-bit counters do
  std::uint64_t task_id = 0;         // as given to _VEXA_enterTaskAs
  std::uint64_t step = 0;            // set by _VEXA_placeTask
  // Once it finished and gave its handle back: the key its accesses stay
  // under until it is absorbed or released (tsm_t::set_aside()); 0 while
  // the handle holds them.
  std::uint32_t key = 0;
  // Entries that failed (out of memory, no handle) while this task was the
  // thread's current one: the program's leaves of those come first, and
  // each of them closes one instead of leaving this task.
  std::uint32_t failed_inside = 0;
  // The locks the task holds (_VEXA_acquireLock), as an interned set
  // (src/tsm/lockset.h) that goes with every access it logs, at any number
  // of locks. A lock taken again while held is counted here, so that only
  // its last release takes it out of the set.
  std::uint32_t locks = 0;
  static constexpr unsigned max_locks = 8;
  struct held_t {
    void const* lock;
    std::uint32_t depth;  // acquisitions beyond the first
  };
  held_t held[max_locks];  // the first held_count are in use
  unsigned held_count = 0;
  std::uint32_t overflow = 0;  // re-acquisitions beyond max_locks locks, not told apart
};

struct thread_info_t {
  // Where insert() takes a chain node from; both values mean the calling
  // thread's arena.
  enum allocation_t { thread_arena = 0, thread_arena_too = 1 };

  task_record_t* record;  // the task running on this thread, or null
  void const* code;       // return address of the latest hook that stored it
  arena_t* arena;         // obtained on first use, never released
  bool in_hook;           // inside a hook's out-of-line work (hook_scope_t)
  // Raised whenever `record` changes, so that what was cached for one task
  // is never taken for another (repeat_cache.h).
  std::uint64_t era;

  // The calling thread's arena, obtained on first use.
  arena_t& thread_arena_get() {
    if (VEXA_UNLIKELY(arena == nullptr)) arena = adopt_arena();
    return *arena;
  }

  // An arena that a thread which has ended left behind, or a new one.
  [[gnu::noinline, gnu::cold]] static inline arena_t* adopt_arena();
};

// Zero-filled at thread start (trivial type, so no TLS init wrapper).
// initial-exec: one segment-relative load instead of a __tls_get_addr call
// on every enabled hook; its few words fit the static TLS surplus that glibc
// keeps for libraries loaded with dlopen.
extern thread_local thread_info_t current __attribute__((tls_model("initial-exec")));

// Marks the calling thread as inside a hook's out-of-line work, where it may
// hold any of the library's locks. A hook called from a signal handler that
// interrupted the thread there returns at once: waiting for a lock that its
// own thread holds would never end, and the detectors' structures may be
// half changed. Each out-of-line hook body opens with
//   hook_scope_t const scope; if (scope.nested()) return;
// The disabled path never gets here, so it costs nothing there.
class hook_scope_t {
 public:
  hook_scope_t() noexcept : outer_(!current.in_hook) {
    if (!outer_) return;
    current.in_hook = true;
    // Only this thread's own signal handlers read the flag: a compiler
    // fence keeps the store before the locks taken next.
    std::atomic_signal_fence(std::memory_order_seq_cst);
  }
  ~hook_scope_t() {
    if (!outer_) return;
    std::atomic_signal_fence(std::memory_order_seq_cst);  // every lock released before the flag drops
    current.in_hook = false;
  }
  hook_scope_t(hook_scope_t const&) = delete;
  hook_scope_t& operator=(hook_scope_t const&) = delete;

  bool nested() const { return !outer_; }

 private:
  bool const outer_;
};

// Arenas are never freed: the chain nodes in them outlive every task and
// thread. So that a program which keeps starting threads does not leave a
// 64 KiB arena behind for each of them, a thread that ends hands its arena
// to this pool, and the next thread that needs one bumps on where the last
// owner stopped. The nodes already in it stay where they are.
//
// The hand-over at a thread's end is a POSIX key's destructor, not a
// thread_local object's: glibc keeps a library with live thread_local
// destructors mapped, so dlclose would not unload it. The key is deleted
// when the library unloads (close()), so that a thread which outlives the
// library never calls into it.
//
// `lock` is a leaf: it is taken when a thread obtains its arena (inside a
// chain insertion, under node locks or a chain lock) and when a thread ends,
// and nothing else is locked while it is held.
struct arena_pool_t {
  lock_t lock{lock_rank::arena_pool};
  std::vector<arena_t*> orphans;  // guarded by lock
  pthread_key_t key;              // a thread's value: its arena
  bool keyed;                     // key exists; guarded by lock

  arena_pool_t() { keyed = pthread_key_create(&key, &arena_pool_t::take_back) == 0; }

  static arena_pool_t& get() {
    // Never destroyed: threads may still end while statics are destroyed.
    static arena_pool_t* const pool = made(new arena_pool_t);
    return *pool;
  }

  // Called at unload: threads that end later keep their arenas. Creates
  // nothing (it may run out of memory there).
  static void close() {
    arena_pool_t* pool = existing().load(std::memory_order_acquire);  // pairs with the release in made()
    if (pool == nullptr) return;
    lock_scope held(pool->lock);
    if (pool->keyed) pthread_key_delete(pool->key);
    pool->keyed = false;
  }

  static inline void take_back(void* arena);

 private:
  static std::atomic<arena_pool_t*>& existing() {
    static std::atomic<arena_pool_t*> pool{nullptr};
    return pool;
  }
  static arena_pool_t* made(arena_pool_t* pool) {
    existing().store(pool, std::memory_order_release);  // pairs with the acquire in close()
    return pool;
  }
};

// Set once this thread's arena has gone back: a hook that still runs later
// in the thread's exit (from a thread_local's destructor) must not bump in
// an arena that another thread may have adopted already.
inline thread_local bool arena_returned = false;

void arena_pool_t::take_back(void* arena) {
  arena_returned = true;
  if (current.arena == arena) current.arena = nullptr;
  arena_pool_t& pool = get();
  // The list's old buffer, freed as it grows, is the library's own: a
  // program's free() wrapper reporting it would take the detector's locks
  // under this leaf lock. Inside a hook, the memory hooks ignore it.
  hook_scope_t const scope;
  lock_scope held(pool.lock);
  try {
    pool.orphans.push_back(static_cast<arena_t*>(arena));
  } catch (std::bad_alloc const&) {
    // The arena stays with the ended thread, unused.
  }
}

arena_t* thread_info_t::adopt_arena() {
  if (arena_returned) return new arena_t;  // the thread is ending: not returned again
  arena_pool_t& pool = arena_pool_t::get();
  arena_t* adopted = nullptr;
  {
    lock_scope held(pool.lock);
    if (!pool.orphans.empty()) {
      adopted = pool.orphans.back();
      pool.orphans.pop_back();
    }
  }
  // Its last owner's eras are not this thread's.
  if (adopted != nullptr) {
    adopted->repeats.clear();
    adopted->stamps.clear();
  }
  if (adopted == nullptr) adopted = new arena_t;
  lock_scope held(pool.lock);
  // Under the lock, so that close() cannot delete the key in between.
  if (pool.keyed) pthread_setspecific(pool.key, adopted);
  return adopted;
}

}  // namespace vexa

#endif  // VEXA_CURRENT_H
