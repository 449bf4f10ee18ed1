// Per-thread and per-task state of the hooks.
#ifndef VEXA_CURRENT_H
#define VEXA_CURRENT_H

#include <cstdint>

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
  arena_t* arena;         // created on first use, never released

  // The calling thread's arena, created on first use.
  arena_t& thread_arena_get() {
    if (VEXA_UNLIKELY(arena == nullptr)) arena = new arena_t;
    return *arena;
  }
};

// Zero-filled at thread start (trivial type, so no TLS init wrapper).
// initial-exec: one segment-relative load instead of a __tls_get_addr call
// on every enabled hook; the 12 bytes fit the static TLS surplus that glibc
// keeps for libraries loaded with dlopen.
extern thread_local thread_info_t current __attribute__((tls_model("initial-exec")));

}  // namespace vexa

#endif  // VEXA_CURRENT_H
