// The debugger's commands: ping, resets, and (filter_buffer.cc) the two
// filter commands. Runs with the runtime lock held.
#include <iostream>

#include "diagnostics.h"
#include "runtime.h"

namespace vexa {

namespace {
char const* const feature_names[2] = {"tsm", "re"};
}

vexa_event_reason_t vexa_t::configure() {
  std::uint32_t& pending = __vexa_config[VEXA_CONFIG_PENDING];
  if (logging_level & log_raw) raw_dump("__vexa_config", __vexa_config, sizeof __vexa_config);

  if (load_word(__vexa_config[VEXA_CONFIG_VERSION]) != 1) return VEXA_ERROR_VERSION_MISMATCH;

  vexa_event_reason_t result = VEXA_EVENT_NONE;
  std::uint32_t const commands = load_word(pending);
  if (commands & VEXA_PENDING_PING) {
    clear_bits(pending, VEXA_PENDING_PING);
    return VEXA_EVENT_ALIVE;
  }
  if (commands & VEXA_PENDING_ALLOCATE_FILTERS) {
    vexa_event_reason_t r = allocate_filter_buffer();
    if (r != VEXA_EVENT_CONFIGURED) return r;
    result = r;
  } else if (commands & VEXA_PENDING_APPLY_FILTERS) {
    vexa_event_reason_t r = apply_filter_records();
    if (r != VEXA_EVENT_CONFIGURED) return r;
    result = r;
  }

  for (unsigned i = 0; i < 2; ++i) {
    std::uint32_t const bit = 1u << i;
    if (!(load_word(pending) & bit)) continue;
    if (features[i] == nullptr) return VEXA_ERROR_UNKNOWN_FEATURE;
    if (logging_level & log_status) std::cerr << "vexa: resetting " << feature_names[i] << std::endl;
    features[i]->reset();
    clear_bits(pending, bit);
    result = VEXA_EVENT_CONFIGURED;
  }

  if (load_word(pending) & 0xffu) return VEXA_ERROR_UNKNOWN_FEATURE;
  return result;
}

}  // namespace vexa
