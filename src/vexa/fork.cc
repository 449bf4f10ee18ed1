// fork() while other threads run hooks. The child has only the thread that
// forked, so any lock another thread held at that moment would stay held
// there for ever. The prepare handler takes every lock there is, the
// library's and the bridge's, from the registries (lock.h) in rank order
// (the access logs' through the detector's pools, in their rank's turn),
// which waits for every other thread to leave its locked section and keeps
// them out until the copy is made; the parent and the child then release
// them. The child also forgets the tasks of the threads it does not have.
#include <pthread.h>

#include "hook_frame.h"

// The bridge's registry, when a bridge is loaded with the library: a weak
// reference, so that the library loads without one. Not part of the
// library's interface (the bridge defines it; the library only looks).
extern "C" __attribute__((weak, visibility("default"))) vexa::lock_registry_t* __vexa_bridge_locks;

namespace vexa {
namespace {

// Set by prepare when the forking thread is itself inside a hook (a signal
// handler's fork): it may hold one of the locks, so none is taken, and the
// child gets whatever state there is. Read by the two handlers that follow
// on the same thread.
bool forked_inside_hook = false;

lock_registry_t* bridge_registry() {
  return &__vexa_bridge_locks == nullptr ? nullptr : __vexa_bridge_locks;
}

void prepare() {
  forked_inside_hook = current.in_hook;
  if (forked_inside_hook) return;
  lock_registry_t* const bridge = bridge_registry();
  for (unsigned r = 0; r < static_cast<unsigned>(lock_rank::count); ++r) {
    lock_registry.take_rank(static_cast<lock_rank>(r));
    // The logs' locks are too many to list: the detector's pools know them.
    if (static_cast<lock_rank>(r) == lock_rank::access_log) vexa.tsm.take_logs_for_fork();
    if (bridge != nullptr) bridge->take_rank(static_cast<lock_rank>(r));
  }
}

void release() {
  lock_registry_t* const bridge = bridge_registry();
  for (unsigned r = static_cast<unsigned>(lock_rank::count); r-- > 0;) {
    if (bridge != nullptr) bridge->release_rank(static_cast<lock_rank>(r));
    if (static_cast<lock_rank>(r) == lock_rank::access_log) vexa.tsm.release_logs_after_fork();
    lock_registry.release_rank(static_cast<lock_rank>(r));
  }
}

void parent() {
  if (!forked_inside_hook) release();
}

// Only the forking thread's tasks go on running; the others' handles are
// released and the detectors drop what they hold for them, as if those
// tasks had left. Their records stay allocated: nothing points to them.
void child() {
  if (forked_inside_hook) return;
  release();
  vexa.tsm.drop_reservations();
  unsigned long const self = self_identity().thread;
  std::uint32_t gone = 0;
  for (auto it = vexa.threads.begin(); it != vexa.threads.end();) {
    if (it->second.thread == self) {
      ++it;
      continue;
    }
    unsigned short const handle = it->first;
    it = vexa.threads.erase(it);
    vexa.tsm.name(handle, {0, 0});
    vexa.tsm.discard(handle);
    vexa.re.leave(handle);
    ++gone;
  }
  // The child runs one thread: plain updates are enough here.
  std::uint32_t const live = vexa.live_tasks.load(std::memory_order_relaxed);
  vexa.live_tasks.store(live > gone ? live - gone : 0, std::memory_order_relaxed);
  if (live <= gone) clear_bits(__VEXA_isGuardedCall, VEXA_GUARD_MEMORY);
}

}  // namespace

void install_fork_handlers() {
  arena_pool_t::get();  // made now: prepare() must not allocate
  pthread_atfork(&prepare, &parent, &child);
}

}  // namespace vexa
