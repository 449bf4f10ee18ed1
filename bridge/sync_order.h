// Order carried by synchronisation objects (race view): what one task did
// before it released an object (unlocked a mutex, posted a semaphore,
// arrived at a barrier, stored with release order) is ordered before what
// another task does after it acquired the same object (locked the mutex,
// waited for the semaphore, left the barrier, loaded that value with
// acquire order). Each object keeps a vector clock (task_order.h): a
// release merges the releasing task's clock and its step into it, and the
// task's step then rises; an acquire merges the object's clock into the
// task's. This is the happens-before of the native race detector, and it
// follows the schedule: a mutex orders its critical sections in the order
// they ran.
//
// Objects are named by address and kept in a table sharded by page, so
// that freeing memory (heap.cc) drops the objects that lived in it and a
// program that makes 100,000 mutexes over time keeps the table at what is
// alive.
//
// Thread safety: an object's clock is read and written under its shard's
// lock. A task's clock is written by its own thread only, under the task's
// `lock` (thread tasks' clocks are read by other threads, see threads.cc),
// and read by its own thread without it.
#ifndef VEXA_BRIDGE_SYNC_ORDER_H
#define VEXA_BRIDGE_SYNC_ORDER_H

#include "task_order.h"

namespace vexa_bridge {

// The calling thread's task when the race view follows its order, or null.
task_t* ordered_task();

// The calling thread's task releases `object`: its order so far goes with
// the object, and its step rises.
void release(void const* object);
// The calling thread's task acquires `object`: it is ordered after every
// release of the object so far.
void acquire(void const* object);

// An operation on an atomic object that may release or acquire it, done
// while the scope holds the object's lock, so that the clock the object
// carries is exactly the one that goes with the value the operation stored
// or found. Whether it released is told after the operation (a
// compare-exchange that fails only loads).
class atomic_sync_scope {
 public:
  // A relaxed store (stores) or load (loads) is done in a scope too when
  // fences need it (fenced_stores(), fenced_loads()).
  atomic_sync_scope(void const volatile* object, bool releases, bool acquires, bool stores = false,
                    bool loads = false);
  ~atomic_sync_scope();
  void released(bool r) { releases_ = r; }
  atomic_sync_scope(atomic_sync_scope const&) = delete;
  atomic_sync_scope& operator=(atomic_sync_scope const&) = delete;

 private:
  task_t* task_;
  struct shard_t* shard_ = nullptr;
  void const* object_;
  bool releases_, acquires_;
  bool fence_release_, collect_;  // for the fences around a relaxed operation
};

// Fences. A release fence makes the relaxed stores (and read-modify-writes)
// that follow it release what the thread did before the fence; an acquire
// fence makes the thread acquire what the relaxed loads before it found.
// Relaxed loads collect the clocks they found whenever the table holds an
// object (a program without releases pays nothing for them).
void fence(bool releases, bool acquires);
// Whether relaxed operations need to be told (the thread passed a release
// fence; the table holds an object). The count is read relaxed: a load
// that races with the first release anywhere may miss what it carries.
bool fenced_stores();
bool fenced_loads();

// Drops the objects that lie in [begin, end): memory freed.
void forget_sync(void const* begin, void const* end);

// OpenMP locks and critical sections are lock sets, not order: which task
// takes one first is the schedule's choice. One hand-over is not: when a
// task took a lock before a point that another task's request for it is
// ordered after (it held the lock across a barrier, a taskwait, a task's
// creation), the other cannot have the lock before the holder lets it go,
// in any schedule. So each lock remembers its holder's step when it took
// it and, if that step rose before it let go (otherwise nothing ordered
// after the taking can precede the letting go), the holder's clock then;
// the next owner takes that clock when it is ordered after the taking.
// `name` is the lock's name in the lock sets. Calls for one lock pair up
// per owner: the runtime tells of a release only after it let the lock go,
// so a new owner may have to wait for the last one's call.
void lock_taken(void const* name);
void lock_let_go(void const* name);
void lock_destroyed(void const* name);

// Merges `from` into t's clock, under t's lock (t: the calling thread's task).
void merge_into(task_t* t, vector_clock_t const& from, std::uint64_t id = 0, std::uint64_t step = 0);

}  // namespace vexa_bridge

#endif  // VEXA_BRIDGE_SYNC_ORDER_H
