// Per-call cost of the detector cores on their hot paths: logging an access
// of a known object, logging the first access of a new object, and a
// function entry with its leave in the reentrancy detector. Called directly,
// without the hooks' frame; one thread, so no lock is contended.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "vexa/runtime.h"

namespace {

using vexa::object_t;
using vexa::task_record_t;
using vexa::tsm_t;

void const* at(std::uintptr_t a) { return reinterpret_cast<void const*>(a); }
void const* frame(unsigned depth) { return at(0xbf800000u - depth * 0x40u); }

// The calling thread runs task `handle`, as _VEXA_enterTask leaves it.
struct running_task {
  explicit running_task(unsigned short handle) : record(new task_record_t) {
    record->handle = handle;
    vexa::current.record = record.get();
  }
  ~running_task() { vexa::current.record = nullptr; }
  std::unique_ptr<task_record_t> record;
};

// A known object from a known code address: the unlocked index and chain
// walk, one node lock, the task's map entry and its list. The argument is
// how many objects are known; they are visited in address order, 12 bytes
// apart, so about five share each 64-byte line.
void BM_LogKnownObject(benchmark::State& state) {
  auto tsm = std::make_unique<tsm_t>();
  running_task task(1);
  std::vector<object_t> objects;
  for (std::uintptr_t i = 0; i < static_cast<std::uintptr_t>(state.range(0)); ++i)
    objects.push_back({0x10000000 + i * 12, 4});
  for (object_t const& o : objects) tsm->log(o, TSM_READ, 1, at(0x8048400));
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(tsm->log(objects[i], TSM_READ, 1, at(0x8048400)));
    if (++i == objects.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogKnownObject)->Arg(1)->Arg(4096)->Arg(65536);

// The first access of an object: the failed lookup, approximate() in the
// index, the chain insertion, an index entry for the first object of each
// line, and the task's map entry and list entry. Objects are 4 bytes at
// ascending steps of the argument, as a loop over an array writes them.
// The first object of a line is inserted behind the nearest indexed page's
// log for that line, so the chain walk covers everything logged in
// between: with 8-byte steps a whole page (2048 logs) once per line, with
// 4096-byte steps four logs. Memory is never returned, so the iteration
// count is fixed.
void BM_LogNewObject(benchmark::State& state) {
  auto tsm = std::make_unique<tsm_t>();
  running_task task(1);
  auto const step = static_cast<std::uintptr_t>(state.range(0));
  std::uintptr_t base = 0x20000000;
  for (auto _ : state) {
    benchmark::DoNotOptimize(tsm->log({base, 4}, TSM_WRITE, 1, at(0x8048500)));
    base += step;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogNewObject)->Arg(8)->Arg(64)->Arg(4096)->Iterations(200000);

// One function entry and its leave, at a given depth of the task's own
// stack (first argument), while other tasks each hold eight open
// activations of other functions (second argument: how many tasks), which
// every entry's check scans.
void BM_ReEnterLeave(benchmark::State& state) {
  auto re = std::make_unique<vexa::re_t>();
  unsigned const depth = static_cast<unsigned>(state.range(0));
  auto const others = static_cast<unsigned short>(state.range(1));
  for (unsigned d = 0; d < depth; ++d) re->enter(1, at(0x8060000 + d * 0x10), frame(d));
  for (unsigned short t = 2; t < 2 + others; ++t)
    for (unsigned d = 0; d < 8; ++d) re->enter(t, at(0x8070000 + t * 0x100 + d * 0x10), frame(d));
  void const* const f = at(0x8049000);
  for (auto _ : state) {
    re->enter(1, f, frame(depth));
    re->leave(1, f, frame(depth));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReEnterLeave)->Args({0, 0})->Args({16, 0})->Args({0, 8})->Args({16, 64});

}  // namespace

BENCHMARK_MAIN();
