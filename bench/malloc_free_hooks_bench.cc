// Memory of long-lived tasks that allocate and free (the race view's
// common case: four threads, one task each, each doing malloc, a write and
// a read through the hooks, and free, which forgets the block). What the
// detector keeps must follow the blocks alive at once, not how many came
// and went: each benchmark runs its scenario once and reports how far it
// raised the process's peak resident size (KiB). The smaller scenario runs
// first; a flat footprint shows as a larger one that adds about nothing.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#include "vexa.h"

namespace {

long peak_kib() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

void allocate_and_free(benchmark::State& state, unsigned threads, unsigned long per_thread) {
  __atomic_store_n(&__vexa_config[VEXA_CONFIG_ENABLE], VEXA_ENABLE_TSM, __ATOMIC_SEQ_CST);
  __atomic_store_n(&__VEXA_isGuardedCall, VEXA_GUARD_TASK | VEXA_GUARD_MEMORY, __ATOMIC_SEQ_CST);
  long const before = peak_kib();
  for (auto _ : state) {
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t)
      workers.emplace_back([per_thread, t] {
        _VEXA_enterTask();
        void* live[8] = {};  // a few blocks alive at once, as a program keeps some
        for (unsigned long i = 0; i < per_thread; ++i) {
          void*& slot = live[(i + t) % 8];
          if (slot != nullptr) {
            _VEXA_forgetMemory(slot, static_cast<char*>(slot) + 32);
            std::free(slot);
          }
          slot = std::malloc(32);
          _VEXA_writeMemory(slot, 8);
          _VEXA_readMemory(static_cast<char*>(slot) + 8, 8);
        }
        for (void* p : live) {
          _VEXA_forgetMemory(p, static_cast<char*>(p) + 32);
          std::free(p);
        }
        _VEXA_leaveTask();
      });
    for (auto& w : workers) w.join();
  }
  state.counters["peak_growth_KiB"] = static_cast<double>(peak_kib() - before);
  state.counters["blocks"] = static_cast<double>(threads) * per_thread;
}

void FourThreads1MBlocks(benchmark::State& state) { allocate_and_free(state, 4, 250000); }
BENCHMARK(FourThreads1MBlocks)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void FourThreads4MBlocks(benchmark::State& state) { allocate_and_free(state, 4, 1000000); }
BENCHMARK(FourThreads4MBlocks)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
