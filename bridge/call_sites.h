// Which function made a hook call, and that activation's frame.
//
// __tsan_func_entry is given the call site in the caller, not the function
// entered, so the bridge looks at its own return address instead: a point
// inside the instrumented function, the same for every activation. The
// unwinder turns it into the function's start and the function's canonical
// frame address (CFA: the stack pointer before the call that entered it).
// CFAs meet the reentrancy detector's rule: a callee's CFA lies below its
// caller's, because the caller's return address sits in between.
//
// Unwinding costs microseconds, so each call site is unwound once and the
// answer cached. Where the function keeps a frame pointer at that call
// site (the wrappers compile with -fno-omit-frame-pointer), its CFA is the
// frame pointer plus two words, and later calls need no unwinding at all;
// elsewhere (main, which realigns its stack on i386; code built without
// frame pointers) every call unwinds.
#ifndef VEXA_BRIDGE_CALL_SITES_H
#define VEXA_BRIDGE_CALL_SITES_H

#include <cstdint>

namespace vexa_bridge {

struct frame_t {
  void const* function;  // start of the function that made the call
  std::uintptr_t cfa;    // that activation's canonical frame address
};

// `pc` is the hook's return address, `frame_pointer` the value of the
// caller's frame pointer register at the call (the hook's saved one).
frame_t locate(void const* pc, std::uintptr_t frame_pointer);

// Call sites in the cache, for tests and benchmarks.
std::uint32_t cached_call_sites();

}  // namespace vexa_bridge

#endif  // VEXA_BRIDGE_CALL_SITES_H
