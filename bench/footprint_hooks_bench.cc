// Memory that follows the live working set: a program touches 1M distinct
// objects in a sequence of 1,000 tasks, one live at a time, 1,000 objects
// each; its peak must stay close to that of one task touching 1,000
// objects. Each benchmark runs its scenario once and reports how far it
// raised the process's peak resident size (KiB), so the smaller scenario
// runs first.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdint>

#include "vexa.h"

namespace {

long peak_kib() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

void tasks_touching(benchmark::State& state, unsigned tasks, unsigned objects) {
  __atomic_store_n(&__vexa_config[VEXA_CONFIG_ENABLE], VEXA_ENABLE_TSM, __ATOMIC_SEQ_CST);
  __atomic_store_n(&__VEXA_isGuardedCall, VEXA_GUARD_TASK | VEXA_GUARD_MEMORY, __ATOMIC_SEQ_CST);
  static std::uintptr_t next = 0x10000000;  // made-up addresses, never reused
  long const before = peak_kib();
  for (auto _ : state) {
    for (unsigned t = 0; t < tasks; ++t) {
      _VEXA_enterTask();
      for (unsigned i = 0; i < objects; ++i, next += 16)
        _VEXA_writeMemory(reinterpret_cast<void const*>(next), 8);
      _VEXA_leaveTask();
    }
  }
  state.counters["peak_growth_KiB"] = static_cast<double>(peak_kib() - before);
  state.counters["objects"] = static_cast<double>(tasks) * objects;
}

void OneTaskOf1000Objects(benchmark::State& state) { tasks_touching(state, 1, 1000); }
BENCHMARK(OneTaskOf1000Objects)->Iterations(1)->Unit(benchmark::kMillisecond);

void ThousandTasksOf1000Objects(benchmark::State& state) { tasks_touching(state, 1000, 1000); }
BENCHMARK(ThousandTasksOf1000Objects)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
