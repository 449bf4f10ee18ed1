// POSIX mutexes (and std::mutex, built on them), read-write locks
// (std::shared_mutex) and spin locks in the race view, in two ways at once:
//   - as locks: accesses made while holding a common mutex, spin lock or
//     write lock never race, whichever ran first;
//   - as order (sync_order.h): an unlock releases the object and a lock
//     acquires it, so what a thread did before it unlocked is ordered
//     before what the next owner does after it locked, as the native race
//     detector's happens-before has it. That is what makes data handed
//     over through a flag under a mutex (the condition-variable pattern)
//     ordered, and it follows the schedule: two accesses that no lock
//     covers, one before and one after critical sections of one mutex, are
//     ordered in the order those sections ran.
// A read lock is no lock at all for the first rule (two readers may both
// be there, so a "reader" that writes races with the other), and for the
// second it acquires what writers released and releases only to writers:
// readers are not ordered among themselves.
//
// A wait on a condition variable gives the mutex up and takes it back: the
// thread acquires the mutex again when the wait returns, so whatever the
// signalling thread did before it unlocked precedes what the waiter does
// next. As a lock the mutex stays held across the wait (nothing the waiter
// does while it waits needs telling apart).
//
// The program's calls resolve to these definitions (the bridge's libraries
// come before the C library in the program's search order), which forward
// to the C library's through dlsym(RTLD_NEXT).
#include <pthread.h>

#include <atomic>
#include <ctime>

#include "bridge.h"
#include "sync_order.h"

namespace vexa_bridge {

std::atomic<bool> race_view{false};

namespace {

using mutex_call_t = int (*)(pthread_mutex_t*);
using mutex_timed_t = int (*)(pthread_mutex_t*, timespec const*);
using rwlock_call_t = int (*)(pthread_rwlock_t*);
using rwlock_timed_t = int (*)(pthread_rwlock_t*, timespec const*);
using spin_call_t = int (*)(pthread_spinlock_t*);
using wait_t = int (*)(pthread_cond_t*, pthread_mutex_t*);
using timed_wait_t = int (*)(pthread_cond_t*, pthread_mutex_t*, timespec const*);
using clock_wait_t = int (*)(pthread_cond_t*, pthread_mutex_t*, clockid_t, timespec const*);

std::atomic<mutex_call_t> real_lock{nullptr}, real_trylock{nullptr}, real_unlock{nullptr};
std::atomic<mutex_timed_t> real_timedlock{nullptr};
std::atomic<rwlock_call_t> real_rdlock{nullptr}, real_tryrdlock{nullptr}, real_wrlock{nullptr},
    real_trywrlock{nullptr}, real_rwunlock{nullptr};
std::atomic<rwlock_timed_t> real_timedrdlock{nullptr}, real_timedwrlock{nullptr};
std::atomic<spin_call_t> real_spin_lock{nullptr}, real_spin_trylock{nullptr}, real_spin_unlock{nullptr};
std::atomic<wait_t> real_wait{nullptr};
std::atomic<timed_wait_t> real_timedwait{nullptr};
std::atomic<clock_wait_t> real_clockwait{nullptr};

// Followed in the race view, for the program's calls only (runtime_call());
// a macro, so that the return address is the exported function's.
#define TRACKED() (race_view.load(std::memory_order_relaxed) && !runtime_call(BRIDGE_RETURN_ADDRESS()))

void locked(void const* lock) {
  acquire(lock);
  _VEXA_acquireLock(lock);
}

void unlocking(void const* lock) {
  _VEXA_releaseLock(lock);
  release(lock);  // before the unlock: the next owner's accesses may follow at once
}

// What the readers of a read-write lock release, for its writers only: a
// name of its own, inside the lock object (no other object starts there).
void const* readers_of(pthread_rwlock_t const* rw) { return reinterpret_cast<char const*>(rw) + 1; }

// The read-write locks the calling thread holds for reading, so that the
// unlock, which does not say, knows which side it releases. Few at a time.
constexpr unsigned reads_capacity = 16;
thread_local pthread_rwlock_t const* reads[reads_capacity];
thread_local unsigned read_count, reads_lost;

void read_locked(pthread_rwlock_t const* rw) {
  acquire(rw);
  if (read_count < reads_capacity) reads[read_count++] = rw;
  else ++reads_lost;  // its unlock is then taken for a writer's: more order, never a lock set
}

void write_locked(pthread_rwlock_t const* rw) {
  acquire(rw);
  acquire(readers_of(rw));
  _VEXA_acquireLock(rw);
}

void rw_unlocking(pthread_rwlock_t const* rw) {
  for (unsigned i = read_count; i-- > 0;) {
    if (reads[i] != rw) continue;
    reads[i] = reads[--read_count];
    release(readers_of(rw));
    return;
  }
  if (reads_lost != 0) {
    --reads_lost;
    release(rw);
    return;
  }
  unlocking(rw);
}

// A spin lock is a volatile int: its name is the same address, not volatile.
void const* spin_name(pthread_spinlock_t const* lock) { return const_cast<int const*>(lock); }

}  // namespace
}  // namespace vexa_bridge

using namespace vexa_bridge;

BRIDGE_EXPORT int pthread_mutex_lock(pthread_mutex_t* mutex) {
  int const error = next_definition(real_lock, "pthread_mutex_lock")(mutex);
  if (error == 0 && TRACKED()) locked(mutex);
  return error;
}

BRIDGE_EXPORT int pthread_mutex_trylock(pthread_mutex_t* mutex) {
  int const error = next_definition(real_trylock, "pthread_mutex_trylock")(mutex);
  if (error == 0 && TRACKED()) locked(mutex);
  return error;
}

BRIDGE_EXPORT int pthread_mutex_timedlock(pthread_mutex_t* mutex, timespec const* until) {
  int const error = next_definition(real_timedlock, "pthread_mutex_timedlock")(mutex, until);
  if (error == 0 && TRACKED()) locked(mutex);
  return error;
}

BRIDGE_EXPORT int pthread_mutex_unlock(pthread_mutex_t* mutex) {
  if (TRACKED()) unlocking(mutex);
  return next_definition(real_unlock, "pthread_mutex_unlock")(mutex);
}

// The waits return holding the mutex, also when they time out.
BRIDGE_EXPORT int pthread_cond_wait(pthread_cond_t* cond, pthread_mutex_t* mutex) {
  if (TRACKED()) release(mutex);
  int const error = next_definition(real_wait, "pthread_cond_wait")(cond, mutex);
  if (TRACKED()) acquire(mutex);
  return error;
}

BRIDGE_EXPORT int pthread_cond_timedwait(pthread_cond_t* cond, pthread_mutex_t* mutex, timespec const* until) {
  if (TRACKED()) release(mutex);
  int const error = next_definition(real_timedwait, "pthread_cond_timedwait")(cond, mutex, until);
  if (TRACKED()) acquire(mutex);
  return error;
}

BRIDGE_EXPORT int pthread_cond_clockwait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
                                         timespec const* until) {
  if (TRACKED()) release(mutex);
  int const error = next_definition(real_clockwait, "pthread_cond_clockwait")(cond, mutex, clock, until);
  if (TRACKED()) acquire(mutex);
  return error;
}

BRIDGE_EXPORT int pthread_rwlock_rdlock(pthread_rwlock_t* rw) {
  int const error = next_definition(real_rdlock, "pthread_rwlock_rdlock")(rw);
  if (error == 0 && TRACKED()) read_locked(rw);
  return error;
}

BRIDGE_EXPORT int pthread_rwlock_tryrdlock(pthread_rwlock_t* rw) {
  int const error = next_definition(real_tryrdlock, "pthread_rwlock_tryrdlock")(rw);
  if (error == 0 && TRACKED()) read_locked(rw);
  return error;
}

BRIDGE_EXPORT int pthread_rwlock_timedrdlock(pthread_rwlock_t* rw, timespec const* until) {
  int const error = next_definition(real_timedrdlock, "pthread_rwlock_timedrdlock")(rw, until);
  if (error == 0 && TRACKED()) read_locked(rw);
  return error;
}

BRIDGE_EXPORT int pthread_rwlock_wrlock(pthread_rwlock_t* rw) {
  int const error = next_definition(real_wrlock, "pthread_rwlock_wrlock")(rw);
  if (error == 0 && TRACKED()) write_locked(rw);
  return error;
}

BRIDGE_EXPORT int pthread_rwlock_trywrlock(pthread_rwlock_t* rw) {
  int const error = next_definition(real_trywrlock, "pthread_rwlock_trywrlock")(rw);
  if (error == 0 && TRACKED()) write_locked(rw);
  return error;
}

BRIDGE_EXPORT int pthread_rwlock_timedwrlock(pthread_rwlock_t* rw, timespec const* until) {
  int const error = next_definition(real_timedwrlock, "pthread_rwlock_timedwrlock")(rw, until);
  if (error == 0 && TRACKED()) write_locked(rw);
  return error;
}

BRIDGE_EXPORT int pthread_rwlock_unlock(pthread_rwlock_t* rw) {
  if (TRACKED()) rw_unlocking(rw);
  return next_definition(real_rwunlock, "pthread_rwlock_unlock")(rw);
}

BRIDGE_EXPORT int pthread_spin_lock(pthread_spinlock_t* lock) {
  int const error = next_definition(real_spin_lock, "pthread_spin_lock")(lock);
  if (error == 0 && TRACKED()) locked(spin_name(lock));
  return error;
}

BRIDGE_EXPORT int pthread_spin_trylock(pthread_spinlock_t* lock) {
  int const error = next_definition(real_spin_trylock, "pthread_spin_trylock")(lock);
  if (error == 0 && TRACKED()) locked(spin_name(lock));
  return error;
}

BRIDGE_EXPORT int pthread_spin_unlock(pthread_spinlock_t* lock) {
  if (TRACKED()) unlocking(spin_name(lock));
  return next_definition(real_spin_unlock, "pthread_spin_unlock")(lock);
}
