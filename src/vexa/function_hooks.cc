// _VEXA_enterFunction and _VEXA_leaveFunction: feed the reentrancy detector.
#include "hook_frame.h"

namespace vexa {
namespace {

enum class function_event { enter, leave };

[[gnu::noinline]] void function_hook(function_event event, void const* function, void const* frame,
                                     void const* ret) {
  hook_scope_t const scope; if (scope.nested()) return;
  thread_info_t& self = current;
  task_record_t* record = self.record;
  check_task_id(record);
  if (record == nullptr || !enabled(VEXA_ENABLE_RE)) return;
  self.code = ret;
  if (event == function_event::enter)
    vexa.re.enter(record->handle, function, frame);
  else
    vexa.re.leave(record->handle, function, frame);
}

}  // namespace
}  // namespace vexa

using namespace vexa;

VEXA_EXPORT void _VEXA_enterFunction(void const* function, void const* frame) {
  poll_configuration();
  if (VEXA_LIKELY(!guarded(VEXA_GUARD_FUNCTION))) return;
  function_hook(function_event::enter, function, frame, VEXA_RETURN_ADDRESS());
}

VEXA_EXPORT void _VEXA_leaveFunction(void const* function, void const* frame) {
  poll_configuration();
  if (VEXA_LIKELY(!guarded(VEXA_GUARD_FUNCTION))) return;
  function_hook(function_event::leave, function, frame, VEXA_RETURN_ADDRESS());
}

VEXA_EXPORT void _VEXA_enterFunctionAt(void const* function, void const* frame, void const* code) {
  poll_configuration();
  if (VEXA_LIKELY(!guarded(VEXA_GUARD_FUNCTION))) return;
  function_hook(function_event::enter, function, frame, code);
}

VEXA_EXPORT void _VEXA_leaveFunctionAt(void const* function, void const* frame, void const* code) {
  poll_configuration();
  if (VEXA_LIKELY(!guarded(VEXA_GUARD_FUNCTION))) return;
  function_hook(function_event::leave, function, frame, code);
}
