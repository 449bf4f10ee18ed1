// Distinct detections (VEXA_ENABLE_DISTINCT) through libvexa.so: what is
// raised once, what is counted, what a debugger reads in __vexa_distinct,
// and the task ids that _VEXA_enterTaskAs gives.
#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>
#include <vector>

#include "support/debugger.h"
#include "support/worker.h"

using namespace vexa_test;

namespace {

using entry_t = std::tuple<std::uint32_t, std::uint64_t, std::uint64_t, std::uint64_t>;  // kind, first, second, seen

// __vexa_distinct as the last stop showed it.
std::vector<entry_t> table_at_stop;

void copy_table(stop_t const&, std::size_t, void*) {
  table_at_stop.clear();
  auto const* e = reinterpret_cast<vexa_distinct_t const*>(static_cast<std::uintptr_t>(__vexa_distinct.entries));
  for (std::uint64_t i = 0; i < __vexa_distinct.count; ++i)
    table_at_stop.emplace_back(e[i].kind, e[i].first, e[i].second, e[i].seen);
}

// n workers, each running one task entered with id 100 + i.
struct team_t {
  explicit team_t(std::size_t n) : workers(n) {
    for (std::size_t i = 0; i < n; ++i)
      workers[i].run([i] { _VEXA_enterTaskAs(100 + i, reinterpret_cast<void const*>(0x1000)); });
  }
  ~team_t() {
    for (worker_t& w : workers) w.run(_VEXA_leaveTask);
  }
  void write(std::size_t i, std::uintptr_t base, std::uintptr_t code) {
    workers[i].run([=] { _VEXA_writeMemoryAt(reinterpret_cast<void const*>(base), 4, reinterpret_cast<void const*>(code)); });
  }
  void enter(std::size_t i, std::uintptr_t function, std::uintptr_t frame) {
    workers[i].run([=] {
      _VEXA_enterFunction(reinterpret_cast<void const*>(function), reinterpret_cast<void const*>(frame));
    });
  }
  std::vector<worker_t> workers;
};

class Distinct : public ::testing::Test {
 protected:
  void SetUp() override {
    set_script(copy_table);
    forget();
  }
  void TearDown() override { set_script(nullptr); }
};

using events = std::vector<vexa_event_reason_t>;

TEST_F(Distinct, SharingPairsOfCodeAddressesAreRaisedOnceAndCounted) {
  set_enable(VEXA_ENABLE_TSM | VEXA_ENABLE_DISTINCT);
  set_guard(VEXA_GUARD_TASK | VEXA_GUARD_MEMORY);
  team_t team(3);
  team.write(0, 0x10000, 0xa00);
  team.write(1, 0x10000, 0xb00);  // (b00, a00): new
  ASSERT_EQ(reasons(), events{VEXA_EVENT_DATA_SHARING});
  EXPECT_EQ(stop(0).detection.u.tsm.offender.task, 101u);
  EXPECT_EQ(stop(0).offended[0].task, 100u);
  EXPECT_EQ(table_at_stop, (std::vector<entry_t>{{256, 0xb00, 0xa00, 1}}));

  // The same two lines on other data: one problem, counted, no stop.
  team.write(0, 0x20000, 0xa00);
  team.write(1, 0x20000, 0xb00);
  EXPECT_EQ(reasons(), events{VEXA_EVENT_DATA_SHARING});

  // Old pair (b00, a00) and new pair (b00, b00): only the new offense stays.
  team.write(2, 0x10000, 0xb00);
  ASSERT_EQ(reasons(), (events{VEXA_EVENT_DATA_SHARING, VEXA_EVENT_DATA_SHARING}));
  stop_t const& s = stop(1);
  ASSERT_EQ(s.entries, 1u);
  EXPECT_EQ(s.offended[0].task, 101u);
  EXPECT_EQ(s.offended[0].code, 0xb00u);
  EXPECT_EQ(s.detection.u.tsm.offender.task, 102u);
  EXPECT_EQ(table_at_stop, (std::vector<entry_t>{{256, 0xb00, 0xa00, 3}, {256, 0xb00, 0xb00, 1}}));
}

TEST_F(Distinct, ReentrantCallIsRaisedOncePerFunctionAndTheBitClearRaisesEvery) {
  set_enable(VEXA_ENABLE_RE | VEXA_ENABLE_DISTINCT);
  set_guard(VEXA_GUARD_TASK | VEXA_GUARD_FUNCTION);
  team_t team(3);
  team.enter(0, 0xf00, 0x8000);
  team.enter(1, 0xf00, 0x8000);
  ASSERT_EQ(reasons(), events{VEXA_EVENT_REENTRANT_CALL});
  EXPECT_EQ(stop(0).offenses[0].task_id, 100u);
  EXPECT_EQ(stop(0).offenses[1].task_id, 101u);
  team.enter(2, 0xf00, 0x8000);
  team.enter(2, 0xe00, 0x7000);
  team.enter(0, 0xe00, 0x7000);
  ASSERT_EQ(reasons(), (events{VEXA_EVENT_REENTRANT_CALL, VEXA_EVENT_REENTRANT_CALL}));
  EXPECT_EQ(stop(1).detection.u.re.function, 0xe00u);
  EXPECT_EQ(table_at_stop, (std::vector<entry_t>{{257, 0xf00, 0, 2}, {257, 0xe00, 0, 1}}));

  set_enable(VEXA_ENABLE_RE);
  team.enter(1, 0xe00, 0x7000);
  EXPECT_EQ(reasons().size(), 3u);
}

}  // namespace
