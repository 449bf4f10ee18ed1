// Threads as tasks, for programs without OpenMP: the main thread is a task
// from load to exit, and every thread the program creates is a task from
// its start routine's first instruction to its last (or pthread_exit).
// Waiting in pthread_join is a suspension of the waiting task.
//
// In the race view a thread is ordered like a task (task_order.h): it
// starts after what its creator did before pthread_create, and whoever
// joins it is ordered after its end. A thread that ends keeps its accesses
// (they race with whatever the program leaves unordered with them, also in
// threads that start later) until what orders them:
//   - the join of a thread that published nothing (released no object,
//     made no thread: nothing but the joiner can be ordered after it)
//     makes them the joiner's own, at the joiner's step then;
//   - otherwise they are dropped once every live thread is ordered after
//     the thread's end (threads made later start after one of them): no
//     access to come can race with them. Each join and each thread's end
//     looks for such threads.
//
// The program's pthread_create and pthread_join resolve to the definitions
// below (libvexa_threads.so comes before the C library in the program's
// search order), which call the C library's through dlsym(RTLD_NEXT).
// std::thread reaches them through the C++ library the same way.
//
// Lock order: the registry's lock, then a task's `lock` (reading its clock).
#include <pthread.h>
#include <sys/auxv.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

#include "bridge.h"
#include "exit_gate.h"
#include "sync_order.h"
#include "task_order.h"

namespace vexa_bridge {
namespace {

using create_t = int (*)(pthread_t*, pthread_attr_t const*, void* (*)(void*), void*);
using join_t = int (*)(pthread_t, void**);
using timed_join_t = int (*)(pthread_t, void**, timespec const*);
using detach_t = int (*)(pthread_t);

std::atomic<create_t> real_create{nullptr};
std::atomic<join_t> real_join{nullptr}, real_tryjoin{nullptr};
std::atomic<timed_join_t> real_timedjoin{nullptr};
std::atomic<detach_t> real_detach{nullptr};

// The thread tasks of the race view.
struct registry_t {
  vexa::lock_t lock{vexa::lock_rank::bridge_threads};
  std::vector<task_t*> live;      // made and not yet ended
  std::vector<task_t*> finished;  // ended, accesses still kept; their own reference
  // Joinable threads by pthread_t, each referenced while listed.
  std::vector<std::pair<pthread_t, task_t*>> joinable;
};
// Made on first use, like the key below, and never destroyed: threads may
// still end after static destructors have run at exit.
registry_t& registry() {
  static registry_t* const r = new registry_t;
  return *r;
}

// A value in task_key makes its destructor end the task of a thread that
// leaves by pthread_exit or cancellation. The C library clears the value
// before it calls the destructor, so whether the task is still open is
// kept apart. The key is made on first use: a constructor of another
// library may start a thread before the bridge's constructors have run.
// (Not with pthread_once, which the bridge itself follows.)
char key_value;
thread_local bool task_open __attribute__((tls_model("initial-exec")));

void end_task_at_exit(void*);
pthread_key_t task_key() {
  static pthread_key_t const key = [] {
    pthread_key_t k;
    pthread_key_create(&k, end_task_at_exit);
    return k;
  }();
  return key;
}

// Every live thread is ordered after t's end.
bool covered(task_t const* t) {
  for (task_t* l : registry().live) {
    spin_scope held(l->lock);
    std::uint64_t const* seen = l->clock.find(t->id);
    if (seen == nullptr || *seen < t->step) return false;
  }
  return true;
}

// Drops the accesses of every ended thread that every live one follows.
void sweep() {
  std::vector<task_t*> done;
  {
    own_memory_scope own;
    vexa::lock_scope held(registry().lock);
    auto const kept = std::stable_partition(registry().finished.begin(), registry().finished.end(),
                                            [](task_t* t) { return !covered(t); });
    done.assign(kept, registry().finished.end());
    registry().finished.erase(kept, registry().finished.end());
  }
  for (task_t* t : done) end_for_good(t, false);  // outside the lock: it calls the library
}

void begin_task(task_t* t, void const* code) {
  exit_gate gate;
  if (!gate) return;
  state.task = reinterpret_cast<std::uintptr_t>(t);
  task_open = true;
  pthread_setspecific(task_key(), &key_value);
  _VEXA_enterTaskAs(t->id, code);
  if (race_view.load(std::memory_order_relaxed)) place(t);
}

void end_task(void const* code) {
  exit_gate gate;
  if (!gate || !task_open) return;
  task_open = false;
  pthread_setspecific(task_key(), nullptr);
  task_t* const t = current_task();
  bool const keep = race_view.load(std::memory_order_relaxed);
  if (keep) _VEXA_finishTaskAt(code);
  else _VEXA_leaveTaskAt(code);
  state.task = 0;
  {
    own_memory_scope own;
    vexa::lock_scope held(registry().lock);
    registry().live.erase(std::remove(registry().live.begin(), registry().live.end(), t), registry().live.end());
    t->finished = keep;
    if (keep) registry().finished.push_back(t);
  }
  if (keep) sweep();
  else unref(t);  // its own reference: nothing of it stays in the library
}

void end_task_at_exit(void*) { end_task(nullptr); }

struct start_t {
  void* (*routine)(void*);
  void* argument;
  void const* code;  // the pthread_create call
  task_t* task;
};

void* run_task(void* p) {
  start_t const start = *static_cast<start_t*>(p);
  std::free(p);
  begin_task(start.task, start.code);
  void* result = start.routine(start.argument);
  end_task(reinterpret_cast<void const*>(start.routine));
  return result;
}

// The calling thread's task in the race view. Creation and joins are
// followed whether or not the hooks are on (they cost little), so that
// turning them on later finds the threads ordered.
task_t* thread_task() { return race_view.load(std::memory_order_relaxed) ? current_task() : nullptr; }

task_t* take_joinable(pthread_t thread) {
  own_memory_scope own;
  vexa::lock_scope held(registry().lock);
  auto& j = registry().joinable;
  auto const it = std::find_if(j.begin(), j.end(), [thread](auto const& e) { return pthread_equal(e.first, thread); });
  if (it == j.end()) return nullptr;
  task_t* const t = it->second;
  *it = j.back();
  j.pop_back();
  return t;
}

// The calling thread joined `thread`.
void joined(pthread_t thread) {
  task_t* const t = take_joinable(thread);
  if (t == nullptr) return;
  task_t* const into = thread_task();
  // t's own thread wrote `finished`, its clock and its step before it
  // ended; the join orders all of that before this thread's reads.
  if (into != nullptr && t->finished) {
    merge_into(into, t->clock, t->id, t->step);
    bool absorb = false;
    if (!t->published) {  // no one else can be ordered after it: claim it from the list
      own_memory_scope own;
      vexa::lock_scope held(registry().lock);
      auto& f = registry().finished;
      auto const it = std::find(f.begin(), f.end(), t);
      if (it != f.end()) {
        f.erase(it);
        absorb = true;
      }
    }
    if (absorb) end_for_good(t, true);
    else sweep();
  }
  unref(t);
}

// The main thread's task is entered at the program's entry point, which
// lies in the program's own code, so a code filter of the debugger that
// admits the program admits its main task.
__attribute__((constructor)) void begin_main_task() {
  char const* view = std::getenv("VEXA_VIEW");
  bool const races = view == nullptr || std::strcmp(view, "sharing") != 0;
  race_view.store(races, std::memory_order_relaxed);
  if (races) _VEXA_orderTasksBy(ordered);
  auto* t = new task_t(reinterpret_cast<void const*>(getauxval(AT_ENTRY)), next_task_id());
  {
    vexa::lock_scope held(registry().lock);
    registry().live.push_back(t);
  }
  begin_task(t, t->code);
}

__attribute__((destructor)) void end_main_task() {
  exit_gate gate;
  if (!gate || !task_open) return;
  task_open = false;
  _VEXA_leaveTaskAt(reinterpret_cast<void const*>(getauxval(AT_ENTRY)));
  state.task = 0;
}

// In a child of fork() only the forking thread goes on; the library forgot
// the others' tasks, and a thread that will never run again must not keep
// anything from being dropped.
void forked_child() {
  task_t* const self = current_task();
  registry().live.assign(self != nullptr ? 1 : 0, self);
}

__attribute__((constructor)) void watch_fork() { pthread_atfork(nullptr, nullptr, forked_child); }

}  // namespace
}  // namespace vexa_bridge

using namespace vexa_bridge;

BRIDGE_EXPORT int pthread_create(pthread_t* thread, pthread_attr_t const* attributes, void* (*routine)(void*),
                                 void* argument) {
  create_t const create = next_definition(real_create, "pthread_create");
  auto* start = static_cast<start_t*>(std::malloc(sizeof(start_t)));
  if (start == nullptr) return EAGAIN;
  auto* t = new (std::nothrow) task_t(BRIDGE_RETURN_ADDRESS(), next_task_id());
  if (t == nullptr) {
    std::free(start);
    return EAGAIN;
  }
  *start = start_t{routine, argument, BRIDGE_RETURN_ADDRESS(), t};
  task_t* const parent = thread_task();
  if (parent != nullptr) {
    t->clock.merge(parent->clock, parent->id, parent->step);
    parent->published = true;
  }
  {
    own_memory_scope own;
    vexa::lock_scope held(registry().lock);
    registry().live.push_back(t);
  }
  int detached = PTHREAD_CREATE_JOINABLE;
  if (attributes != nullptr) pthread_attr_getdetachstate(attributes, &detached);
  bool const joinable = detached == PTHREAD_CREATE_JOINABLE;
  // The join's reference is taken before the thread runs: a thread that
  // ends at once drops its own, and t must outlive it until the join.
  if (joinable) ref(t);
  int const error = create(thread, attributes, run_task, start);
  if (error != 0) {
    {
      own_memory_scope own;
      vexa::lock_scope held(registry().lock);
      registry().live.erase(std::remove(registry().live.begin(), registry().live.end(), t), registry().live.end());
    }
    if (joinable) unref(t);
    unref(t);
    std::free(start);
    return error;
  }
  if (parent != nullptr) advance(parent);
  if (joinable) {
    own_memory_scope own;
    vexa::lock_scope held(registry().lock);
    registry().joinable.emplace_back(*thread, t);
  }
  return 0;
}

BRIDGE_EXPORT int pthread_join(pthread_t thread, void** result) {
  join_t const join = next_definition(real_join, "pthread_join");
  void const* code = BRIDGE_RETURN_ADDRESS();
  {
    exit_gate gate;
    if (gate) _VEXA_suspendTaskAt(code);
  }
  int const error = join(thread, result);
  exit_gate gate;
  if (gate) _VEXA_resumeTaskAt(code);
  if (error == 0 && gate) joined(thread);
  return error;
}

BRIDGE_EXPORT int pthread_tryjoin_np(pthread_t thread, void** result) {
  int const error = next_definition(real_tryjoin, "pthread_tryjoin_np")(thread, result);
  exit_gate gate;
  if (error == 0 && gate) joined(thread);
  return error;
}

BRIDGE_EXPORT int pthread_timedjoin_np(pthread_t thread, void** result, timespec const* until) {
  void const* code = BRIDGE_RETURN_ADDRESS();
  {
    exit_gate gate;
    if (gate) _VEXA_suspendTaskAt(code);
  }
  int const error = next_definition(real_timedjoin, "pthread_timedjoin_np")(thread, result, until);
  exit_gate gate;
  if (gate) _VEXA_resumeTaskAt(code);
  if (error == 0 && gate) joined(thread);
  return error;
}

BRIDGE_EXPORT int pthread_detach(pthread_t thread) {
  int const error = next_definition(real_detach, "pthread_detach")(thread);
  if (error == 0) unref(take_joinable(thread));
  return error;
}
