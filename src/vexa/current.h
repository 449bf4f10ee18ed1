// Per-thread and per-task state of the hooks.
#ifndef VEXA_CURRENT_H
#define VEXA_CURRENT_H

#include <cstdint>
#include <new>
#include <vector>

#include "../lock/lock.h"
#include "arena.h"

namespace vexa {

// One entered task. Allocated by _VEXA_enterTask, deleted by
// _VEXA_leaveTask; touched only by the thread that runs the task.
struct task_record_t {
  static constexpr std::uint32_t flag_unlogged = 0x1;         // tsm filter refused its entry code
  static constexpr std::uint32_t flag_suspended = 0x80000000;  // marked at its outermost suspension

  arena_t arena;
  task_record_t* parent = nullptr;  // the task this one interrupted on this thread
  std::uint32_t flags = 0;
  std::uint32_t largest_write = 0;   // largest write size logged for this task
  unsigned short handle = 0;
  unsigned short suspend_depth = 0;  // wraps, as 16-bit counters do
};

struct thread_info_t {
  // Where insert() takes a chain node from; both values mean the calling
  // thread's arena.
  enum allocation_t { thread_arena = 0, thread_arena_too = 1 };

  task_record_t* record;  // the task running on this thread, or null
  void const* code;       // return address of the latest hook that stored it
  arena_t* arena;         // obtained on first use, never released

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
// on every enabled hook; the 12 bytes fit the static TLS surplus that glibc
// keeps for libraries loaded with dlopen.
extern thread_local thread_info_t current __attribute__((tls_model("initial-exec")));

// Arenas are never freed: the chain nodes in them outlive every task and
// thread. So that a program which keeps starting threads does not leave a
// 64 KiB arena behind for each of them, a thread that ends hands its arena
// to this pool, and the next thread that needs one bumps on where the last
// owner stopped. The nodes already in it stay where they are.
//
// `lock` is a leaf: it is taken when a thread obtains its arena (inside a
// chain insertion, under node locks or a chain lock) and when a thread ends,
// and nothing else is locked while it is held.
struct arena_pool_t {
  lock_t lock;
  std::vector<arena_t*> orphans;  // guarded by lock

  static arena_pool_t& get() {
    // Never destroyed: threads may still end while statics are destroyed.
    static arena_pool_t* const pool = new arena_pool_t;
    return *pool;
  }
};

// Returns the thread's arena to the pool when the thread ends. Kept apart
// from `current`, which must stay trivial: a thread_local with a destructor
// is reached through an init wrapper, so only obtaining an arena touches it.
struct arena_return_t {
  arena_t* owned = nullptr;
  ~arena_return_t();
};
inline thread_local arena_return_t arena_return;
// Set once this thread's arena has gone back: a hook that still runs later
// in the thread's exit (from another thread_local's destructor) must not
// bump in an arena that another thread may have adopted already.
inline thread_local bool arena_returned = false;

inline arena_return_t::~arena_return_t() {
  if (owned == nullptr) return;
  arena_returned = true;
  if (current.arena == owned) current.arena = nullptr;
  arena_pool_t& pool = arena_pool_t::get();
  lock_scope held(pool.lock);
  try {
    pool.orphans.push_back(owned);
  } catch (std::bad_alloc const&) {
    // The arena stays with the ended thread, unused.
  }
}

arena_t* thread_info_t::adopt_arena() {
  if (arena_returned) return new arena_t;  // the thread is ending: not returned again
  arena_t* adopted = nullptr;
  {
    arena_pool_t& pool = arena_pool_t::get();
    lock_scope held(pool.lock);
    if (!pool.orphans.empty()) {
      adopted = pool.orphans.back();
      pool.orphans.pop_back();
    }
  }
  if (adopted == nullptr) adopted = new arena_t;
  arena_return.owned = adopted;
  return adopted;
}

}  // namespace vexa

#endif  // VEXA_CURRENT_H
