// The instrumentation bridge: turns the calls that compilers emit for
// -fsanitize=thread into vexa's hooks, so that unmodified C and C++
// programs can be checked. Only the instrumentation is used; the
// sanitizer's own runtime is never linked.
//
// Units:
//   memory_bridge.cc    plain, volatile, unaligned and range accesses, vptrs
//   atomics.cc          the atomic operations (performed, not reported)
//   memory_wrappers.cc  memcpy, memmove, memset of the program (link --wrap)
//   function_bridge.cc  function entry and exit with a per-thread shadow stack
//   call_sites.cc       what the unwinder says about a call site, cached
//   local_names.cc      names of unexported functions (clang's ._debug__ twins)
//   threads.cc          every thread is a task (libvexa_threads.so)
//   openmp.cc           OpenMP tasks through OMPT (libvexa_openmp.so)
//   offload.cc          GCC's device constructs, run on the host (ditto)
//   exit_gate.cc        no task event reaches a library being unloaded
//
// Ground rules: nothing here is instrumented; a hook path takes no lock but
// the call-site cache's insertion lock, and allocates only when a thread's
// shadow stack grows or a call site is seen for the first time. Every code
// address handed to the library is the program's own return address, so
// reports name the user's line, not the bridge.
#ifndef VEXA_BRIDGE_BRIDGE_H
#define VEXA_BRIDGE_BRIDGE_H

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "vexa.h"

#define BRIDGE_LIKELY(x) __builtin_expect(!!(x), 1)
#define BRIDGE_UNLIKELY(x) __builtin_expect(!!(x), 0)
#define BRIDGE_EXPORT extern "C" __attribute__((visibility("default")))
#define BRIDGE_RETURN_ADDRESS() __builtin_return_address(0)

namespace vexa_bridge {

// The library's own disabled path is two unlocked loads (pending command,
// guard bit) and a return; the bridge repeats that test so that a disabled
// hook does not even pay the call into the library. A stale value is
// harmless for the same reason as in the library: the library itself looks
// again, and the next access sees the new value. Relaxed, pairs with nothing.
inline bool hooks_off(std::uint32_t group) {
  return (__atomic_load_n(&__vexa_config[VEXA_CONFIG_PENDING], __ATOMIC_RELAXED) == 0) &&
         (__atomic_load_n(&__VEXA_isGuardedCall, __ATOMIC_RELAXED) & group) == 0;
}

// The size argument of the memory hooks is 32 bits wide. Only on x86_64 can
// a range be wider (a copy of 4 GiB or more); it is reported as its first
// 4 GiB - 1 bytes rather than as what the size wraps to.
inline unsigned hook_size(std::size_t size) {
  return static_cast<unsigned>(std::min<std::size_t>(size, std::numeric_limits<unsigned>::max()));
}

// One open function activation on a thread's shadow stack.
struct activation_t {
  void const* function;  // start of the instrumented function
  std::uintptr_t frame;  // its canonical frame address: deeper is lower
  std::uintptr_t task;   // the task it was entered in (see thread_state_t)
  bool report_exit;      // its exit goes to the library (see body_rule_t)
  bool body;             // the outlined body of an implicit task, or its twin
};

// How the task layer wants the body of the current task reported: the first
// activation of a task that the task runtime itself calls (an OpenMP
// region's outlined body, called by libomp in every implicit task of the
// region). Every implicit task of one region enters the same body at once,
// which is how a region runs, not a reentrant call; yet the same body
// entered by two regions that overlap (nested, or started from two tasks)
// is one. So one implicit task per region, the primary's, reports the entry
// and keeps the activation open in the library until the task leaves (the
// library drops a task's activations then), which spans the whole region;
// the region's other implicit tasks report neither entry nor exit.
enum body_rule_t : std::uint8_t {
  body_reported = 0,  // threads, explicit tasks: as every other function
  body_entry_only,    // the primary thread's implicit task
  body_hidden,        // the other implicit tasks of the region
};

// Everything the bridge keeps per thread. Zero-filled at thread start and
// touched only by its own thread.
struct thread_state_t {
  activation_t* stack;  // shadow stack, oldest first; malloc'ed, grown by doubling
  std::uint32_t depth;
  std::uint32_t capacity;
  // The task that runs on this thread as the task layer (threads or OMPT)
  // sees it: any value that differs between tasks that share the thread, 0
  // for none. Activations remember it, so that one entered by a task is
  // never closed on behalf of another.
  std::uintptr_t task;
  body_rule_t body_rule;  // of the task in `task`; set with it by the task layer
  std::uint32_t ignore;  // __tsan_ignore_thread_begin nesting: nothing is reported
  // Writes into [private_begin, private_end) store the arguments of a task
  // being created (OpenMP); they are the runtime's business, not sharing.
  std::uintptr_t private_begin;
  std::uintptr_t private_end;
  std::uintptr_t stack_low;  // the lowest address of this thread's stack, 0 until asked
  // The canonical frame address of the first function the task in `task`
  // entered on this thread (the highest of its frames), 0 if none yet; the
  // task layer saves and restores it with `task`.
  std::uintptr_t task_frame;
  // Raised while the bridge works on its own tables under a lock of its
  // own: what it frees then is its own memory, which the program never
  // touched and the library need not forget (heap.cc), and which must not
  // call into the library under that lock.
  std::uint32_t own_memory;
};


// initial-exec: one segment-relative access per hook instead of a
// __tls_get_addr call; the bridge is linked with the program, never
// dlopen'ed, and its few dozen bytes fit glibc's static TLS surplus even if
// it were.
extern thread_local thread_state_t state __attribute__((tls_model("initial-exec")));

struct own_memory_scope {
  own_memory_scope() { ++state.own_memory; }
  ~own_memory_scope() { --state.own_memory; }
};

// The executable part of the task runtime (libomp), set once by the task
// layer before its first task; empty for threads. A function called from
// there, or from the bridge itself (a thread's start routine), has no call
// site in the program: its entry is reported at the function itself.
// Relaxed: the range is published before the runtime starts any task, and
// a thread that saw it empty only reports a call site in the runtime.
struct code_range_t {
  std::uintptr_t begin, end;
  bool holds(void const* p) const {
    auto const a = reinterpret_cast<std::uintptr_t>(p);
    return a >= begin && a < end;
  }
};
extern std::atomic<std::uintptr_t> runtime_code_begin, runtime_code_end;
// The executable segments of the loaded object that holds `address`.
code_range_t code_range_of(void const* address);

// Whether the call returning to `code` comes from the task runtime: its own
// mutexes and waits are how it schedules tasks, not order the program asks
// for, and following them would order tasks that the program leaves
// unordered.
// The bridge's own calls (its keys, its once-only set-ups) are not the
// program's either.
bool bridge_call(void const* code);
inline bool runtime_call(void const* code) {
  return code_range_t{runtime_code_begin.load(std::memory_order_relaxed),
                      runtime_code_end.load(std::memory_order_relaxed)}
             .holds(code) ||
         bridge_call(code);
}

// Whether `function` is the twin that clang's outlined region body calls
// at once when built with -g and without optimisation (named
// ".omp_outlined._debug__"): the real body, behind a wrapper.
bool outlined_debug_twin(void const* function);

// Whether the task layer reports races (the default) rather than sharing
// (VEXA_VIEW=sharing): atomic operations and locks are then passed to the
// library. Set by the task layer before its first task; relaxed, since a
// thread that reads it late only misses an atomic or a lock before it.
extern std::atomic<bool> race_view;

// Task ids for _VEXA_enterTaskAs: a running count of the tasks a task layer
// makes, from 1 (0 is what the library records without one). Relaxed: only
// uniqueness matters.
inline std::uint64_t next_task_id() {
  static std::atomic<std::uint64_t> last{0};
  return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

// A write the program does not make on its own behalf: it stores the
// arguments of a task that is being created (OpenMP).
inline bool task_argument(void const* address) {
  auto const a = reinterpret_cast<std::uintptr_t>(address);
  return a >= state.private_begin && a < state.private_end;
}

// libomp's task descriptor starts with the pointer to the task's block of
// shared-variable pointers, which follows the descriptor in one allocation.
struct kmp_task_prefix_t {
  void* shareds;
};

// clang's task creation: the descriptor is allocated, then the program's
// code stores the task's arguments in it and in its block of shared-variable
// pointers, then the task is submitted (which closes the window). Those
// writes move arguments into the task.
inline void open_argument_window(kmp_task_prefix_t const* task, std::size_t task_size, std::size_t shareds_size) {
  if (task == nullptr) return;
  auto const begin = reinterpret_cast<std::uintptr_t>(task);
  std::uintptr_t end = begin + task_size;
  if (task->shareds != nullptr && shareds_size != 0) {
    std::uintptr_t const shareds_end = reinterpret_cast<std::uintptr_t>(task->shareds) + shareds_size;
    if (shareds_end > end) end = shareds_end;
  }
  state.private_begin = begin;
  state.private_end = end;
}

// The definition of `name` that the bridge's own one hides (pthread_create
// in the C library, GOMP_task in the OpenMP runtime), or one the bridge
// calls in a library it is not linked with (the OpenMP runtime), looked up
// on first use: a constructor of another library may call it before the
// bridge's constructors run. Racing look-ups store the same pointer; relaxed order
// suffices because the pointer is all that is published.
template <class F>
F next_definition(std::atomic<F>& cache, char const* name) {
  F f = cache.load(std::memory_order_relaxed);
  if (BRIDGE_UNLIKELY(f == nullptr)) {
    f = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
    if (f == nullptr) {
      // Nothing to forward to: the program cannot go on. Its runtime was
      // left out of the link, or it does not define the entry point.
      std::fprintf(stderr, "vexa: %s is not defined by any library the program loaded; stopping\n", name);
      std::abort();
    }
    cache.store(f, std::memory_order_relaxed);
  }
  return f;
}

}  // namespace vexa_bridge

#endif  // VEXA_BRIDGE_BRIDGE_H
