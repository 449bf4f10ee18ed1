#include "hook_frame.h"

#include <pthread.h>

#include "diagnostics.h"

namespace vexa {

void serve_pending() {
  hook_scope_t const scope; if (scope.nested()) return;
  lock_scope held(vexa.lock);
  // Look again: another thread may have served it while we waited. Acquire
  // pairs with a debugger thread inside the process (the test suite's) that
  // wrote the records and count before it posted the bits; a ptrace
  // debugger stops the whole process and needs no ordering.
  if (__atomic_load_n(&__vexa_config[VEXA_CONFIG_PENDING], __ATOMIC_ACQUIRE) != 0)
    vexa.notify_debugger(vexa.configure());
}

thread_model_t::threadid_t self_identity() { return {0, static_cast<unsigned long>(pthread_self())}; }

void check_task_id_slow(task_record_t const* record) {
  thread_model_t::threadid_t const self = self_identity();
  lock_scope held(vexa.lock);
  if (record == nullptr) {
    print_no_task_id(self);
    return;
  }
  thread_model_t::threadid_t const recorded = vexa.identity_of(record->handle);
  // The task id is the one its caller gave (_VEXA_enterTaskAs), not the
  // thread's: only the thread can differ.
  thread_model_t::threadid_t const here{recorded.task_id, self.thread};
  if (recorded != here) print_task_id_mismatch(recorded, here);
}

void raise_event(vexa_event_reason_t reason) {
  lock_scope held(vexa.lock);
  vexa.notify_debugger(reason);
}

void raise_error(vexa_event_reason_t reason, error_detail_t const& detail) {
  lock_scope held(vexa.lock);
  error_detail = detail;  // guarded by the runtime lock, as every stop is
  struct clear_t {
    ~clear_t() { error_detail.hook = nullptr; }  // also when the stop's command throws
  } const clear;
  vexa.notify_debugger(reason);
}

}  // namespace vexa
