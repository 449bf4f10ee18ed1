#include "exit_gate.h"

#include <sched.h>

namespace vexa_bridge {

std::atomic<unsigned> events_inside{0};
std::atomic<bool> gate_closed{false};

namespace {

// Runs after main has returned (or exit was called) and before the
// library's runtime object is destroyed.
__attribute__((destructor)) void close_exit_gate() {
  gate_closed.store(true, std::memory_order_seq_cst);
  // Sequentially consistent against the increment in exit_gate(); also
  // orders after the release decrement in ~exit_gate, so what the events
  // did is complete before the library goes.
  while (events_inside.load(std::memory_order_seq_cst) != 0) sched_yield();
}

}  // namespace
}  // namespace vexa_bridge
