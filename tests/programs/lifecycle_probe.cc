// Prints, on stdout, what the environment made of the runtime object at
// load: the stops a debugger saw before main, the block as the load stop
// showed it, the logging level and the reentrancy detector's filter.
//
// The program is its own debugger: it defines the breakpoint function, so
// every stop lands in record_stop(). With PROBE_ANSWER_LOAD set, it answers
// the load stop as a debugger configuring the library would: both detectors
// on, every hook group on, and an are-you-there.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "vexa/runtime.h"

namespace {

struct seen_t {
  vexa_event_reason_t reason;
  std::uint32_t config[4];
  std::uint32_t guard;
};

// Constant-initialised: the load stop comes during static initialisation.
seen_t seen[8];
unsigned seen_count = 0;

// Runs before the runtime object is built, as code of another library or
// of the program might: the library must not take this errno for its own.
__attribute__((constructor(101))) void leave_errno_set() { errno = ERANGE; }

}  // namespace

extern "C" __attribute__((noinline)) void __vexa_switch_to_debugger(void) {
  if (seen_count < sizeof seen / sizeof seen[0]) {
    seen_t& s = seen[seen_count];
    s.reason = __vexa_event_reason;
    for (int i = 0; i < 4; ++i) s.config[i] = __vexa_config[i];
    s.guard = __VEXA_isGuardedCall;
  }
  ++seen_count;
  if (seen_count == 1 && std::getenv("PROBE_ANSWER_LOAD") != nullptr) {
    __vexa_config[VEXA_CONFIG_ENABLE] = VEXA_ENABLE_TSM | VEXA_ENABLE_RE;
    __VEXA_isGuardedCall = VEXA_GUARD_TASK | VEXA_GUARD_MEMORY | VEXA_GUARD_FUNCTION;
    __vexa_config[VEXA_CONFIG_PENDING] |= VEXA_PENDING_PING;
  }
}

int main() {
  unsigned const before_main = seen_count;
  std::printf("stops:");
  for (unsigned i = 0; i < before_main && i < 8; ++i) std::printf(" %d", static_cast<int>(seen[i].reason));
  std::printf("\n");
  if (before_main > 0) {
    seen_t const& load = seen[0];
    std::printf("load stop: version %u, pending 0x%x, enable 0x%x, count %u, guard 0x%x\n", load.config[0],
                load.config[1], load.config[2], load.config[3], load.guard);
  }
  std::printf("now: enable 0x%x, guard 0x%x\n", __vexa_config[VEXA_CONFIG_ENABLE], __VEXA_isGuardedCall);
  std::printf("logging: 0x%x\n", vexa::logging_level);

  vexa::logging_filter_t const* f = vexa::vexa.re.current_filter();
  if (f == nullptr) {
    std::printf("re filter: none\n");
  } else {
    std::printf("re filter: modes %u %u %u, code", f->code_mode, f->data_mode, f->thread_mode);
    for (auto const& r : f->code_ranges)
      std::printf(" (0x%" PRIxPTR ", %" PRIuPTR ")", static_cast<std::uintptr_t>(r.base),
                  static_cast<std::uintptr_t>(r.size));
    std::printf(", %zu data, %zu threads\n", f->data_ranges.size(), f->thread_ids.size());
  }
  std::printf("tsm filter: %s\n", vexa::vexa.tsm.current_filter() == nullptr ? "none" : "some");
  return 0;
}
