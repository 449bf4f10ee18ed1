// The frame every exported hook runs around its own work.
//
// The disabled path must stay two plain loads and a return: the pending
// word and the guard word are read without a lock, and everything else is
// out of line. A stale read of either only delays the reaction to the
// debugger's write until a later hook call.
#ifndef VEXA_HOOK_FRAME_H
#define VEXA_HOOK_FRAME_H

#include <atomic>

#include "runtime.h"

namespace vexa {

// Marks the calling thread as inside a hook's out-of-line work, where it may
// hold any of the library's locks. A hook called from a signal handler that
// interrupted the thread there returns at once: waiting for a lock that its
// own thread holds would never end, and the detectors' structures may be
// half changed. Each out-of-line hook body opens with
//   hook_scope_t const scope; if (scope.nested()) return;
// The disabled path never gets here, so it costs nothing there.
class hook_scope_t {
 public:
  hook_scope_t() noexcept : outer_(!current.in_hook) {
    if (!outer_) return;
    current.in_hook = true;
    // Only this thread's own signal handlers read the flag: a compiler
    // fence keeps the store before the locks taken next.
    std::atomic_signal_fence(std::memory_order_seq_cst);
  }
  ~hook_scope_t() {
    if (!outer_) return;
    std::atomic_signal_fence(std::memory_order_seq_cst);  // every lock released before the flag drops
    current.in_hook = false;
  }
  hook_scope_t(hook_scope_t const&) = delete;
  hook_scope_t& operator=(hook_scope_t const&) = delete;

  bool nested() const { return !outer_; }

 private:
  bool const outer_;
};

// Serves a configuration the debugger left pending, under the runtime lock.
[[gnu::noinline, gnu::cold]] void serve_pending();

inline void poll_configuration() {
  if (VEXA_UNLIKELY(load_word(__vexa_config[VEXA_CONFIG_PENDING]) != 0)) serve_pending();
}

inline bool guarded(std::uint32_t bit) { return (load_word(__VEXA_isGuardedCall) & bit) != 0; }

inline bool enabled(std::uint32_t bits) { return (load_word(__vexa_config[VEXA_CONFIG_ENABLE]) & bits) == bits; }

thread_model_t::threadid_t self_identity();

[[gnu::noinline, gnu::cold]] void check_task_id_slow(task_record_t const* record);

// Prints "no task id" / "task id mismatch" when logging bit 0x4 asks for it.
inline void check_task_id(task_record_t const* record) {
  if (VEXA_UNLIKELY(logging_level & log_errors)) check_task_id_slow(record);
}

// Raises one event from a hook: under the runtime lock, for a stop.
[[gnu::noinline, gnu::cold]] void raise_event(vexa_event_reason_t reason);
// The same for an error of a hook's argument, with the line that names it
// (diagnostics.h): "vexa: HOOK(VALUES): PROBLEM" under logging bit 0x4.
struct error_detail_t;
[[gnu::noinline, gnu::cold]] void raise_error(vexa_event_reason_t reason, error_detail_t const& detail);

}  // namespace vexa

#endif  // VEXA_HOOK_FRAME_H
