// The communication block shared with the debugger, and the stop loop.
#include "diagnostics.h"
#include "distinct.h"
#include "runtime.h"

#define VEXA_EXPORTED __attribute__((visibility("default")))
extern "C" {
VEXA_EXPORTED uint32_t __vexa_config[4] = {1, 0, 0, 0};
VEXA_EXPORTED uint64_t __vexa_filter_space = 0;
VEXA_EXPORTED vexa_event_reason_t __vexa_event_reason = 0;
VEXA_EXPORTED vexa_detection_t __vexa_current_detection = {};
VEXA_EXPORTED uint32_t __VEXA_isGuardedCall = 0;
VEXA_EXPORTED vexa_distinct_table_t __vexa_distinct = {};
}

namespace vexa {

std::uint32_t __vexa_filter_space_size = 0;
vexa_filter_t* filter_buffer = nullptr;

namespace {

bool detection(vexa_event_reason_t reason) {
  return reason == VEXA_EVENT_DATA_SHARING || reason == VEXA_EVENT_REENTRANT_CALL;
}

bool distinct_enabled() { return (load_word(__vexa_config[VEXA_CONFIG_ENABLE]) & VEXA_ENABLE_DISTINCT) != 0; }

}  // namespace

bool vexa_t::admit(vexa_event_reason_t reason) {
  return !distinct_enabled() || distinct_t::get().admit(reason, __vexa_current_detection);
}

void vexa_t::notify_debugger(vexa_event_reason_t reason, bool admitted) {
  // Here the detection record is complete and the runtime lock is held, so
  // the detectors need not know about distinct detections.
  if (!admitted && detection(reason) && !admit(reason)) return;
  __vexa_event_reason = reason;
  __vexa_current_detection.code = to_address(current.code);
  if (reason == VEXA_EVENT_NONE) return;
  if (reason == VEXA_EVENT_UNLOADED && (logging_level & (log_detection | log_compact))) {
    std::size_t total = 0;
    distinct_t::held_t held;
    std::vector<vexa_distinct_t> const repeated =
        distinct_t::get().repeated(total, printed_distinct_entries(), &held);
    print_distinct_summary(repeated, total);
    print_held_summary(held.distinct, held.seen);
  }
  do {
    // Refreshed at every pass: a configuration stop may follow a detection.
    if (distinct_enabled() || reason == VEXA_EVENT_UNLOADED) distinct_t::get().publish();
    dump_communication();
    __vexa_switch_to_debugger();
    reason = configure();
    __vexa_event_reason = reason;
  } while (reason != VEXA_EVENT_NONE);
}

}  // namespace vexa
