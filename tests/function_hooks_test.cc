// The function hooks and the reentrant call detection behind them, driven
// through libvexa.so's exported interface from several threads. Frames are
// made up: the detector only orders them.
#include <gtest/gtest.h>
#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "support/debugger.h"
#include "support/call_site.h"
#include "support/worker.h"

using namespace vexa_test;

DEFINE_CALL_SITE(1)
DEFINE_CALL_SITE(2)

namespace {

// n workers, each running one task. They enter in worker order while no
// other task lives, so worker i's task has handle i + 1.
struct team_t {
  explicit team_t(std::size_t n) : workers(n) {
    for (worker_t& w : workers) w.run(_VEXA_enterTask);
  }
  ~team_t() {
    for (worker_t& w : workers) w.run(_VEXA_leaveTask);
  }
  worker_t& operator[](std::size_t i) { return workers[i]; }
  void enter(std::size_t i, void const* function, std::uintptr_t frame) {
    workers[i].run([=] { _VEXA_enterFunction(function, reinterpret_cast<void const*>(frame)); });
  }
  void leave(std::size_t i, void const* function, std::uintptr_t frame) {
    workers[i].run([=] { _VEXA_leaveFunction(function, reinterpret_cast<void const*>(frame)); });
  }

  std::vector<worker_t> workers;
};

using identities = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

identities listed(stop_t const& s) {
  identities list;
  for (std::uint32_t i = 0; i < s.entries; ++i) list.emplace_back(s.offenses[i].task_id, s.offenses[i].thread);
  return list;
}

std::pair<std::uint64_t, std::uint64_t> identity(worker_t const& w) { return {0, w.id}; }

std::uint64_t address(void const* p) { return reinterpret_cast<std::uintptr_t>(p); }

// The thread's latest stored code address, as the debugger sees it: a
// ping posted now is served by the worker's next hook call, whose stop
// carries that thread's code. The memory hooks' guard bit is clear in
// these tests, so the call does nothing else.
std::uint64_t code_of(worker_t& w) {
  std::size_t const before = recorded();
  post(VEXA_PENDING_PING);
  w.run([] { _VEXA_readMemory(nullptr, 0); });
  for (std::size_t i = before; i < recorded(); ++i)
    if (stop(i).reason == VEXA_EVENT_ALIVE) return stop(i).detection.code;
  ADD_FAILURE() << "the ping was not served";
  return 0;
}

void parse() {}
void format() {}
void const* const f = reinterpret_cast<void const*>(&parse);
void const* const g = reinterpret_cast<void const*>(&format);

using events = std::vector<vexa_event_reason_t>;
events const one_detection{VEXA_EVENT_REENTRANT_CALL};
events const nothing{};

class DetectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_enable(VEXA_ENABLE_RE);
    set_guard(VEXA_GUARD_TASK | VEXA_GUARD_FUNCTION);
    forget();
  }
};
using RoadOfOneDetection = DetectionTest;
using FunctionHooks = DetectionTest;

TEST_F(RoadOfOneDetection, ReentrantCallListsOtherTasksByHandleThenTheCaller) {
  team_t team(3);  // handles 1, 2, 3
  team[0].run([] { call_site_1(reinterpret_cast<void const*>(&_VEXA_enterFunction), f, 0x8000); });
  EXPECT_EQ(reasons(), nothing);
  team.enter(2, f, 0x9000);
  ASSERT_EQ(reasons(), one_detection);
  EXPECT_EQ(listed(stop(0)), (identities{identity(team[0]), identity(team[2])}));
  forget();

  team[1].run([] { call_site_2(reinterpret_cast<void const*>(&_VEXA_enterFunction), f, 0xa000); });
  ASSERT_EQ(reasons(), one_detection);
  stop_t const& s = stop(0);
  EXPECT_EQ(s.thread, team[1].id);
  EXPECT_EQ(s.detection.code, address(call_site_2_return));
  EXPECT_EQ(s.detection.u.re.function, address(f));
  EXPECT_EQ(s.detection.u.re.count, 3u);
  EXPECT_NE(s.detection.u.re.offenses, 0u);
  EXPECT_EQ(listed(s), (identities{identity(team[0]), identity(team[2]), identity(team[1])}));
  // The caller's latest code address is the call that raised the event;
  // the first task's is still its own entry.
  EXPECT_EQ(code_of(team[0]), address(call_site_1_return));
}

TEST_F(RoadOfOneDetection, RecursionInsideOneTaskIsNoReentrantCall) {
  team_t team(2);
  team.enter(1, g, 0x8000);
  team.enter(0, f, 0x9000);
  team.enter(0, f, 0x8f00);
  team.enter(0, f, 0x8e00);
  team.leave(0, f, 0x8e00);
  EXPECT_EQ(reasons(), nothing);
}

TEST_F(FunctionHooks, GuardBitClearTouchesNeitherDetectorNorCode) {
  team_t team(2);
  team.enter(1, g, 0x9000);
  team[1].run([] { call_site_1(reinterpret_cast<void const*>(&_VEXA_leaveFunction), g, 0x9000); });
  set_guard(VEXA_GUARD_TASK);
  team.enter(0, f, 0x9000);
  team[1].run([] { call_site_2(reinterpret_cast<void const*>(&_VEXA_enterFunction), f, 0x9000); });
  EXPECT_EQ(reasons(), nothing);
  EXPECT_EQ(code_of(team[1]), address(call_site_1_return));

  set_guard(VEXA_GUARD_TASK | VEXA_GUARD_FUNCTION);
  forget();
  team.enter(1, f, 0x9000);  // the first task's activation was never recorded
  EXPECT_EQ(reasons(), nothing);
}

TEST_F(FunctionHooks, ReentrancyBitClearTouchesNeitherDetectorNorCode) {
  team_t team(2);
  team[1].run([] { call_site_1(reinterpret_cast<void const*>(&_VEXA_enterFunction), g, 0x9000); });
  set_enable(VEXA_ENABLE_TSM);
  team.enter(0, f, 0x9000);
  team[1].run([] { call_site_2(reinterpret_cast<void const*>(&_VEXA_enterFunction), f, 0x8000); });
  EXPECT_EQ(reasons(), nothing);
  EXPECT_EQ(code_of(team[1]), address(call_site_1_return));

  set_enable(VEXA_ENABLE_RE);
  forget();
  team.enter(1, f, 0x8000);
  EXPECT_EQ(reasons(), nothing);
}

// A leave that matches nothing recorded is checked like an entry, as long
// as the task still has activations on record.
TEST_F(FunctionHooks, UnmatchedLeaveIsCheckedWhileTheTaskHasOpenActivations) {
  team_t team(2);
  team.enter(0, f, 0x9000);
  team.enter(1, g, 0x9000);
  set_enable(0);
  team.enter(1, f, 0x8f00);
  set_enable(VEXA_ENABLE_RE);
  team.leave(1, f, 0x8f00);
  ASSERT_EQ(reasons(), one_detection);
  EXPECT_EQ(listed(stop(0)), (identities{identity(team[0]), identity(team[1])}));
}

TEST_F(FunctionHooks, UnmatchedLeaveOfATaskWithNothingOpenIsIgnored) {
  team_t team(2);
  team.enter(0, f, 0x9000);
  set_enable(0);
  team.enter(1, f, 0x8f00);
  set_enable(VEXA_ENABLE_RE);
  team.leave(1, f, 0x8f00);
  EXPECT_EQ(reasons(), nothing);
}

TEST_F(FunctionHooks, LeaveOfTheNewestActivationIsNeverChecked) {
  team_t team(2);
  team.enter(0, f, 0x9000);
  team.enter(1, f, 0x9000);
  forget();
  team.leave(1, f, 0x9000);
  EXPECT_EQ(reasons(), nothing);
  team.enter(1, g, 0x9000);
  team.leave(1, g, 0x9000);  // closes g in the second task
  team.enter(0, g, 0x8f00);
  EXPECT_EQ(reasons(), nothing);
}

TEST_F(FunctionHooks, ThreadWithoutTaskIsIgnored) {
  team_t team(1);
  worker_t outsider;
  outsider.run([] { _VEXA_enterFunction(f, reinterpret_cast<void const*>(0x9000)); });
  team.enter(0, f, 0x9000);
  EXPECT_EQ(reasons(), nothing);
}

TEST_F(FunctionHooks, LeftTaskIsForgotten) {
  team_t team(1);
  worker_t gone;  // its task gets handle 2, which no later task reuses here
  gone.run(_VEXA_enterTask);
  gone.run([] { _VEXA_enterFunction(f, reinterpret_cast<void const*>(0x9000)); });
  gone.run(_VEXA_leaveTask);
  team.enter(0, f, 0x9000);
  EXPECT_EQ(reasons(), nothing);
}

}  // namespace
