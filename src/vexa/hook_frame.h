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
