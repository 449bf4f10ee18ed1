// The exported hooks as an instrumented program pays for them: through
// libvexa.so's PLT, with no debugger attached (no event happens in any of
// these loops).
//
//   MemoryHookGuardOff         a memory hook whose guard bit is clear: the
//                              poll, the guard test and the return
//   MemoryHookKnownObject/N    a read of an object that N live tasks have
//                              read already (nested on this thread), by the
//                              innermost of them, from a known code address
//   MemoryHookFirstTouch       a task's first write of each of 4,096 objects,
//                              and its leave (per access: items_per_second)
//   MemoryHookRepeatedSweep    a task's reads of 16,384 objects, over and
//                              over: repeats past the thread's cache
//                              (per access: items_per_second)
//   FunctionEnterLeave         one function activation, entered and left
//   TaskEnterLeave/N           one task entered and left while the access
//                              log holds N objects: leaving walks all of them
//   TaskEnterLeaveInside       one task entered and left inside another (as
//                              in programs, where an outer task is live)
#include <benchmark/benchmark.h>

#include <cstdint>

#include "vexa.h"

namespace {

std::uint32_t object;  // the known object; its address is all the hooks see

// The hooks read both words without a lock; only this thread runs hooks
// here, so the stores need no partner, and they are atomic only to match
// the library's own accesses to these words.
void configure(std::uint32_t enable, std::uint32_t guard) {
  __atomic_store_n(&__vexa_config[VEXA_CONFIG_ENABLE], enable, __ATOMIC_SEQ_CST);
  __atomic_store_n(&__VEXA_isGuardedCall, guard, __ATOMIC_SEQ_CST);
}

void const* at(std::uintptr_t address) { return reinterpret_cast<void const*>(address); }

// Objects logged so far in this process (the access log only grows), at
// made-up addresses far from everything else.
unsigned logged_objects = 0;

void log_objects(unsigned n) {
  if (logged_objects >= n) return;
  configure(VEXA_ENABLE_TSM, VEXA_GUARD_TASK | VEXA_GUARD_MEMORY);
  _VEXA_enterTask();
  for (; logged_objects < n; ++logged_objects) _VEXA_writeMemory(at(0x40000000u + 8u * logged_objects), 4);
  _VEXA_leaveTask();
}

void TaskEnterLeave(benchmark::State& state) {
  log_objects(static_cast<unsigned>(state.range(0)));
  configure(VEXA_ENABLE_TSM | VEXA_ENABLE_RE, VEXA_GUARD_TASK | VEXA_GUARD_MEMORY | VEXA_GUARD_FUNCTION);
  for (auto _ : state) {
    _VEXA_enterTask();
    _VEXA_leaveTask();
  }
}
// Registered first: the log only grows, so the smaller sizes must run before
// the larger ones fill it.
BENCHMARK(TaskEnterLeave)->Arg(0)->Arg(64)->Arg(1024);

void TaskEnterLeaveInside(benchmark::State& state) {
  configure(VEXA_ENABLE_TSM | VEXA_ENABLE_RE, VEXA_GUARD_TASK | VEXA_GUARD_MEMORY | VEXA_GUARD_FUNCTION);
  _VEXA_enterTask();
  for (auto _ : state) {
    _VEXA_enterTask();
    _VEXA_leaveTask();
  }
  _VEXA_leaveTask();
}
BENCHMARK(TaskEnterLeaveInside);

void MemoryHookGuardOff(benchmark::State& state) {
  configure(VEXA_ENABLE_TSM, VEXA_GUARD_TASK);
  _VEXA_enterTask();
  configure(VEXA_ENABLE_TSM, VEXA_GUARD_TASK);  // entering switched the memory hooks on
  for (auto _ : state) _VEXA_readMemory(&object, sizeof object);
  _VEXA_leaveTask();
}
BENCHMARK(MemoryHookGuardOff);

void MemoryHookKnownObject(benchmark::State& state) {
  configure(VEXA_ENABLE_TSM, VEXA_GUARD_TASK | VEXA_GUARD_MEMORY);
  auto const tasks = state.range(0);
  for (int64_t i = 0; i < tasks; ++i) {
    _VEXA_enterTask();
    _VEXA_readMemory(&object, sizeof object);
  }
  for (auto _ : state) _VEXA_readMemory(&object, sizeof object);
  for (int64_t i = 0; i < tasks; ++i) _VEXA_leaveTask();
}
BENCHMARK(MemoryHookKnownObject)->Arg(1)->Arg(8);

// A task's first touch of each of 4,096 objects (4 bytes, 8 apart), then
// its leave, which drops them all: per access, what a sweep over fresh
// cells costs, its share of the leave included.
void MemoryHookFirstTouch(benchmark::State& state) {
  configure(VEXA_ENABLE_TSM, VEXA_GUARD_TASK | VEXA_GUARD_MEMORY);
  constexpr unsigned objects = 4096;
  for (auto _ : state) {
    _VEXA_enterTask();
    for (unsigned i = 0; i < objects; ++i) _VEXA_writeMemory(at(0x50000000u + 8u * i), 4);
    _VEXA_leaveTask();
  }
  state.SetItemsProcessed(state.iterations() * objects);
}
BENCHMARK(MemoryHookFirstTouch);

// One task reads 16,384 objects (8 bytes, 8 apart, a 128 KiB block) over
// and over, as a matrix kernel reads its inputs: far more repeats than the
// thread's cache holds. The first two sweeps are made before timing.
void MemoryHookRepeatedSweep(benchmark::State& state) {
  configure(VEXA_ENABLE_TSM, VEXA_GUARD_TASK | VEXA_GUARD_MEMORY);
  constexpr unsigned objects = 16384;
  _VEXA_enterTask();
  auto sweep = [] {
    for (unsigned i = 0; i < objects; ++i) _VEXA_readMemory(at(0x58000000u + 8u * i), 8);
  };
  sweep();
  sweep();
  for (auto _ : state) sweep();
  _VEXA_leaveTask();
  state.SetItemsProcessed(state.iterations() * objects);
}
BENCHMARK(MemoryHookRepeatedSweep);

void parse() {}

void FunctionEnterLeave(benchmark::State& state) {
  configure(VEXA_ENABLE_RE, VEXA_GUARD_TASK | VEXA_GUARD_FUNCTION);
  _VEXA_enterTask();
  void const* const function = reinterpret_cast<void const*>(&parse);
  void const* const frame = __builtin_frame_address(0);
  for (auto _ : state) {
    _VEXA_enterFunction(function, frame);
    _VEXA_leaveFunction(function, frame);
  }
  _VEXA_leaveTask();
}
BENCHMARK(FunctionEnterLeave);

}  // namespace

BENCHMARK_MAIN();
