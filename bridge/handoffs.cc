// Semaphores, barriers and pthread_once in the race view: the ways threads
// hand data over besides locks (locks.cc) and atomics (atomics.cc), each as
// order between a release and an acquire of the object (sync_order.h):
//   sem_post releases the semaphore, a successful wait acquires it;
//   pthread_barrier_wait releases the barrier on arrival and acquires it
//     on departure, so every thread leaves after what every thread did
//     before it arrived;
//   the routine of pthread_once releases the control when it returns, and
//     every caller acquires it when its call returns (std::call_once is
//     built on it).
// The program's calls resolve to these definitions, which forward to the C
// library's through dlsym(RTLD_NEXT).
#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <ctime>

#include "bridge.h"
#include "sync_order.h"

namespace vexa_bridge {
namespace {

using sem_call_t = int (*)(sem_t*);
using sem_timed_t = int (*)(sem_t*, timespec const*);
using sem_clock_t = int (*)(sem_t*, clockid_t, timespec const*);
using barrier_wait_t = int (*)(pthread_barrier_t*);
using once_t = int (*)(pthread_once_t*, void (*)());

std::atomic<sem_call_t> real_post{nullptr}, real_wait{nullptr}, real_trywait{nullptr};
std::atomic<sem_timed_t> real_timedwait{nullptr};
std::atomic<sem_clock_t> real_clockwait{nullptr};
std::atomic<barrier_wait_t> real_barrier_wait{nullptr};
std::atomic<once_t> real_once{nullptr};

// Followed in the race view, for the program's calls only (runtime_call());
// a macro, so that the return address is the exported function's.
#define TRACKED() (race_view.load(std::memory_order_relaxed) && !runtime_call(BRIDGE_RETURN_ADDRESS()))

// A barrier's rounds alternate between two names (the object and the byte
// after it): a thread that leaves round k late must not acquire what a fast
// one released on arriving at round k + 1, which it has not reached. Round
// k + 2 cannot begin before this thread arrived at k + 1, after it left k.
// Each thread counts the rounds it passed of each barrier it uses.
constexpr unsigned barriers_capacity = 8;
struct rounds_t {
  pthread_barrier_t const* barrier;
  unsigned long passed;
};
thread_local rounds_t rounds[barriers_capacity];
thread_local unsigned rounds_used;

void const* barrier_round(pthread_barrier_t const* b) {
  rounds_t* r = nullptr;
  for (unsigned i = 0; i < rounds_used; ++i)
    if (rounds[i].barrier == b) r = &rounds[i];
  if (r == nullptr) {  // the least recently made entry makes room
    if (rounds_used < barriers_capacity) ++rounds_used;
    else for (unsigned i = 1; i < barriers_capacity; ++i) rounds[i - 1] = rounds[i];
    r = &rounds[rounds_used - 1];
    *r = {b, 0};
  }
  return reinterpret_cast<char const*>(b) + (r->passed++ & 1);
}

// The routine of the pthread_once call in progress on this thread and its
// control, for the trampoline that runs it; a routine may itself call
// pthread_once, so each call keeps the values it replaced.
thread_local void (*once_routine)();
thread_local pthread_once_t* once_control;

void run_once() {
  void (*const routine)() = once_routine;
  pthread_once_t* const control = once_control;
  routine();
  release(control);
}

}  // namespace
}  // namespace vexa_bridge

using namespace vexa_bridge;

BRIDGE_EXPORT int sem_post(sem_t* sem) {
  if (TRACKED()) release(sem);
  return next_definition(real_post, "sem_post")(sem);
}

BRIDGE_EXPORT int sem_wait(sem_t* sem) {
  int const result = next_definition(real_wait, "sem_wait")(sem);
  if (result == 0 && TRACKED()) acquire(sem);
  return result;
}

BRIDGE_EXPORT int sem_trywait(sem_t* sem) {
  int const result = next_definition(real_trywait, "sem_trywait")(sem);
  if (result == 0 && TRACKED()) acquire(sem);
  return result;
}

BRIDGE_EXPORT int sem_timedwait(sem_t* sem, timespec const* until) {
  int const result = next_definition(real_timedwait, "sem_timedwait")(sem, until);
  if (result == 0 && TRACKED()) acquire(sem);
  return result;
}

BRIDGE_EXPORT int sem_clockwait(sem_t* sem, clockid_t clock, timespec const* until) {
  int const result = next_definition(real_clockwait, "sem_clockwait")(sem, clock, until);
  if (result == 0 && TRACKED()) acquire(sem);
  return result;
}

BRIDGE_EXPORT int pthread_barrier_wait(pthread_barrier_t* barrier) {
  if (!TRACKED()) return next_definition(real_barrier_wait, "pthread_barrier_wait")(barrier);
  void const* const round = barrier_round(barrier);
  release(round);
  int const result = next_definition(real_barrier_wait, "pthread_barrier_wait")(barrier);
  if (result == 0 || result == PTHREAD_BARRIER_SERIAL_THREAD) acquire(round);
  return result;
}

BRIDGE_EXPORT int pthread_once(pthread_once_t* control, void (*routine)()) {
  once_t const once = next_definition(real_once, "pthread_once");
  if (!TRACKED()) return once(control, routine);
  void (*const outer_routine)() = once_routine;
  pthread_once_t* const outer_control = once_control;
  once_routine = routine;
  once_control = control;
  int const error = once(control, run_once);
  once_routine = outer_routine;
  once_control = outer_control;
  if (error == 0) acquire(control);
  return error;
}
