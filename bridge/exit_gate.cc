#include "exit_gate.h"

#include <pthread.h>
#include <sched.h>

namespace vexa_bridge {

std::atomic<unsigned> events_inside{0};
std::atomic<bool> gate_closed{false};
thread_local unsigned gates_held;

namespace {

// Events that other threads were inside when the program forked never end
// in the child; left counted, they would keep its exit waiting for ever.
void forked_child() { events_inside.store(gates_held, std::memory_order_relaxed); }

__attribute__((constructor)) void watch_fork() { pthread_atfork(nullptr, nullptr, forked_child); }

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
