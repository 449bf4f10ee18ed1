// __tsan_func_entry and __tsan_func_exit: the function hooks, kept in step
// by a per-thread shadow stack.
//
// The shadow stack makes the entry and the exit of one activation pass the
// same function and frame, whatever happened in between: an exit closes the
// activation its entry opened, never a neighbour. Activations left without
// an exit (longjmp, an exception through code that is not instrumented) are
// recognised by their frames: an entry first closes every activation whose
// frame is not above its own, an exit every one below its own, innermost
// first and each with a leave, so the library's per-task stacks follow the
// program's real one. An activation is closed in the library only while
// the task that opened it runs; tasks that share a thread nest on its
// stack, so another task's activations are never below the current frame.
#include <pthread.h>

#include <cstdlib>

#include "bridge.h"
#include "call_sites.h"

namespace vexa_bridge {

thread_local thread_state_t state;

namespace {

// Frees a thread's shadow stack when the thread ends. Made on first use,
// which may come before the bridge's constructors run.
pthread_key_t stack_key;
pthread_once_t stack_key_made = PTHREAD_ONCE_INIT;

void free_stack(void* stack) {
  std::free(stack);
  // Only this thread's destructors run now; instrumented code in a later
  // destructor would find the stack empty and start a new one.
  state.stack = nullptr;
  state.depth = state.capacity = 0;
}

void make_stack_key() { pthread_key_create(&stack_key, free_stack); }

// False when the stack cannot grow: the activation is then not recorded at
// all, and its exit finds nothing to close.
[[gnu::noinline]] bool grow(thread_state_t& s) {
  std::uint32_t const capacity = s.capacity == 0 ? 64 : s.capacity * 2;
  void* bigger = std::realloc(s.stack, capacity * sizeof(activation_t));
  if (bigger == nullptr) return false;
  pthread_once(&stack_key_made, make_stack_key);
  if (bigger != s.stack) pthread_setspecific(stack_key, bigger);
  s.stack = static_cast<activation_t*>(bigger);
  s.capacity = capacity;
  return true;
}

void close_top(thread_state_t& s, void const* code) {
  activation_t const& a = s.stack[--s.depth];
  if (a.task == s.task) _VEXA_leaveFunctionAt(a.function, reinterpret_cast<void const*>(a.frame), code);
}

[[gnu::noinline]] void open_activation(void const* pc, std::uintptr_t frame_pointer, void const* call_site) {
  frame_t const f = locate(pc, frame_pointer);
  thread_state_t& s = state;
  while (s.depth != 0 && s.stack[s.depth - 1].frame <= f.cfa) close_top(s, call_site);
  if (s.depth == s.capacity && !grow(s)) return;
  s.stack[s.depth++] = activation_t{f.function, f.cfa, s.task};
  // The call site, not the function: a reentrant call is reported where the
  // second task called the function.
  _VEXA_enterFunctionAt(f.function, reinterpret_cast<void const*>(f.cfa), call_site);
}

[[gnu::noinline]] void close_activation(void const* pc, std::uintptr_t frame_pointer) {
  frame_t const f = locate(pc, frame_pointer);
  thread_state_t& s = state;
  while (s.depth != 0 && s.stack[s.depth - 1].frame < f.cfa) close_top(s, pc);
  if (s.depth != 0 && s.stack[s.depth - 1].frame == f.cfa) close_top(s, pc);
}

// The frame pointer of the function that called the hook: the hooks keep
// frame pointers (-fno-omit-frame-pointer), so it is the one their own
// frame saved.
#define CALLER_FRAME_POINTER() \
  reinterpret_cast<std::uintptr_t>(*static_cast<void* const*>(__builtin_frame_address(0)))

}  // namespace
}  // namespace vexa_bridge

using namespace vexa_bridge;

BRIDGE_EXPORT void __tsan_func_entry(void* call_site) {
  if (BRIDGE_LIKELY(hooks_off(VEXA_GUARD_FUNCTION))) return;
  open_activation(BRIDGE_RETURN_ADDRESS(), CALLER_FRAME_POINTER(), call_site);
}

BRIDGE_EXPORT void __tsan_func_exit(void) {
  if (BRIDGE_LIKELY(hooks_off(VEXA_GUARD_FUNCTION))) return;
  close_activation(BRIDGE_RETURN_ADDRESS(), CALLER_FRAME_POINTER());
}

// Called by the constructor of every instrumented unit. The bridge needs no
// set-up that static initialisation has not done already.
BRIDGE_EXPORT void __tsan_init(void) {}

// clang brackets code that must not be checked (functions marked to be
// instrumented but not checked at run time) with these.
BRIDGE_EXPORT void __tsan_ignore_thread_begin(void) { ++state.ignore; }
BRIDGE_EXPORT void __tsan_ignore_thread_end(void) { --state.ignore; }
