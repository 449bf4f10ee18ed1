// The communication block shared with the debugger, and the stop loop.
#include "diagnostics.h"
#include "runtime.h"

#define VEXA_EXPORTED __attribute__((visibility("default")))
extern "C" {
VEXA_EXPORTED uint32_t __vexa_config[4] = {1, 0, 0, 0};
VEXA_EXPORTED uint64_t __vexa_filter_space = 0;
VEXA_EXPORTED vexa_event_reason_t __vexa_event_reason = 0;
VEXA_EXPORTED vexa_detection_t __vexa_current_detection = {};
VEXA_EXPORTED uint32_t __VEXA_isGuardedCall = 0;
}

namespace vexa {

std::uint32_t __vexa_filter_space_size = 0;
vexa_filter_t* filter_buffer = nullptr;

void vexa_t::notify_debugger(vexa_event_reason_t reason) {
  __vexa_event_reason = reason;
  __vexa_current_detection.code = to_address(current.code);
  if (reason == VEXA_EVENT_NONE) return;
  do {
    dump_communication();
    __vexa_switch_to_debugger();
    reason = configure();
    __vexa_event_reason = reason;
  } while (reason != VEXA_EVENT_NONE);
}

}  // namespace vexa
