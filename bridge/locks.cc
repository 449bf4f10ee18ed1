// POSIX mutexes (and std::mutex, which is built on them) as locks of the
// race view: accesses made while holding a common mutex never race.
//
// The program's pthread_mutex_* calls resolve to these definitions (the
// bridge's libraries come before the C library in the program's search
// order), which forward to the C library's through dlsym(RTLD_NEXT). The
// task holds the mutex from a successful lock to the unlock; a wait on a
// condition variable leaves it held, since nothing the waiter does while it
// waits needs telling apart.
#include <pthread.h>

#include <atomic>
#include <ctime>

#include "bridge.h"

namespace vexa_bridge {

std::atomic<bool> race_view{false};

namespace {

using lock_t = int (*)(pthread_mutex_t*);
using timed_lock_t = int (*)(pthread_mutex_t*, timespec const*);

std::atomic<lock_t> real_lock{nullptr}, real_trylock{nullptr}, real_unlock{nullptr};
std::atomic<timed_lock_t> real_timedlock{nullptr};

inline bool tracked() { return race_view.load(std::memory_order_relaxed); }

}  // namespace
}  // namespace vexa_bridge

using namespace vexa_bridge;

BRIDGE_EXPORT int pthread_mutex_lock(pthread_mutex_t* mutex) {
  int const error = next_definition(real_lock, "pthread_mutex_lock")(mutex);
  if (error == 0 && tracked()) _VEXA_acquireLock(mutex);
  return error;
}

BRIDGE_EXPORT int pthread_mutex_trylock(pthread_mutex_t* mutex) {
  int const error = next_definition(real_trylock, "pthread_mutex_trylock")(mutex);
  if (error == 0 && tracked()) _VEXA_acquireLock(mutex);
  return error;
}

BRIDGE_EXPORT int pthread_mutex_timedlock(pthread_mutex_t* mutex, timespec const* until) {
  int const error = next_definition(real_timedlock, "pthread_mutex_timedlock")(mutex, until);
  if (error == 0 && tracked()) _VEXA_acquireLock(mutex);
  return error;
}

BRIDGE_EXPORT int pthread_mutex_unlock(pthread_mutex_t* mutex) {
  // Released before the unlock: the next owner's accesses may follow at once.
  if (tracked()) _VEXA_releaseLock(mutex);
  return next_definition(real_unlock, "pthread_mutex_unlock")(mutex);
}
