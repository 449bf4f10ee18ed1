// Filters replaced by hundreds of record batches while other threads run
// tasks through the memory and function hooks, which consult the filters
// without a lock, and read the installed filters directly.
//
// Every batch builds filters of one generation g: each of their sets holds
// exactly `per_set` elements and every element names g (ranges by their
// size, thread identities by their task id). A reader that ever sees a set
// of the wrong length, or two generations in one filter, has seen a filter
// that was still being built or was changed after it was installed. Every
// other generation puts the readers' own addresses, entry code and
// functions inside the ranges, so the hooks take both sides of each filter
// test while batches replace them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "support/debugger.h"
#include "vexa/runtime.h"

using namespace vexa_test;
using vexa::logging_filter_t;

namespace {

constexpr unsigned per_set = 6;
constexpr unsigned generations = 300;
// One reader per core of the machines the suite runs on: more readers only
// spin on the detector's locks while a preempted holder waits for a core.
constexpr unsigned readers = 2;

// Where the readers work. Each reader keeps to its own bytes and its own
// function, so no two tasks ever conflict and no event interrupts the test.
constexpr std::uintptr_t reader_data = 0x20000000;  // + 0x40 per reader
constexpr std::uintptr_t reader_code = 0x30000000;  // entry and access code, + reader
constexpr std::uintptr_t reader_functions = 0x30001000;  // + reader
constexpr std::uintptr_t generation_ranges = 0x40000000;  // + 0x100000 per element

std::uint32_t size_of_generation(unsigned g) { return 0x100 + g; }

std::vector<vexa_filter_t> batch(unsigned g) {
  bool const covers_readers = g % 2 == 0;
  std::uint32_t const size = size_of_generation(g);
  auto base = [&](unsigned i, std::uintptr_t readers_base) -> std::uint64_t {
    return i == 0 && covers_readers ? readers_base : generation_ranges + i * 0x100000;
  };
  std::vector<vexa_filter_t> records;
  for (unsigned kind : {VEXA_FILTER_CODE, VEXA_FILTER_DATA, VEXA_FILTER_THREAD})
    records.push_back(filter_record(VEXA_FEATURE_TSM, kind, VEXA_FILTER_CLEAR, 0, 0));
  for (unsigned kind : {VEXA_FILTER_CODE, VEXA_FILTER_THREAD})
    records.push_back(filter_record(VEXA_FEATURE_RE, kind, VEXA_FILTER_CLEAR, 0, 0));
  for (unsigned i = 0; i < per_set; ++i) {
    records.push_back(filter_record(VEXA_FEATURE_TSM, VEXA_FILTER_CODE, VEXA_FILTER_ADD, base(i, reader_code), size));
    records.push_back(filter_record(VEXA_FEATURE_TSM, VEXA_FILTER_DATA, VEXA_FILTER_ADD, base(i, reader_data), size));
    records.push_back(filter_record(VEXA_FEATURE_TSM, VEXA_FILTER_THREAD, VEXA_FILTER_ADD, g, i));
    records.push_back(filter_record(VEXA_FEATURE_RE, VEXA_FILTER_CODE, VEXA_FILTER_ADD, base(i, reader_functions), size));
    records.push_back(filter_record(VEXA_FEATURE_RE, VEXA_FILTER_THREAD, VEXA_FILTER_ADD, g, i));
  }
  return records;
}

// The generation a filter was built for; 0 when it is not a whole filter
// of one generation.
unsigned generation_of(logging_filter_t const& f, bool is_re) {
  if (f.code_ranges.size() != per_set || f.thread_ids.size() != per_set) return 0;
  if (f.data_ranges.size() != (is_re ? 0 : per_set)) return 0;
  if (f.code_mode != (is_re ? logging_filter_t::mode_only : logging_filter_t::mode_ignore)) return 0;
  if (f.data_mode != logging_filter_t::mode_ignore || f.thread_mode != logging_filter_t::mode_ignore) return 0;
  std::uint64_t const g = f.thread_ids.begin()->task_id;
  if (g == 0 || g > generations) return 0;
  unsigned long expected_thread = 0;
  for (auto const& id : f.thread_ids)
    if (id.task_id != g || id.thread != expected_thread++) return 0;
  for (auto const* set : {&f.code_ranges, &f.data_ranges})
    for (auto const& r : *set)
      if (r.size != size_of_generation(static_cast<unsigned>(g))) return 0;
  return static_cast<unsigned>(g);
}

struct reader_state {
  std::atomic<std::uint64_t> iterations{0};
  std::atomic<unsigned> torn{0};
  std::vector<bool> seen_tsm = std::vector<bool>(generations + 1);
  std::vector<bool> seen_re = std::vector<bool>(generations + 1);
};

std::atomic<bool> stop_readers{false};

void const* at(std::uintptr_t a) { return reinterpret_cast<void const*>(a); }

void reader(unsigned t, reader_state& st) {
  void const* const entry = at(reader_code + t);
  void const* const function = at(reader_functions + t);
  std::uintptr_t const data = reader_data + t * 0x40;
  _VEXA_enterTaskAt(entry);
  logging_filter_t const* last[2] = {nullptr, nullptr};
  unsigned last_generation[2] = {0, 0};
  for (std::uint64_t n = 0; !stop_readers.load(std::memory_order_acquire); ++n) {
    logging_filter_t const* now[2] = {vexa::vexa.tsm.current_filter(), vexa::vexa.re.current_filter()};
    for (int i = 0; i < 2; ++i) {
      if (now[i] == nullptr) continue;
      unsigned const g = generation_of(*now[i], i == 1);
      if (g == 0 || g < last_generation[i]) st.torn.fetch_add(1, std::memory_order_relaxed);
      (i == 0 ? st.seen_tsm : st.seen_re)[g] = true;
      // The filter seen last time may have been replaced since; it must
      // still be the filter it was.
      if (last[i] != nullptr && last[i] != now[i] && generation_of(*last[i], i == 1) != last_generation[i])
        st.torn.fetch_add(1, std::memory_order_relaxed);
      last[i] = now[i];
      last_generation[i] = g;
    }

    _VEXA_writeMemoryAt(at(data + 4 * (n % 8)), 4, entry);
    _VEXA_readMemoryAt(at(data + 4 * (n % 8)), 4, entry);
    _VEXA_enterFunctionAt(function, at(0x9000), entry);
    _VEXA_enterFunctionAt(function, at(0x8f00), entry);  // recursion: never reported
    _VEXA_leaveFunctionAt(function, at(0x8f00), entry);
    _VEXA_leaveFunctionAt(function, at(0x9000), entry);
    if (n % 8 == 7) {  // task entry consults the code filter
      _VEXA_leaveTask();
      _VEXA_enterTaskAt(entry);
    }
    // Publishes this iteration; pairs with the acquire load of the writer,
    // which waits for a whole iteration begun after its batch.
    st.iterations.fetch_add(1, std::memory_order_release);
  }
  _VEXA_leaveTask();
}

TEST(FilterConcurrency, BatchesReplaceFiltersWhileHooksReadThem) {
  set_guard(VEXA_GUARD_TASK | VEXA_GUARD_MEMORY | VEXA_GUARD_FUNCTION);
  set_enable(VEXA_ENABLE_TSM | VEXA_ENABLE_RE);
  forget();
  reader_state state[readers];
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < readers; ++t) threads.emplace_back(reader, t, std::ref(state[t]));

  std::vector<logging_filter_t const*> installed[2];
  for (unsigned g = 1; g <= generations; ++g) {
    ASSERT_EQ(install_filters(batch(g)), VEXA_EVENT_CONFIGURED) << "generation " << g;
    installed[0].push_back(vexa::vexa.tsm.current_filter());
    installed[1].push_back(vexa::vexa.re.current_filter());
    // Let every reader run one whole iteration with this generation. Sleep
    // while waiting: the readers spin on the detector's locks, and a
    // waiting thread that keeps a core only preempts lock holders.
    for (auto& st : state) {
      std::uint64_t const begun = st.iterations.load(std::memory_order_acquire);
      while (st.iterations.load(std::memory_order_acquire) < begun + 2)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  }
  stop_readers.store(true, std::memory_order_release);
  for (auto& t : threads) t.join();

  for (unsigned t = 0; t < readers; ++t) {
    SCOPED_TRACE("reader " + std::to_string(t));
    EXPECT_EQ(state[t].torn.load(), 0u);
    for (unsigned g = 1; g <= generations; ++g) {
      ASSERT_TRUE(state[t].seen_tsm[g]) << "tsm generation " << g;
      ASSERT_TRUE(state[t].seen_re[g]) << "re generation " << g;
    }
  }
  // Every filter ever installed is still whole and still of its generation.
  for (unsigned g = 1; g <= generations; ++g) {
    ASSERT_EQ(generation_of(*installed[0][g - 1], false), g);
    ASSERT_EQ(generation_of(*installed[1][g - 1], true), g);
  }
  // The batches were served by whichever thread polled first, and nothing
  // but their own stops happened.
  for (std::size_t i = 0; i < recorded(); ++i) EXPECT_EQ(stop(i).reason, VEXA_EVENT_CONFIGURED);
}

}  // namespace
