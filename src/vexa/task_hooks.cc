// _VEXA_enterTask, _VEXA_leaveTask, _VEXA_suspendTask, _VEXA_resumeTask:
// task records, handles and the thread model.
#include <atomic>
#include <new>

#include "../tsm/lockset.h"
#include "diagnostics.h"
#include "hook_frame.h"

namespace vexa {
namespace {

void trace(char const* verb, void const* code, unsigned short handle, thread_model_t::threadid_t const& id) {
  lock_scope held(vexa.lock);
  print_task_trace(verb, code, handle, id);
}

void trace(char const* verb, void const* code, unsigned short handle) {
  lock_scope held(vexa.lock);
  print_task_trace(verb, code, handle, vexa.identity_of(handle));
}

// An entry that failed leaves the thread's current task as it was: the
// task it would have interrupted goes on, and the program's leave of the
// failed one (which comes first) is told apart by the count.
void entry_failed(thread_info_t& self) {
  if (self.record != nullptr) ++self.record->failed_inside;
}

[[gnu::noinline]] void enter_task(void const* ret, std::uint64_t task_id = 0) {
  hook_scope_t const scope; if (scope.nested()) return;
  thread_info_t& self = current;
  task_record_t* record;
  try {
    record = new task_record_t;
  } catch (std::bad_alloc const&) {
    raise_event(VEXA_ERROR_OUT_OF_MEMORY);
    entry_failed(self);
    return;
  }
  record->parent = self.record;
  record->task_id = task_id;

  unsigned short handle;
  try {
    lock_scope held(vexa.lock);
    handle = vexa.threads.first_free();
    // The steps that can fail come first, so that a thread model that
    // cannot grow leaves the count and the guard as they were.
    if (handle != 0) {
      thread_model_t::threadid_t const identity{task_id, self_identity().thread};
      vexa.tsm.name(handle, identity);
      vexa.threads[handle] = identity;
      // A refused entry counts no task: it would keep the memory hooks on
      // for good, since no leave ever takes it back.
      vexa.live_tasks.store(vexa.live_tasks.load(std::memory_order_relaxed) + 1,
                            std::memory_order_relaxed);  // writers hold the lock; see runtime.h
    }
    record->handle = handle;
    // A locked read-modify-write only when the bit is clear: with other
    // tasks live it is set already, and the swap took a quarter of an entry.
    // Only the last leave clears it, under this lock; a debugger that clears
    // it meanwhile sees the same as if it had come just after the swap.
    if (enabled(VEXA_ENABLE_TSM) && (load_word(__VEXA_isGuardedCall) & VEXA_GUARD_MEMORY) == 0)
      set_bits(__VEXA_isGuardedCall, VEXA_GUARD_MEMORY);
  } catch (...) {
    delete record;
    entry_failed(self);
    throw;
  }

  if (handle == 0) {
    raise_event(VEXA_ERROR_TASK_HANDLE_OVERFLOW);
    delete record;
    entry_failed(self);
    return;
  }
  self.record = record;
  ++self.era;
  vexa.tsm.place(handle, nullptr);  // a handle given out again is nowhere until placed
  if (enabled(VEXA_ENABLE_TSM)) {
    self.code = ret;
    vexa.tsm.enter(handle, ret);
  }
  if (logging_level & log_trace) trace("enters", ret, handle);
}

// Finished tasks keep their handles up to this many handles held.
constexpr std::uint32_t handles_kept_at_most = 32768;

// Takes a handle out of the thread model: its identity goes, and with the
// last live task the memory hooks switch themselves off.
thread_model_t::threadid_t retire(unsigned short handle) {
  lock_scope held(vexa.lock);
  VEXA_CHECK(handle != 0);
  thread_model_t::threadid_t const identity = vexa.identity_of(handle);
  vexa.tsm.name(handle, {0, 0});
  vexa.threads.erase(handle);
  std::uint32_t const live = vexa.live_tasks.load(std::memory_order_relaxed);
  if (live == 0) {
    vexa.notify_debugger(VEXA_ERROR_TASK_NESTING);
    clear_bits(__VEXA_isGuardedCall, VEXA_GUARD_MEMORY);
  } else {
    vexa.live_tasks.store(live - 1, std::memory_order_relaxed);
    if (live == 1) clear_bits(__VEXA_isGuardedCall, VEXA_GUARD_MEMORY);
  }
  return identity;
}

// Ends the thread's current task. A finishing task with an id keeps its
// accesses and its handle until it is absorbed or released; any other task
// leaves them.
void end_task(void const* ret, bool keep) {
  thread_info_t& self = current;
  task_record_t* record = self.record;
  if (record == nullptr) {
    raise_event(VEXA_ERROR_TASK_NESTING);
    return;
  }
  if (record->failed_inside != 0) {
    // The leave of an entry that failed: there is no task to leave, as
    // without a current one, but the task it would have interrupted stays.
    --record->failed_inside;
    raise_event(VEXA_ERROR_TASK_NESTING);
    return;
  }
  self.code = ret;
  unsigned short const handle = record->handle;
  if (keep && record->task_id != 0) {
    // A finished task keeps its handle while handles are plenty: most are
    // absorbed at the next join, and moving their accesses to a key first
    // would cost a second pass over everything they touched. Once half the
    // handles are held, finished tasks give theirs back, so that a program
    // may leave any number unjoined: the accesses move to a key before the
    // finished_lock publishes the record. With the detector off the handle
    // keeps them, as a leave's would.
    // Unlocked read; pairs with nothing: a stale count only moves the
    // point where tasks start to give their handles back.
    if (enabled(VEXA_ENABLE_TSM) && vexa.live_tasks.load(std::memory_order_relaxed) >= handles_kept_at_most)
      record->key = vexa.tsm.set_aside(handle);
    {
      lock_scope held(vexa.finished_lock);
      keep = vexa.finished.insert(record->task_id, record);  // an id in use: left instead
    }
    if (!keep && record->key != 0) {
      vexa.tsm.discard(record->key);
      record->key = 0;
    }
  } else {
    keep = false;
  }
  if (!keep && enabled(VEXA_ENABLE_TSM)) vexa.tsm.leave(handle, ret);
  if (enabled(VEXA_ENABLE_RE)) vexa.re.leave(handle);

  self.record = record->parent;
  ++self.era;
  if (keep) {
    record->parent = nullptr;
    bool const set_aside = record->key != 0;
    if (logging_level & log_trace) trace("finishes", ret, handle);
    if (set_aside) retire(handle);
    return;
  }
  thread_model_t::threadid_t const identity = retire(handle);
  if (logging_level & log_trace) trace("leaves", ret, handle, identity);
  delete record;
}

[[gnu::noinline]] void leave_task(void const* ret) {
  hook_scope_t const scope; if (scope.nested()) return;
  end_task(ret, false);
}

[[gnu::noinline]] void finish_task(void const* ret) {
  hook_scope_t const scope; if (scope.nested()) return;
  end_task(ret, true);
}

// Ends a finished task for good: the calling thread's task takes over its
// accesses (absorb), or they are dropped.
[[gnu::noinline]] void release_task(std::uint64_t task_id, bool absorb, void const* ret) {
  hook_scope_t const scope; if (scope.nested()) return;
  task_record_t* record;
  {
    lock_scope held(vexa.finished_lock);
    record = vexa.finished.take(task_id);
  }
  char const* const hook = absorb ? "_VEXA_absorbTask" : "_VEXA_releaseTask";
  if (record == nullptr) {
    raise_error(VEXA_ERROR_INVALID_PARAMETER, {hook, {task_id, 0}, 1, false, "no finished task has this id"});
    return;
  }
  unsigned short const handle = record->handle;
  task_record_t const* into = current.record;
  // Nothing to absorb into: the accesses go as a release's would, but not
  // without a word, since the program meant to keep them.
  if (absorb && into == nullptr)
    raise_error(VEXA_ERROR_TASK_NESTING,
                {hook, {task_id, 0}, 1, false, "no current task to absorb into; its accesses are dropped"});
  if (record->key != 0) {
    // Its handle went back when it finished. A key has no next owner to
    // drop its accesses, so they go even with the detector off.
    thread_model_t::threadid_t const identity = vexa.tsm.name_of(record->key);
    if (absorb && into != nullptr && enabled(VEXA_ENABLE_TSM)) vexa.tsm.absorb(record->key, into->handle, into->step);
    else vexa.tsm.discard(record->key);
    if (logging_level & log_trace) trace(absorb ? "is absorbed" : "is released", ret, handle, identity);
    delete record;
    return;
  }
  if (enabled(VEXA_ENABLE_TSM)) {
    if (absorb && into != nullptr) vexa.tsm.absorb(handle, into->handle, into->step);
    else vexa.tsm.discard(handle);
  }
  thread_model_t::threadid_t const identity = retire(handle);
  if (logging_level & log_trace) trace(absorb ? "is absorbed" : "is released", ret, handle, identity);
  delete record;
}

void place_task(void const* place, std::uint64_t step) {
  hook_scope_t const scope; if (scope.nested()) return;
  task_record_t* record = current.record;
  if (record == nullptr) return;
  record->step = step;
  vexa.tsm.place(record->handle, place);
}

}  // namespace

namespace {

void acquire_lock(void const* lock) {
  task_record_t* record = current.record;
  if (record == nullptr) return;
  // Not held before: the set grows (without memory for a new set it stays,
  // and the lock counts as taken again, so its release keeps them even).
  std::uint32_t const grown = lockset::with(record->locks, lock);
  if (grown != record->locks) {
    record->locks = grown;
    return;
  }
  for (unsigned i = 0; i < record->held_count; ++i) {
    if (record->held[i].lock == lock) {
      ++record->held[i].depth;
      return;
    }
  }
  if (record->held_count == task_record_t::max_locks) {
    ++record->overflow;
    return;
  }
  record->held[record->held_count++] = {lock, 1};
}

void release_lock(void const* lock) {
  task_record_t* record = current.record;
  if (record == nullptr) return;
  for (unsigned i = 0; i < record->held_count; ++i) {
    if (record->held[i].lock != lock) continue;
    if (--record->held[i].depth == 0) record->held[i] = record->held[--record->held_count];
    return;
  }
  if (lockset::holds(record->locks, lock)) {
    if (record->overflow != 0) {
      --record->overflow;  // a re-acquisition beyond max_locks, which are not told apart
      return;
    }
    record->locks = lockset::without(record->locks, lock);
    return;
  }
  hook_scope_t const scope;
  if (scope.nested()) return;
  raise_error(VEXA_ERROR_INVALID_PARAMETER,
              {"_VEXA_releaseLock", {to_address(lock), 0}, 1, true, "the current task does not hold this lock"});
}

[[gnu::noinline]] void suspend_task(void const* ret) {
  hook_scope_t const scope; if (scope.nested()) return;
  task_record_t* record = current.record;
  check_task_id(record);
  if (record == nullptr) return;
  if (record->suspend_depth++ != 0) return;  // only the outermost suspension acts
  if (enabled(VEXA_ENABLE_TSM | VEXA_ENABLE_SUSPEND_MARKING)) {
    current.code = ret;
    record->flags |= task_record_t::flag_suspended;
  }
  if (logging_level & log_trace) trace("suspends", ret, record->handle);
}

[[gnu::noinline]] void resume_task(void const* ret) {
  hook_scope_t const scope; if (scope.nested()) return;
  task_record_t* record = current.record;
  check_task_id(record);
  if (record == nullptr) return;
  if (--record->suspend_depth != 0) return;  // only the closing resumption acts
  if (enabled(VEXA_ENABLE_TSM | VEXA_ENABLE_SUSPEND_MARKING)) {
    current.code = ret;
    record->flags &= ~task_record_t::flag_suspended;
  }
  if (logging_level & log_trace) trace("resumes", ret, record->handle);
}

}  // namespace
}  // namespace vexa

using namespace vexa;

VEXA_EXPORT void _VEXA_enterTask(void) {
  poll_configuration();
  if (VEXA_LIKELY(!guarded(VEXA_GUARD_TASK))) return;
  enter_task(VEXA_RETURN_ADDRESS());
}

VEXA_EXPORT void _VEXA_leaveTask(void) {
  poll_configuration();
  if (VEXA_LIKELY(!guarded(VEXA_GUARD_TASK))) return;
  leave_task(VEXA_RETURN_ADDRESS());
}

VEXA_EXPORT void _VEXA_suspendTask(void) {
  poll_configuration();
  if (VEXA_LIKELY(!guarded(VEXA_GUARD_TASK))) return;
  suspend_task(VEXA_RETURN_ADDRESS());
}

VEXA_EXPORT void _VEXA_resumeTask(void) {
  poll_configuration();
  if (VEXA_LIKELY(!guarded(VEXA_GUARD_TASK))) return;
  resume_task(VEXA_RETURN_ADDRESS());
}

VEXA_EXPORT void _VEXA_enterTaskAt(void const* code) {
  poll_configuration();
  if (VEXA_LIKELY(!guarded(VEXA_GUARD_TASK))) return;
  enter_task(code);
}

VEXA_EXPORT void _VEXA_enterTaskAs(std::uint64_t task_id, void const* code) {
  poll_configuration();
  if (VEXA_LIKELY(!guarded(VEXA_GUARD_TASK))) return;
  enter_task(code, task_id);
}

VEXA_EXPORT void _VEXA_leaveTaskAt(void const* code) {
  poll_configuration();
  if (VEXA_LIKELY(!guarded(VEXA_GUARD_TASK))) return;
  leave_task(code);
}

VEXA_EXPORT void _VEXA_suspendTaskAt(void const* code) {
  poll_configuration();
  if (VEXA_LIKELY(!guarded(VEXA_GUARD_TASK))) return;
  suspend_task(code);
}

VEXA_EXPORT void _VEXA_resumeTaskAt(void const* code) {
  poll_configuration();
  if (VEXA_LIKELY(!guarded(VEXA_GUARD_TASK))) return;
  resume_task(code);
}

VEXA_EXPORT void _VEXA_finishTaskAt(void const* code) {
  poll_configuration();
  if (VEXA_LIKELY(!guarded(VEXA_GUARD_TASK))) return;
  finish_task(code);
}

VEXA_EXPORT void _VEXA_absorbTask(std::uint64_t task_id) {
  poll_configuration();
  if (VEXA_LIKELY(!guarded(VEXA_GUARD_TASK))) return;
  release_task(task_id, true, VEXA_RETURN_ADDRESS());
}

VEXA_EXPORT void _VEXA_releaseTask(std::uint64_t task_id) {
  poll_configuration();
  if (VEXA_LIKELY(!guarded(VEXA_GUARD_TASK))) return;
  release_task(task_id, false, VEXA_RETURN_ADDRESS());
}

VEXA_EXPORT void _VEXA_placeTask(void const* place, std::uint64_t step) {
  poll_configuration();
  if (VEXA_LIKELY(!guarded(VEXA_GUARD_TASK))) return;
  place_task(place, step);
}

// A registration, not an event: it holds whatever the guard word says.
VEXA_EXPORT void _VEXA_orderTasksBy(vexa_order_t ordered) { vexa::vexa.tsm.order_by(ordered); }

VEXA_EXPORT void _VEXA_acquireLock(void const* lock) {
  poll_configuration();
  if (VEXA_LIKELY(!guarded(VEXA_GUARD_TASK))) return;
  acquire_lock(lock);
}

VEXA_EXPORT void _VEXA_releaseLock(void const* lock) {
  poll_configuration();
  if (VEXA_LIKELY(!guarded(VEXA_GUARD_TASK))) return;
  release_lock(lock);
}
