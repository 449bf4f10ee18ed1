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
// In the sharing view the initial task is not a task: it runs only the
// sequential part of the program, which never overlaps a parallel region's
// tasks, and counting it would report every value the sequential part hands
// to them. In the race view (task_order.h) it is one, ordered before the
// regions it starts.
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
#include <pthread.h>
#include <sys/auxv.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "bridge.h"
#include "exit_gate.h"
#include "task_order.h"

namespace vexa_bridge {
namespace {

// The race view (the default) keeps finished tasks' accesses until what
// orders them, and tells the library about locks and the order of tasks;
// VEXA_VIEW=sharing keeps the sharing view: accesses of tasks alive at the
// same time. Set once, before the first task.
bool races = true;

// libomp keeps one data slot per thread for two things: a worker's
// implicit task's data, copied there from the barrier that closes its
// region until the task's end is reported, and the stand-in of a taskwait
// with depend, which it asserts to be empty when the wait begins. A node
// kept in either made a wait inside a task run during that barrier, or
// inside another wait, abort the program. So a worker's implicit task
// lets go of its data when it leaves at that barrier (ended_worker keeps
// the node for the end), and stand-ins never hold theirs: their nodes are
// kept per thread, innermost last, found by the slot's address.
struct stand_in_t {
  ompt_data_t const* slot;
  task_t* task;
};
constexpr unsigned max_stand_ins = 64;
thread_local stand_in_t stand_ins[max_stand_ins] __attribute__((tls_model("initial-exec")));
thread_local unsigned stand_in_count __attribute__((tls_model("initial-exec")));
thread_local task_t* ended_worker __attribute__((tls_model("initial-exec")));

task_t* task_of(ompt_data_t const* data) {
  if (data == nullptr) return nullptr;
  if (data->ptr != nullptr) return static_cast<task_t*>(data->ptr);
  for (unsigned i = stand_in_count; i-- != 0;)
    if (stand_ins[i].slot == data) return stand_ins[i].task;
  return nullptr;
}
region_t* region_of(ompt_data_t const* data) {
  return data == nullptr ? nullptr : static_cast<region_t*>(data->ptr);
}

task_t* current() { return current_task(); }

// Makes `t` (null: none) the task that runs on this thread.
void set_current(task_t* t) {
  if (task_t* before = current()) before->frame = state.task_frame;
  state.task_frame = t == nullptr ? 0 : t->frame;
  state.task = reinterpret_cast<std::uintptr_t>(t);
  state.body_rule = t == nullptr ? body_reported : t->body;
}

// A task that runs now: neither a stand-in nor one that has left.
bool running(task_t const* t) { return t != nullptr && t->entered && !t->done; }

void enter(task_t* t) {
  t->below = current();
  t->entered = true;
  set_current(t);
  _VEXA_enterTaskAs(t->id, t->code);
  if (!races) return;
  place(t);
  started(t);
  for (void const* lock : t->exclusive) _VEXA_acquireLock(lock);
}

// Forgets the accesses to this thread's stack below the frame of the first
// function the task that just ended there entered (or, if none was seen,
// below the caller's frame): those frames are dead, and the next task on
// this thread reuses their memory for objects of its own, which would
// otherwise conflict with the ones they replace.
[[gnu::noinline]] void forget_dead_stack(std::uintptr_t top) {
  if (state.stack_low == 0) {
    pthread_attr_t attributes;
    void* low = nullptr;
    std::size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
      pthread_attr_getstack(&attributes, &low, &size);
      pthread_attr_destroy(&attributes);
    }
    // Unknown: nothing is forgotten, rather than everything below the frame.
    state.stack_low = low == nullptr ? ~std::uintptr_t{0} : reinterpret_cast<std::uintptr_t>(low);
  }
  auto below = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  if (top > below) below = top;
  if (state.stack_low < below)
    _VEXA_forgetMemory(reinterpret_cast<void const*>(state.stack_low), reinterpret_cast<void const*>(below));
}

// A finished task keeps its accesses in the race view until what orders it
// comes (task_order.h): its parent's taskwait, its taskgroup's end, its
// region's end.
void leave(task_t* t) {
  t->done = true;
  if (races) {
    for (void const* lock : t->exclusive) _VEXA_releaseLock(lock);
    // Its argument block dies with it; kept, its accesses would pass from
    // task to task along a chain of absorbed tasks.
    if (t->block_end != 0)
      _VEXA_forgetMemory(reinterpret_cast<void const*>(t->block_begin), reinterpret_cast<void const*>(t->block_end));
    finished(t);
    forget_dead_stack(state.task_frame);
    ref(t);  // the library's, dropped when it is absorbed
    t->finished = true;
    _VEXA_finishTaskAt(t->code);
    if (t->parent != nullptr) t->parent->finished_children.add(t);
    if (t->home != nullptr) t->home->finished.add(t);
  } else {
    _VEXA_leaveTaskAt(t->code);
  }
  set_current(t->below);
  // A detached task whose end came while a task ran above it (see
  // on_task_schedule) ends now that its thread is back to it.
  if (task_t* below = current(); below != nullptr && below->ended && running(below)) {
    leave(below);
    unref(below);
  }
  // The task that made an undeferred task waited for it right there.
  task_t* const parent = t->parent;
  if (races && t->undeferred && parent != nullptr && parent == t->below && running(parent)) {
    advance(parent);
    join(t, parent);
  }
}

void suspend(task_t* t) { _VEXA_suspendTaskAt(t->code); }

void resume(task_t* t) {
  set_current(t);
  _VEXA_resumeTaskAt(t->code);
}

// A new node, made by `parent` (null: none). The runtime's data slot
// holds the first reference.
task_t* new_task(void const* code, task_t* parent) {
  auto* t = new (std::nothrow) task_t(code, next_task_id());
  if (t == nullptr) std::abort();  // OMPT callbacks cannot fail
  if (parent != nullptr && races) {
    ref(parent);
    t->parent = parent;
    t->home = parent->region != nullptr ? parent->region : parent->home;
    if (t->home != nullptr) t->home->refs.fetch_add(1, std::memory_order_relaxed);
  }
  return t;
}

void close_argument_window() { state.private_begin = state.private_end = 0; }

// The block that holds the arguments of the task being created on this
// thread: the runtime's copy, which dies with the task. Set by the copy
// (GCC) or the argument window (clang), taken by the task's creation.
struct block_t {
  std::uintptr_t begin, end;
};
thread_local block_t created_block __attribute__((tls_model("initial-exec")));

// Set while the program creates a task with if(0): the task it creates is
// undeferred by the program's own word (GOMP_task, __kmpc_omp_task_begin_if0).
thread_local bool program_undeferred __attribute__((tls_model("initial-exec")));

void on_parallel_begin(ompt_data_t* encountering, ompt_frame_t const*, ompt_data_t* parallel, unsigned, int,
                       void const* code) {
  exit_gate gate;
  if (!gate) return;
  auto* r = new (std::nothrow) region_t;
  if (r == nullptr) std::abort();
  r->code = code;  // the implicit tasks' code address
  parallel->ptr = r;
  task_t* t = task_of(encountering);
  if (!running(t)) return;
  if (races) {
    ref(t);
    r->encountering = t;
    // Written before the runtime starts the region's threads, which read it.
    r->start.merge(t->clock, t->id, t->step);
    advance(t);
  }
  suspend(t);
}

void on_parallel_end(ompt_data_t* parallel, ompt_data_t* encountering, int, void const*) {
  exit_gate gate;
  if (!gate) return;
  region_t* r = region_of(parallel);
  parallel->ptr = nullptr;
  task_t* t = task_of(encountering);
  if (running(t)) {
    resume(t);
    if (races) advance(t);
  } else {
    t = nullptr;
  }
  if (races && r != nullptr) {
    // Everything the region did is ordered before what its encountering
    // task does next; a region that no task of ours started (the
    // runtime's own helpers) leaves nothing behind.
    end_region(r, t);
  }
  if (r != nullptr) {
    if (r->encountering != nullptr) unref(r->encountering);
    r->encountering = nullptr;
    unref(r);
  }
}

// The program's initial task (race view): the sequential part is a task,
// so that tasks it makes outside any region are ordered with it.
void enter_initial(ompt_data_t* task) {
  task_t* t = new_task(reinterpret_cast<void const*>(getauxval(AT_ENTRY)), nullptr);
  task->ptr = t;
  enter(t);
}

void on_implicit_task(ompt_scope_endpoint_t endpoint, ompt_data_t* parallel, ompt_data_t* task, unsigned,
                      unsigned index, int flags) {
  exit_gate gate;
  if (!gate) return;
  region_t* r = region_of(parallel);
  if (endpoint == ompt_scope_begin) {
    if (flags & ompt_task_initial) {
      // The program's own initial task has no region; a team of a league
      // has the league's.
      if (r == nullptr) {
        if (!races) return;
        task_t* const encountering = current();
        if (encountering == nullptr) {
          enter_initial(task);
          return;
        }
        // The team of a league that libomp starts without a region of its
        // own (a device construct run on the host): the encountering task
        // waits for it, as for an undeferred task.
        task_t* t = new_task(encountering->code, encountering);
        created(encountering, t);
        t->undeferred = true;
        encountering->outstanding.fetch_add(1, std::memory_order_relaxed);
        advance(encountering);
        task->ptr = t;
        enter(t);
        return;
      }
      if (!races) return;
    }
    // Born when the region began: the encountering task's step is not this
    // thread's to read.
    task_t* t = new_task(r == nullptr ? nullptr : r->code, r == nullptr ? nullptr : r->encountering);
    t->worker = index != 0;  // of a region, or a team of a league other than the first
    t->body = t->worker ? body_hidden : body_entry_only;
    if (races && r != nullptr) {
      // Its own region, not the one its encountering task runs in.
      t->region = r;
      t->clock.merge(r->start);
      r->refs.fetch_add(1, std::memory_order_relaxed);
      unref(t->home);
      t->home = r;
      if (t->parent != nullptr) t->parent->outstanding.fetch_add(1, std::memory_order_relaxed);
    }
    task->ptr = t;
    enter(t);
  } else {
    task_t* t = static_cast<task_t*>(task->ptr);
    if (t != nullptr) {
      task->ptr = nullptr;
    } else {  // a worker's, reported with the thread's slot
      t = ended_worker;
      ended_worker = nullptr;
    }
    if (t == nullptr) return;
    if (running(t)) leave(t);
    unref(t);
  }
}

bool barrier(ompt_sync_region_t kind) {
  return kind == ompt_sync_region_barrier || kind == ompt_sync_region_barrier_explicit ||
         kind == ompt_sync_region_barrier_implicit || kind == ompt_sync_region_barrier_implicit_workshare ||
         kind == ompt_sync_region_barrier_implicit_parallel || kind == ompt_sync_region_barrier_teams ||
         kind == ompt_sync_region_barrier_implementation;  // what libomp 14 reports for an explicit one
}

// libomp reports the end of a worker's implicit task only when the worker
// wakes for the next parallel region, long after the region has ended; the
// task would stay alive meanwhile and share everything it touched with the
// next region's tasks. It ends instead when the worker reaches the barrier
// that closes the region (the primary thread's end is reported on time).
// That barrier reports the region's own code address, or none on workers;
// the barriers of worksharing constructs report their own call.
//
// In the race view a barrier also starts a new epoch of the implicit task
// that passes it, and the ends of taskwaits and taskgroups join the tasks
// they waited for.
void on_sync_region(ompt_sync_region_t kind, ompt_scope_endpoint_t endpoint, ompt_data_t* parallel,
                    ompt_data_t* task, void const* code) {
  exit_gate gate;
  if (!gate) return;
  task_t* t = task_of(task);
  if (endpoint == ompt_scope_begin) {
    if (races && kind == ompt_sync_region_taskgroup && running(t)) {
      auto* g = new (std::nothrow) group_t;
      if (g == nullptr) std::abort();
      g->outer = t->groups;
      t->groups = g;
      return;
    }
    if (races && barrier(kind) && running(t) && t->region != nullptr) arrive(t);
    if (parallel == nullptr) return;
    if (kind != ompt_sync_region_barrier_implicit && kind != ompt_sync_region_barrier_implicit_parallel) return;
    region_t const* r = region_of(parallel);
    if (code != nullptr && (r == nullptr || code != r->code)) return;
    if (running(t) && t->worker) {
      leave(t);
      // The runtime copies the data into the thread's slot next (see
      // stand_in_t); the end comes with that slot.
      if (task->ptr == t && ended_worker == nullptr) {
        task->ptr = nullptr;
        ended_worker = t;
      }
    }
    return;
  }
  if (!races || !running(t)) return;
  if (barrier(kind)) {
    if (t->region != nullptr) depart(t);
  } else if (kind == ompt_sync_region_taskwait) {
    advance(t);
    join_children(t);
    clear_dependences(t);  // its children are done
  } else if (kind == ompt_sync_region_taskgroup && t->groups != nullptr) {
    group_t* g = t->groups;
    t->groups = g->outer;
    advance(t);
    join_group(g->members.take(), t);
    delete g;
  }
}

void on_task_create(ompt_data_t* encountering, ompt_frame_t const*, ompt_data_t* created, int flags, int,
                    void const* code) {
  exit_gate gate;
  if (!gate) return;
  block_t block = created_block;
  if (state.private_end != 0) block = {state.private_begin, state.private_end};
  created_block = {0, 0};
  close_argument_window();
  if (flags & ompt_task_initial) return;
  task_t* parent = task_of(encountering);
  if (!running(parent)) parent = nullptr;
  task_t* t = new_task(code, parent);
  t->block_begin = block.begin;
  t->block_end = block.end;
  if (flags & ompt_task_taskwait) {
    if (stand_in_count == max_stand_ins) {  // waits this deep: this one goes unseen
      unref(t);
      return;
    }
    stand_ins[stand_in_count++] = {created, t};
    t->waiting = true;
    if (parent != nullptr) {
      suspend(parent);
      t->waiter = parent;
    }
    return;
  }
  created->ptr = t;
  if (races && parent != nullptr) {
    // Not the runtime's undeferred flag: a team of one thread runs every
    // task at once, though the program lets it run later.
    t->undeferred = program_undeferred || parent->final;
    t->final = (flags & ompt_task_final) != 0;
    vexa_bridge::created(parent, t);
    parent->outstanding.fetch_add(1, std::memory_order_relaxed);
    t->group = parent->groups != nullptr ? parent->groups : parent->group;
    if (t->group != nullptr) t->group->members.add(t);
    advance(parent);  // what the parent does from now on may run beside the task
  }
}

void on_dependences(ompt_data_t* task, ompt_dependence_t const* deps, int n) {
  exit_gate gate;
  if (!gate) return;
  task_t* t = task_of(task);
  if (t == nullptr || t->parent == nullptr || n <= 0) return;
  std::vector<void const*> addresses;
  std::vector<int> kinds;
  for (int i = 0; i < n; ++i) {
    ompt_dependence_type_t const kind = deps[i].dependence_type;
    if (kind == ompt_dependence_type_source || kind == ompt_dependence_type_sink) continue;
    addresses.push_back(deps[i].variable.ptr);
    kinds.push_back(kind);
  }
  add_dependences(t->parent, t, addresses.data(), kinds.data(), static_cast<int>(addresses.size()));
}

void on_task_schedule(ompt_data_t* prior_data, ompt_task_status_t status, ompt_data_t* next_data) {
  exit_gate gate;
  if (!gate) return;
  task_t* prior = task_of(prior_data);
  task_t* next = task_of(next_data);
  if (prior != nullptr && prior->waiting) {
    // The stand-in never runs; only its completion means anything.
    if (status == ompt_taskwait_complete) {
      if (task_t* waiter = prior->waiter) {
        resume(waiter);  // the suspension at its creation
        if (prior->switched && next != waiter) resume(waiter);
        if (races) {
          advance(waiter);
          for (task_t* p : prior->predecessors) join(p, waiter);
        }
      }
      if (stand_in_count != 0 && stand_ins[stand_in_count - 1].task == prior) --stand_in_count;
      unref(prior);
    }
    prior = nullptr;
  }
  if (prior != nullptr) {
    switch (status) {
      case ompt_task_complete:
      case ompt_task_cancel:
        prior_data->ptr = nullptr;
        if (running(prior)) leave(prior);
        unref(prior);
        break;
      case ompt_task_detach:  // its body ended; it completes when fulfilled
        if (running(prior)) leave(prior);
        break;
      case ompt_task_switch:
      case ompt_task_yield:
        if (running(prior)) suspend(prior);
        if (next != nullptr && next->waiting) next->switched = true;
        break;
      case ompt_task_early_fulfill:
      case ompt_task_late_fulfill:
        // On the thread that fulfils the event, for a task that may have
        // ended already; early, on the task's own thread, it ends now.
        // libomp may report no end of the body of a task fulfilled later
        // on the same thread, above which the fulfiller then runs: it ends
        // when its thread comes back down to it (leave()).
        prior_data->ptr = nullptr;
        if (running(prior) && prior == current()) {
          leave(prior);
        } else {
          if (races) {
            task_t* fulfiller = current();
            fulfil(prior, running(fulfiller) ? fulfiller : nullptr);
          }
          if (running(prior)) {
            prior->ended = true;
            break;  // the runtime's reference goes when it leaves
          }
        }
        unref(prior);
        break;
      default:
        break;
    }
  }
  if (next == nullptr || next->waiting) return;
  if (next->done) set_current(next->below);
  else if (next->entered) resume(next);
  else enter(next);
}

// Locks, critical sections, ordered and the runtime's atomic lock: the
// accesses made under one of them never race with each other.
void const* lock_name(ompt_mutex_t kind, ompt_wait_id_t wait_id) {
  return reinterpret_cast<void const*>(static_cast<std::uintptr_t>(wait_id * 16 + kind));
}

void on_mutex_acquired(ompt_mutex_t kind, ompt_wait_id_t wait_id, void const*) {
  _VEXA_acquireLock(lock_name(kind, wait_id));
}

void on_mutex_released(ompt_mutex_t kind, ompt_wait_id_t wait_id, void const*) {
  _VEXA_releaseLock(lock_name(kind, wait_id));
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
  char const* view = std::getenv("VEXA_VIEW");
  races = view == nullptr || std::strcmp(view, "sharing") != 0;
  race_view.store(races, std::memory_order_relaxed);
  if (races) {
    _VEXA_orderTasksBy(ordered);
    set(ompt_callback_dependences, reinterpret_cast<ompt_callback_t>(on_dependences));
    set(ompt_callback_mutex_acquired, reinterpret_cast<ompt_callback_t>(on_mutex_acquired));
    set(ompt_callback_mutex_released, reinterpret_cast<ompt_callback_t>(on_mutex_released));
  }
  return 1;  // keep the tool active
}

void finalize(ompt_data_t*) {}

using task_alloc_t = kmp_task_prefix_t* (*)(void*, int, int, std::size_t, std::size_t, void*);
std::atomic<task_alloc_t> real_task_alloc{nullptr};

using begin_if0_t = void (*)(void*, int, void*);
std::atomic<begin_if0_t> real_begin_if0{nullptr};

using copy_function_t = void (*)(void*, void*);
using gomp_task_t = void (*)(void (*)(void*), void*, copy_function_t, long, long, bool, unsigned, void**, int,
                             void*);
std::atomic<gomp_task_t> real_gomp_task{nullptr};

// The copy function of the GOMP_task call in progress on this thread; the
// runtime calls it before GOMP_task returns.
struct pending_copy_t {
  copy_function_t function;  // null: a plain copy
  long size;
};
thread_local pending_copy_t pending_copy __attribute__((tls_model("initial-exec")));

void copy_arguments(void* destination, void* source) {
  pending_copy_t const copy = pending_copy;
  auto const begin = reinterpret_cast<std::uintptr_t>(destination);
  state.private_begin = begin;
  state.private_end = begin + static_cast<std::uintptr_t>(copy.size);
  if (copy.function != nullptr) copy.function(destination, source);
  else std::memcpy(destination, source, static_cast<std::size_t>(copy.size));
  created_block = {state.private_begin, state.private_end};
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
  open_argument_window(task, task_size, shareds_size);
  return task;
}

// GCC: the arguments are a block in the parent's frame, copied into the
// task by the runtime or by the copy function GCC generated.
BRIDGE_EXPORT void GOMP_task(void (*function)(void*), void* data, copy_function_t copy, long size, long align,
                             bool if_clause, unsigned flags, void** depend, int priority, void* detach) {
  gomp_task_t const submit = next_definition(real_gomp_task, "GOMP_task");
  struct undeferred_scope {
    explicit undeferred_scope(bool on) : outer(program_undeferred) { program_undeferred = on; }
    ~undeferred_scope() { program_undeferred = outer; }
    bool outer;
  } const undeferred(!if_clause);
  if (copy != nullptr || (if_clause && size > 0)) {
    // Through copy_arguments even for a plain copy: it learns the block.
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

// clang: a task with if(0) runs between these two calls, in the encountering
// task, which waits for it there.
BRIDGE_EXPORT void __kmpc_omp_task_begin_if0(void* location, int thread, void* task) {
  begin_if0_t const begin = next_definition(real_begin_if0, "__kmpc_omp_task_begin_if0");
  bool const outer = program_undeferred;
  program_undeferred = true;
  begin(location, thread, task);
  program_undeferred = outer;
}
