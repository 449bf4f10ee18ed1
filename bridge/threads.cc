// Threads as tasks, for programs without OpenMP: the main thread is a task
// from load to exit, and every thread the program creates is a task from
// its start routine's first instruction to its last (or pthread_exit).
// Waiting in pthread_join is a suspension of the waiting task.
//
// The program's pthread_create and pthread_join resolve to the definitions
// below (libvexa_threads.so comes before the C library in the program's
// search order), which call the C library's through dlsym(RTLD_NEXT).
// std::thread reaches them through the C++ library the same way.
#include <pthread.h>
#include <sys/auxv.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "bridge.h"
#include "exit_gate.h"

namespace vexa_bridge {
namespace {

using create_t = int (*)(pthread_t*, pthread_attr_t const*, void* (*)(void*), void*);
using join_t = int (*)(pthread_t, void**);

std::atomic<create_t> real_create{nullptr};
std::atomic<join_t> real_join{nullptr};

// A value in task_key makes its destructor end the task of a thread that
// leaves by pthread_exit or cancellation. The C library clears the value
// before it calls the destructor, so whether the task is still open is
// kept apart. The key is made on first use: a constructor of another
// library may start a thread before the bridge's constructors have run.
pthread_key_t task_key;
pthread_once_t task_key_made = PTHREAD_ONCE_INIT;
char key_value;
thread_local bool task_open __attribute__((tls_model("initial-exec")));

void end_task_at_exit(void*);
void make_task_key() { pthread_key_create(&task_key, end_task_at_exit); }

void begin_task(void const* code, std::uint64_t id) {
  exit_gate gate;
  if (!gate) return;
  // Any value unique to this thread tells its task apart; each thread runs
  // one task only.
  state.task = reinterpret_cast<std::uintptr_t>(&state);
  task_open = true;
  pthread_once(&task_key_made, make_task_key);
  pthread_setspecific(task_key, &key_value);
  _VEXA_enterTaskAs(id, code);
}

void end_task(void const* code) {
  exit_gate gate;
  if (!gate || !task_open) return;
  task_open = false;
  pthread_setspecific(task_key, nullptr);
  _VEXA_leaveTaskAt(code);
  state.task = 0;
}

void end_task_at_exit(void*) { end_task(nullptr); }

struct start_t {
  void* (*routine)(void*);
  void* argument;
  void const* code;  // the pthread_create call
  std::uint64_t id;  // the task's id: threads count in the order they were created
};

void* run_task(void* p) {
  start_t const start = *static_cast<start_t*>(p);
  std::free(p);
  begin_task(start.code, start.id);
  void* result = start.routine(start.argument);
  end_task(reinterpret_cast<void const*>(start.routine));
  return result;
}

// The main thread's task is entered at the program's entry point, which
// lies in the program's own code, so a code filter of the debugger that
// admits the program admits its main task.
__attribute__((constructor)) void begin_main_task() {
  char const* view = std::getenv("VEXA_VIEW");
  race_view.store(view == nullptr || std::strcmp(view, "sharing") != 0, std::memory_order_relaxed);
  begin_task(reinterpret_cast<void const*>(getauxval(AT_ENTRY)), next_task_id());
}

__attribute__((destructor)) void end_main_task() { end_task(reinterpret_cast<void const*>(getauxval(AT_ENTRY))); }

}  // namespace
}  // namespace vexa_bridge

using namespace vexa_bridge;

BRIDGE_EXPORT int pthread_create(pthread_t* thread, pthread_attr_t const* attributes, void* (*routine)(void*),
                                 void* argument) {
  create_t const create = next_definition(real_create, "pthread_create");
  auto* start = static_cast<start_t*>(std::malloc(sizeof(start_t)));
  if (start == nullptr) return EAGAIN;
  *start = start_t{routine, argument, BRIDGE_RETURN_ADDRESS(), next_task_id()};
  int const error = create(thread, attributes, run_task, start);
  if (error != 0) std::free(start);
  return error;
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
  return error;
}
