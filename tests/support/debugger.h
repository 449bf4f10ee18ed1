// An in-process debugger for tests. The test program defines
// __vexa_switch_to_debugger, so every stop of the library lands here: the
// stop is recorded (reason, configuration block, detection record and its
// array) and a script may answer it by writing commands into the block,
// exactly as a real debugger does at its breakpoint.
//
// Stops are serialised by the library's runtime lock, so the recorder needs
// no lock of its own. Its state is plain data with constant
// initialisation: the library's load stop happens before the test
// program's own constructors run.
#ifndef VEXA_TEST_DEBUGGER_H
#define VEXA_TEST_DEBUGGER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vexa.h"

namespace vexa_test {

struct stop_t {
  vexa_event_reason_t reason;
  std::uint32_t config[4];       // __vexa_config at the stop
  std::uint32_t guard;           // __VEXA_isGuardedCall at the stop
  vexa_detection_t detection;    // __vexa_current_detection at the stop
  unsigned long thread;          // pthread_self() of the stopping thread
  std::uint32_t entries;         // entries copied from the detection's array
  static constexpr std::size_t max_entries = 16;
  tsm_access_desc_t offended[max_entries];      // reason 256
  vexa_task_identity_t offenses[max_entries];   // reason 257
};

// Called at every stop after it was recorded; may write __vexa_config,
// __VEXA_isGuardedCall and the filter buffer. `index` counts every stop
// since the program started, the load stop being 0.
using script_t = void (*)(stop_t const& stop, std::size_t index, void* context);

void set_script(script_t script, void* context = nullptr);

// Recorded stops. The recorder keeps the last `capacity` stops; `total`
// counts all of them.
constexpr std::size_t capacity = 4096;
std::size_t total();
std::size_t recorded();
stop_t const& stop(std::size_t i);  // i < recorded(), oldest first
std::vector<vexa_event_reason_t> reasons();
void forget();  // drops the recorded stops (total keeps counting)

// Sets the block's words directly, as a debugger does outside a stop.
inline void post(std::uint32_t pending_bits) { __atomic_fetch_or(&__vexa_config[VEXA_CONFIG_PENDING], pending_bits, __ATOMIC_SEQ_CST); }
inline void set_enable(std::uint32_t bits) { __atomic_store_n(&__vexa_config[VEXA_CONFIG_ENABLE], bits, __ATOMIC_SEQ_CST); }
inline void set_guard(std::uint32_t bits) { __atomic_store_n(&__VEXA_isGuardedCall, bits, __ATOMIC_SEQ_CST); }

// Installs filter records through the library's exchange of stops
// (allocate -> 3 -> write records, apply -> 3 or a failure), driven from
// the calling thread by polling hook calls. Returns the final reason of the
// exchange (3 on success) and leaves no command pending.
vexa_event_reason_t install_filters(std::vector<vexa_filter_t> const& records);

vexa_filter_t filter_record(unsigned feature, unsigned kind, unsigned action, std::uint64_t first,
                            std::uint64_t second);

}  // namespace vexa_test

#endif  // VEXA_TEST_DEBUGGER_H
