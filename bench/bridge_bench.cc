// What the instrumentation bridge adds to each access and each call: the
// calls compilers emit for -fsanitize=thread (__tsan_read4,
// __tsan_func_entry/exit, __tsan_atomic32_*) against the library's hooks
// called directly, with the hooks switched off and with a task checking.
// The bridge's objects are linked in (see bridge/CMakeLists.txt), so both
// sides are direct calls and the difference is the bridge's own work.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "vexa.h"
#include "../bridge/bridge.h"

extern "C" {
void __tsan_read4(void* address);
void __tsan_write4(void* address);
void __tsan_func_entry(void* call_site);
void __tsan_func_exit(void);
std::uint32_t __tsan_atomic32_fetch_add(std::uint32_t volatile* a, std::uint32_t v, int mo);
}

namespace {

int variable;
std::uint32_t counter;

// Switches hooks and detectors the way a debugger does, and runs the
// benchmark inside one task.
class checking {
 public:
  explicit checking(std::uint32_t enable) {
    __atomic_store_n(&__VEXA_isGuardedCall, VEXA_GUARD_TASK | VEXA_GUARD_MEMORY | VEXA_GUARD_FUNCTION,
                     __ATOMIC_SEQ_CST);
    __atomic_store_n(&__vexa_config[VEXA_CONFIG_ENABLE], enable, __ATOMIC_SEQ_CST);
    _VEXA_enterTask();
    vexa_bridge::state.task = 1;  // the bridge reports functions inside a task only
  }
  ~checking() {
    vexa_bridge::state.task = 0;
    _VEXA_leaveTask();
    __atomic_store_n(&__vexa_config[VEXA_CONFIG_ENABLE], 0u, __ATOMIC_SEQ_CST);
    __atomic_store_n(&__VEXA_isGuardedCall, 0u, __ATOMIC_SEQ_CST);
  }
};

// An instrumented function as the compilers build it, and the same
// function calling the library's hooks itself. Both keep a frame pointer
// (the bench is compiled with -fno-omit-frame-pointer, as vexa-cc compiles).
[[gnu::noinline]] void through_bridge() {
  __tsan_func_entry(__builtin_return_address(0));
  benchmark::ClobberMemory();
  __tsan_func_exit();
}

[[gnu::noinline]] void through_hooks() {
  void const* frame = __builtin_frame_address(0);
  _VEXA_enterFunction(reinterpret_cast<void const*>(&through_hooks), frame);
  benchmark::ClobberMemory();
  _VEXA_leaveFunction(reinterpret_cast<void const*>(&through_hooks), frame);
}

void BM_AccessDirect(benchmark::State& state) {
  for (auto _ : state) _VEXA_readMemory(&variable, sizeof variable);
}

void BM_AccessBridge(benchmark::State& state) {
  for (auto _ : state) __tsan_read4(&variable);
}

void BM_AccessDirectChecked(benchmark::State& state) {
  checking on(VEXA_ENABLE_TSM);
  for (auto _ : state) _VEXA_writeMemory(&variable, sizeof variable);
}

void BM_AccessBridgeChecked(benchmark::State& state) {
  checking on(VEXA_ENABLE_TSM);
  for (auto _ : state) __tsan_write4(&variable);
}

void BM_CallDirect(benchmark::State& state) {
  for (auto _ : state) through_hooks();
}

void BM_CallBridge(benchmark::State& state) {
  for (auto _ : state) through_bridge();
}

void BM_CallDirectChecked(benchmark::State& state) {
  checking on(VEXA_ENABLE_RE);
  for (auto _ : state) through_hooks();
}

// Includes the shadow stack and the call-site cache lookup.
void BM_CallBridgeChecked(benchmark::State& state) {
  checking on(VEXA_ENABLE_RE);
  for (auto _ : state) through_bridge();
}

void BM_AtomicInline(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(__atomic_fetch_add(&counter, 1u, __ATOMIC_ACQ_REL));
}

// The order is dispatched at run time to a constant-order operation.
void BM_AtomicBridge(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(__tsan_atomic32_fetch_add(&counter, 1u, __ATOMIC_ACQ_REL));
}

}  // namespace

BENCHMARK(BM_AccessDirect);
BENCHMARK(BM_AccessBridge);
BENCHMARK(BM_AccessDirectChecked);
BENCHMARK(BM_AccessBridgeChecked);
BENCHMARK(BM_CallDirect);
BENCHMARK(BM_CallBridge);
BENCHMARK(BM_CallDirectChecked);
BENCHMARK(BM_CallBridgeChecked);
BENCHMARK(BM_AtomicInline);
BENCHMARK(BM_AtomicBridge);

BENCHMARK_MAIN();
