// OpenMP tasks through the OpenMP tools interface (OMPT) of LLVM's libomp,
// which also runs programs compiled by GCC (it provides GOMP_*).
//
// Tied tasks run nested on their thread's stack, so each thread holds a
// stack of tasks: the one running on top, the ones it interrupted below,
// suspended. The callbacks keep the library's per-thread task stack in step
// with the runtime's:
//   implicit task begin / end           enter / leave
//   parallel begin / end                suspend / resume the encountering task
//   task_schedule(prior, status, next)  complete, cancel, detach: leave prior;
//                                       switch, yield: suspend prior;
//                                       then resume next if it ran before,
//                                       else enter it
//   taskwait with depend                the parent waits: suspended from the
//                                       creation of the runtime's stand-in
//                                       task until its taskwait_complete
// The initial task is not a task here: it runs only the sequential part of
// the program, which never overlaps a parallel region's tasks, and counting
// it would report every value the sequential part hands to them.
//
// libomp signals completion before it releases dependences, so a task has
// left before any task that depends on it starts. Untied tasks that resume
// on another thread cannot be expressed: a task stays on the thread that
// entered it.
//
// Task creation moves arguments into the new task: clang's code writes them
// into the descriptor that __kmpc_omp_task_alloc returns, GCC's copy
// function writes them for GOMP_task, and an undeferred GOMP_task reads the
// parent's argument block directly. Those writes and that block are the
// runtime's business; without excluding them every task would share its
// arguments with its parent. The bridge wraps both entry points for that.
#include <omp-tools.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "bridge.h"
#include "exit_gate.h"

namespace vexa_bridge {
namespace {

// What the bridge keeps of a task, in the ptr of its ompt_data_t.
struct task_t {
  void const* code;  // where the program created it
  task_t* below;     // the task it interrupted on its thread
  bool entered;      // ran before: the next schedule resumes it
  bool done;         // left already (a worker's implicit task at the barrier)
  bool worker;       // an implicit task of a thread other than the primary
  bool waiting;      // the stand-in of a taskwait with depend
  bool switched;     //   ... and its parent switched to it
  task_t* parent;    //   ... the task that waits, suspended; null if none
  std::uint64_t id;  // the library's task id: reports tell tasks apart by it
  body_rule_t body;  // how its outlined body is reported (bridge.h)
};

task_t* task_of(ompt_data_t const* data) { return data == nullptr ? nullptr : static_cast<task_t*>(data->ptr); }

task_t* current() { return reinterpret_cast<task_t*>(state.task); }

// Makes `t` (null: none) the task that runs on this thread.
void set_current(task_t* t) {
  state.task = reinterpret_cast<std::uintptr_t>(t);
  state.body_rule = t == nullptr ? body_reported : t->body;
}

void enter(task_t* t) {
  t->below = current();
  t->entered = true;
  set_current(t);
  _VEXA_enterTaskAs(t->id, t->code);
}

void leave(task_t* t) {
  t->done = true;
  _VEXA_leaveTaskAt(t->code);
  set_current(t->below);
}

// A task that runs now: neither a stand-in nor one that has left.
bool running(task_t const* t) { return t != nullptr && t->entered && !t->done; }

void suspend(task_t* t) { _VEXA_suspendTaskAt(t->code); }

void resume(task_t* t) {
  set_current(t);
  _VEXA_resumeTaskAt(t->code);
}

task_t* new_task(void const* code) {
  auto* t = static_cast<task_t*>(std::calloc(1, sizeof(task_t)));
  if (t == nullptr) std::abort();  // OMPT callbacks cannot fail
  t->code = code;
  t->id = next_task_id();
  t->body = body_reported;
  return t;
}

void close_argument_window() { state.private_begin = state.private_end = 0; }

void on_parallel_begin(ompt_data_t* encountering, ompt_frame_t const*, ompt_data_t* parallel, unsigned, int,
                       void const* code) {
  exit_gate gate;
  if (!gate) return;
  parallel->ptr = const_cast<void*>(code);  // the implicit tasks' code address
  task_t* t = task_of(encountering);
  if (running(t)) suspend(t);
}

void on_parallel_end(ompt_data_t*, ompt_data_t* encountering, int, void const*) {
  exit_gate gate;
  if (!gate) return;
  task_t* t = task_of(encountering);
  if (running(t)) resume(t);
}

void on_implicit_task(ompt_scope_endpoint_t endpoint, ompt_data_t* parallel, ompt_data_t* task, unsigned,
                      unsigned index, int flags) {
  exit_gate gate;
  if (!gate) return;
  if (flags & ompt_task_initial) return;
  if (endpoint == ompt_scope_begin) {
    task_t* t = new_task(parallel == nullptr ? nullptr : parallel->ptr);
    t->worker = index != 0;
    t->body = t->worker ? body_hidden : body_entry_only;
    task->ptr = t;
    enter(t);
  } else if (task_t* t = task_of(task)) {
    task->ptr = nullptr;
    if (!t->done) leave(t);
    std::free(t);
  }
}

// libomp reports the end of a worker's implicit task only when the worker
// wakes for the next parallel region, long after the region has ended; the
// task would stay alive meanwhile and share everything it touched with the
// next region's tasks. It ends instead when the worker reaches the barrier
// that closes the region (the primary thread's end is reported on time).
// That barrier reports the region's own code address, or none on workers;
// the barriers of worksharing constructs report their own call.
void on_sync_region(ompt_sync_region_t kind, ompt_scope_endpoint_t endpoint, ompt_data_t* parallel,
                    ompt_data_t* task, void const* code) {
  if (endpoint != ompt_scope_begin || parallel == nullptr) return;
  if (kind != ompt_sync_region_barrier_implicit && kind != ompt_sync_region_barrier_implicit_parallel) return;
  if (code != nullptr && code != parallel->ptr) return;
  exit_gate gate;
  if (!gate) return;
  task_t* t = task_of(task);
  if (running(t) && t->worker) leave(t);
}

void on_task_create(ompt_data_t* encountering, ompt_frame_t const*, ompt_data_t* created, int flags, int,
                    void const* code) {
  exit_gate gate;
  if (!gate) return;
  close_argument_window();
  if (flags & ompt_task_initial) return;
  task_t* t = new_task(code);
  created->ptr = t;
  if (flags & ompt_task_taskwait) {
    t->waiting = true;
    task_t* parent = task_of(encountering);
    if (running(parent)) {
      suspend(parent);
      t->parent = parent;
    }
  }
}

void on_task_schedule(ompt_data_t* prior_data, ompt_task_status_t status, ompt_data_t* next_data) {
  exit_gate gate;
  if (!gate) return;
  task_t* prior = task_of(prior_data);
  task_t* next = task_of(next_data);
  if (prior != nullptr && prior->waiting) {
    // The stand-in never runs; only its completion means anything.
    if (status == ompt_taskwait_complete) {
      if (prior->parent != nullptr) {
        resume(prior->parent);  // the suspension at its creation
        if (prior->switched && next != prior->parent) resume(prior->parent);
      }
      prior_data->ptr = nullptr;
      std::free(prior);
    }
    prior = nullptr;
  }
  if (prior != nullptr) {
    switch (status) {
      case ompt_task_complete:
      case ompt_task_cancel:
      case ompt_task_detach:
        prior_data->ptr = nullptr;
        if (running(prior)) leave(prior);
        std::free(prior);
        break;
      case ompt_task_switch:
      case ompt_task_yield:
        if (running(prior)) suspend(prior);
        if (next != nullptr && next->waiting) next->switched = true;
        break;
      default:  // fulfilment arrives on whichever thread fulfils the event
        break;
    }
  }
  if (next == nullptr || next->waiting) return;
  if (next->done) set_current(next->below);
  else if (next->entered) resume(next);
  else enter(next);
}

int initialize(ompt_function_lookup_t lookup, int, ompt_data_t*) {
  auto set = reinterpret_cast<ompt_set_callback_t>(lookup("ompt_set_callback"));
  if (set == nullptr) return 0;
  // The look-up function is the runtime's own code.
  code_range_t const runtime = code_range_of(reinterpret_cast<void const*>(lookup));
  runtime_code_begin.store(runtime.begin, std::memory_order_relaxed);
  runtime_code_end.store(runtime.end, std::memory_order_relaxed);
  set(ompt_callback_parallel_begin, reinterpret_cast<ompt_callback_t>(on_parallel_begin));
  set(ompt_callback_parallel_end, reinterpret_cast<ompt_callback_t>(on_parallel_end));
  set(ompt_callback_implicit_task, reinterpret_cast<ompt_callback_t>(on_implicit_task));
  set(ompt_callback_task_create, reinterpret_cast<ompt_callback_t>(on_task_create));
  set(ompt_callback_task_schedule, reinterpret_cast<ompt_callback_t>(on_task_schedule));
  set(ompt_callback_sync_region, reinterpret_cast<ompt_callback_t>(on_sync_region));
  return 1;  // keep the tool active
}

void finalize(ompt_data_t*) {}

// libomp's task descriptor starts with the pointer to the task's block of
// shared-variable pointers, which follows the descriptor in one allocation.
struct kmp_task_prefix_t {
  void* shareds;
};

using task_alloc_t = kmp_task_prefix_t* (*)(void*, int, int, std::size_t, std::size_t, void*);
std::atomic<task_alloc_t> real_task_alloc{nullptr};

using copy_function_t = void (*)(void*, void*);
using gomp_task_t = void (*)(void (*)(void*), void*, copy_function_t, long, long, bool, unsigned, void**, int,
                             void*);
std::atomic<gomp_task_t> real_gomp_task{nullptr};

// The copy function of the GOMP_task call in progress on this thread; the
// runtime calls it before GOMP_task returns.
struct pending_copy_t {
  copy_function_t function;
  long size;
};
thread_local pending_copy_t pending_copy __attribute__((tls_model("initial-exec")));

void copy_arguments(void* destination, void* source) {
  pending_copy_t const copy = pending_copy;
  auto const begin = reinterpret_cast<std::uintptr_t>(destination);
  state.private_begin = begin;
  state.private_end = begin + static_cast<std::uintptr_t>(copy.size);
  copy.function(destination, source);
  close_argument_window();
}

}  // namespace
}  // namespace vexa_bridge

using namespace vexa_bridge;

BRIDGE_EXPORT ompt_start_tool_result_t* ompt_start_tool(unsigned, char const*) {
  static ompt_start_tool_result_t result = {initialize, finalize, {0}};
  return &result;
}

// clang: the descriptor is allocated, then the program's code stores the
// task's arguments in it, then the task is submitted (task_create).
BRIDGE_EXPORT void* __kmpc_omp_task_alloc(void* location, int thread, int flags, std::size_t task_size,
                                          std::size_t shareds_size, void* entry) {
  task_alloc_t const allocate = next_definition(real_task_alloc, "__kmpc_omp_task_alloc");
  kmp_task_prefix_t* task = allocate(location, thread, flags, task_size, shareds_size, entry);
  if (task != nullptr) {
    auto const begin = reinterpret_cast<std::uintptr_t>(task);
    std::uintptr_t end = begin + task_size;
    if (task->shareds != nullptr && shareds_size != 0) {
      std::uintptr_t const shareds_end = reinterpret_cast<std::uintptr_t>(task->shareds) + shareds_size;
      if (shareds_end > end) end = shareds_end;
    }
    state.private_begin = begin;
    state.private_end = end;
  }
  return task;
}

// GCC: the arguments are a block in the parent's frame, copied into the
// task by the runtime or by the copy function GCC generated.
BRIDGE_EXPORT void GOMP_task(void (*function)(void*), void* data, copy_function_t copy, long size, long align,
                             bool if_clause, unsigned flags, void** depend, int priority, void* detach) {
  gomp_task_t const submit = next_definition(real_gomp_task, "GOMP_task");
  if (copy != nullptr) {
    pending_copy_t const outer = pending_copy;
    pending_copy = {copy, size};
    submit(function, data, copy_arguments, size, align, if_clause, flags, depend, priority, detach);
    pending_copy = outer;
    return;
  }
  if (!if_clause && size > 0) {
    // Run undeferred on a copy of the block, as a deferred task would.
    std::size_t const room = static_cast<std::size_t>(size) + static_cast<std::size_t>(align > 0 ? align : 1);
    auto* raw = static_cast<char*>(__builtin_alloca(room));
    std::uintptr_t const a = align > 1 ? static_cast<std::uintptr_t>(align) : 1;
    char* block = reinterpret_cast<char*>((reinterpret_cast<std::uintptr_t>(raw) + a - 1) / a * a);
    std::memcpy(block, data, static_cast<std::size_t>(size));
    submit(function, block, nullptr, size, align, if_clause, flags, depend, priority, detach);
    return;
  }
  submit(function, data, copy, size, align, if_clause, flags, depend, priority, detach);
}
