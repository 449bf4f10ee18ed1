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
#include <link.h>
#include <pthread.h>

#include <cstdlib>

#include "bridge.h"
#include "call_sites.h"

namespace vexa_bridge {

thread_local thread_state_t state;
std::atomic<std::uintptr_t> runtime_code_begin{0}, runtime_code_end{0};

code_range_t code_range_of(void const* address) {
  struct search_t {
    std::uintptr_t address;
    code_range_t range;
  } search{reinterpret_cast<std::uintptr_t>(address), {0, 0}};
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) {
        auto* s = static_cast<search_t*>(data);
        code_range_t r{~std::uintptr_t{0}, 0};
        bool mine = false;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          ElfW(Phdr) const& h = info->dlpi_phdr[i];
          if (h.p_type != PT_LOAD || !(h.p_flags & PF_X)) continue;
          std::uintptr_t const begin = info->dlpi_addr + h.p_vaddr, end = begin + h.p_memsz;
          if (begin < r.begin) r.begin = begin;
          if (end > r.end) r.end = end;
          if (s->address >= begin && s->address < end) mine = true;
        }
        if (!mine) return 0;
        s->range = r;
        return 1;
      },
      &search);
  return search.range;
}

bool bridge_call(void const* code) {
  static code_range_t const own = code_range_of(reinterpret_cast<void const*>(&bridge_call));
  return own.holds(code);
}

namespace {

// The bridge's own code: made on first use (a thread's first activation).
code_range_t const& bridge_code() {
  static code_range_t const range = code_range_of(reinterpret_cast<void const*>(&code_range_of));
  return range;
}

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
  if (a.task == s.task && a.report_exit)
    _VEXA_leaveFunctionAt(a.function, reinterpret_cast<void const*>(a.frame), code);
}

bool called_by_runtime(void const* call_site) {
  code_range_t const runtime{runtime_code_begin.load(std::memory_order_relaxed),
                             runtime_code_end.load(std::memory_order_relaxed)};
  return runtime.holds(call_site);
}

[[gnu::noinline]] void open_activation(void const* pc, std::uintptr_t frame_pointer, void const* call_site) {
  thread_state_t& s = state;
  // Outside every task (the sequential part of an OpenMP program) there is
  // nothing to check: another task cannot be inside the same function.
  if (s.task == 0) return;
  frame_t const f = locate(pc, frame_pointer);
  while (s.depth != 0 && s.stack[s.depth - 1].frame <= f.cfa) close_top(s, call_site);
  bool const task_bottom = s.depth == 0 || s.stack[s.depth - 1].task != s.task;
  if (task_bottom && f.cfa > s.task_frame) s.task_frame = f.cfa;
  bool body = false;
  if (s.body_rule != body_reported) {
    if (task_bottom)
      body = called_by_runtime(call_site);
    else if (s.stack[s.depth - 1].body)
      body = outlined_debug_twin(f.function);
  }
  bool const report_entry = !body || s.body_rule == body_entry_only;
  if (s.depth == s.capacity && !grow(s)) return;
  s.stack[s.depth++] = activation_t{f.function, f.cfa, s.task, !body, body};
  if (!report_entry) return;
  // The call site, not the function: a reentrant call is reported where the
  // second task called the function. A function that the runtime or the
  // bridge called has no such place in the program; it is its own.
  void const* code = call_site;
  if (body || (task_bottom && (called_by_runtime(call_site) || bridge_code().holds(call_site)))) code = f.function;
  _VEXA_enterFunctionAt(f.function, reinterpret_cast<void const*>(f.cfa), code);
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
