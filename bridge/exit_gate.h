// Keeps task events away from a library that is being torn down.
//
// A program may still have threads at work when it exits: the OpenMP
// runtime's workers end their implicit tasks when they next wake up, which
// can be after main has returned, and a detached thread ends whenever it
// ends. The library's runtime object is destroyed at exit, so a task event
// that arrives then would use freed state. Every task event passes this
// gate; once the bridge is being unloaded (its destructor runs before the
// library's, which it depends on) the gate refuses new events and waits
// for those already inside.
#ifndef VEXA_BRIDGE_EXIT_GATE_H
#define VEXA_BRIDGE_EXIT_GATE_H

#include <atomic>

namespace vexa_bridge {

extern std::atomic<unsigned> events_inside;
extern std::atomic<bool> gate_closed;
// How many of events_inside are the calling thread's: a child of fork()
// has only this thread, and no other's events will ever leave.
extern thread_local unsigned gates_held __attribute__((tls_model("initial-exec")));

class exit_gate {
 public:
  // Sequentially consistent on both sides (here and in close_exit_gate): a
  // thread either sees the gate closed or is seen inside by the closer.
  exit_gate() noexcept {
    ++gates_held;
    events_inside.fetch_add(1, std::memory_order_seq_cst);
    open_ = !gate_closed.load(std::memory_order_seq_cst);
  }
  ~exit_gate() {
    events_inside.fetch_sub(1, std::memory_order_release);
    --gates_held;
  }
  exit_gate(exit_gate const&) = delete;
  exit_gate& operator=(exit_gate const&) = delete;

  explicit operator bool() const { return open_; }

 private:
  bool open_;
};

}  // namespace vexa_bridge

#endif  // VEXA_BRIDGE_EXIT_GATE_H
