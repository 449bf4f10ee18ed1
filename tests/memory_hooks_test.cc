// The memory hooks and the sharing rule behind them, driven through
// libvexa.so's exported interface from several threads. Addresses other
// than the road's are made up: the detector compares them and never
// dereferences them.
#include <gtest/gtest.h>
#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <tuple>
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
  explicit team_t(std::size_t n) : workers(n), live(n, true) {
    for (worker_t& w : workers) w.run(_VEXA_enterTask);
  }
  ~team_t() {
    for (std::size_t i = 0; i < workers.size(); ++i)
      if (live[i]) leave(i);
  }
  worker_t& operator[](std::size_t i) { return workers[i]; }
  void leave(std::size_t i) {
    workers[i].run(_VEXA_leaveTask);
    live[i] = false;
  }
  void write(std::size_t i, std::uintptr_t base, unsigned size, std::uintptr_t code) {
    workers[i].run([=] { _VEXA_writeMemoryAt(reinterpret_cast<void const*>(base), size, reinterpret_cast<void const*>(code)); });
  }
  void read(std::size_t i, std::uintptr_t base, unsigned size, std::uintptr_t code) {
    workers[i].run([=] { _VEXA_readMemoryAt(reinterpret_cast<void const*>(base), size, reinterpret_cast<void const*>(code)); });
  }

  std::vector<worker_t> workers;
  std::vector<bool> live;
};

// (access, size, base, task_id, thread, code) of one reported access.
using access_t = std::tuple<std::uint32_t, std::uint32_t, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t>;

access_t as_access(tsm_access_desc_t const& d) { return access_t{d.access, d.size, d.base, d.task, d.thread, d.code}; }
access_t written(worker_t const& w, std::uint64_t base, std::uint32_t size, std::uint64_t code) {
  return access_t{TSM_WRITE, size, base, 0, w.id, code};
}
access_t read_by(worker_t const& w, std::uint64_t base, std::uint32_t size, std::uint64_t code) {
  return access_t{TSM_READ, size, base, 0, w.id, code};
}

std::vector<access_t> offended(stop_t const& s) {
  std::vector<access_t> list;
  for (std::uint32_t i = 0; i < s.entries; ++i) list.push_back(as_access(s.offended[i]));
  return list;
}

std::uint64_t address(void const* p) { return reinterpret_cast<std::uintptr_t>(p); }

// The thread's latest stored code address, as the debugger sees it: a
// ping posted now is served by the worker's next hook call, whose stop
// carries that thread's code. The function hooks' guard bit is clear in
// these tests, so the call does nothing else.
std::uint64_t code_of(worker_t& w) {
  std::size_t const before = recorded();
  post(VEXA_PENDING_PING);
  w.run([] { _VEXA_leaveFunction(nullptr, nullptr); });
  for (std::size_t i = before; i < recorded(); ++i)
    if (stop(i).reason == VEXA_EVENT_ALIVE) return stop(i).detection.code;
  ADD_FAILURE() << "the ping was not served";
  return 0;
}

using events = std::vector<vexa_event_reason_t>;
events const one_detection{VEXA_EVENT_DATA_SHARING};
events const nothing{};

class DetectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_enable(VEXA_ENABLE_TSM);
    set_guard(VEXA_GUARD_TASK | VEXA_GUARD_MEMORY);
    forget();
  }
};
using RoadOfOneDetection = DetectionTest;
using MemoryHooks = DetectionTest;
using SharingRule = DetectionTest;
using OffenseOrder = DetectionTest;

int shared_word;

TEST_F(RoadOfOneDetection, ReadAfterWriteOfLiveTaskStopsWithBothAccesses) {
  team_t team(2);
  void const* const x = &shared_word;
  team[0].run([x] { call_site_1(reinterpret_cast<void const*>(&_VEXA_writeMemory), x, 4); });
  EXPECT_EQ(reasons(), nothing);
  team[1].run([x] {
    call_site_2(reinterpret_cast<void const*>(&_VEXA_readMemory), static_cast<char const*>(x) + 2, 2);
  });

  ASSERT_EQ(reasons(), one_detection);
  stop_t const& s = stop(0);
  EXPECT_EQ(s.thread, team[1].id);
  EXPECT_EQ(s.detection.code, address(call_site_2_return));
  EXPECT_EQ(as_access(s.detection.u.tsm.offender), read_by(team[1], address(x) + 2, 2, address(call_site_2_return)));
  EXPECT_EQ(s.detection.u.tsm.count, 1u);
  EXPECT_NE(s.detection.u.tsm.offended, 0u);
  EXPECT_EQ(offended(s), std::vector<access_t>{written(team[0], address(x), 4, address(call_site_1_return))});
}

TEST_F(RoadOfOneDetection, WriteAfterReadStopsAtTheWritingCall) {
  team_t team(2);
  void const* const x = &shared_word;
  team[0].run([x] { call_site_1(reinterpret_cast<void const*>(&_VEXA_readMemory), x, 4); });
  team[1].run([x] { call_site_2(reinterpret_cast<void const*>(&_VEXA_writeMemory), x, 4); });

  ASSERT_EQ(reasons(), one_detection);
  stop_t const& s = stop(0);
  EXPECT_EQ(s.detection.code, address(call_site_2_return));
  EXPECT_EQ(as_access(s.detection.u.tsm.offender), written(team[1], address(x), 4, address(call_site_2_return)));
  EXPECT_EQ(offended(s), std::vector<access_t>{read_by(team[0], address(x), 4, address(call_site_1_return))});
}

TEST_F(RoadOfOneDetection, RecordKeepsTheLastDetectionAfterTheStop) {
  team_t team(2);
  team.write(0, 0x10000, 4, 0x400);
  team.read(1, 0x10000, 4, 0x410);
  ASSERT_EQ(reasons(), one_detection);
  vexa_detection_t const& during = stop(0).detection;
  vexa_detection_t const after = __vexa_current_detection;
  EXPECT_EQ(as_access(after.u.tsm.offender), as_access(during.u.tsm.offender));
  EXPECT_EQ(after.u.tsm.count, 1u);
  EXPECT_EQ(after.u.tsm.offended, during.u.tsm.offended);
}

TEST_F(MemoryHooks, GuardBitClearLogsNothingAndStoresNoCode) {
  team_t team(2);
  team.write(0, 0x10000, 4, 0x400);  // stores 0x400 as worker 0's code
  set_guard(VEXA_GUARD_TASK);
  team.write(0, 0x20000, 4, 0x500);
  EXPECT_EQ(code_of(team[0]), 0x400u);
  set_guard(VEXA_GUARD_TASK | VEXA_GUARD_MEMORY);
  forget();
  team.read(1, 0x20000, 4, 0x600);
  EXPECT_EQ(reasons(), nothing);
}

TEST_F(MemoryHooks, SharingBitClearLogsNothingAndStoresNoCode) {
  team_t team(2);
  team.write(0, 0x10000, 4, 0x400);
  set_enable(0);
  team.write(0, 0x20000, 4, 0x500);
  EXPECT_EQ(code_of(team[0]), 0x400u);
  set_enable(VEXA_ENABLE_TSM);
  forget();
  team.read(1, 0x20000, 4, 0x600);
  EXPECT_EQ(reasons(), nothing);
}

TEST_F(MemoryHooks, FirstAccessWithoutLiveTaskSwitchesTheHooksOff) {
  _VEXA_writeMemory(&shared_word, 4);
  EXPECT_EQ(__VEXA_isGuardedCall, VEXA_GUARD_TASK);
  {
    team_t team(1);  // entered with the sharing detector on: back on
    EXPECT_EQ(__VEXA_isGuardedCall, VEXA_GUARD_TASK | VEXA_GUARD_MEMORY);
  }
  EXPECT_EQ(__VEXA_isGuardedCall, VEXA_GUARD_TASK);
}

TEST_F(MemoryHooks, RepeatedAccessFromOnePlaceIsLoggedOnce) {
  team_t team(2);
  team.write(0, 0x10000, 4, 0x400);
  team.write(0, 0x10000, 4, 0x400);
  team.read(0, 0x10000, 4, 0x410);
  EXPECT_EQ(reasons(), nothing);
  team.read(1, 0x10000, 4, 0x500);
  ASSERT_EQ(reasons(), one_detection);
  EXPECT_EQ(offended(stop(0)), std::vector<access_t>{written(team[0], 0x10000, 4, 0x400)});
}

// A repeat that its thread found clean before is checked again once
// another task logged into the object, or an overlapping object appeared.
TEST_F(MemoryHooks, RepeatedAccessIsCheckedAgainOnceTheObjectChanged) {
  team_t team(3);
  for (int i = 0; i < 2; ++i) {
    team.read(0, 0x10000, 4, 0x400);
    team.write(0, 0x20000, 4, 0x410);
  }
  team.write(1, 0x10000, 4, 0x500);
  team.read(2, 0x1fffc, 8, 0x600);
  team.read(0, 0x10000, 4, 0x400);
  team.write(0, 0x20000, 4, 0x410);
  ASSERT_EQ(reasons(), (events(4, VEXA_EVENT_DATA_SHARING)));
  EXPECT_EQ(offended(stop(2)), std::vector<access_t>{written(team[1], 0x10000, 4, 0x500)});
  EXPECT_EQ(offended(stop(3)), std::vector<access_t>{read_by(team[2], 0x1fffc, 8, 0x600)});
}

// Past what the thread's cache holds, repeats are known by the stamps they
// leave in shadow memory; a change to the object ends its stamp too.
TEST_F(MemoryHooks, RepeatsBeyondTheCacheAreCheckedAgainOnceTheObjectChanged) {
  team_t team(2);
  for (int pass = 0; pass < 3; ++pass)
    for (std::uintptr_t i = 0; i < 4096; ++i) team.read(0, 0x100000 + 8 * i, 4, 0x400);
  EXPECT_EQ(reasons(), nothing);
  team.write(1, 0x100320, 4, 0x500);
  team.read(0, 0x100320, 4, 0x400);
  ASSERT_EQ(reasons(), (events(2, VEXA_EVENT_DATA_SHARING)));
  EXPECT_EQ(offended(stop(1)), std::vector<access_t>{written(team[1], 0x100320, 4, 0x500)});
}

// Freed memory takes the task's accesses away with the stamps: the same
// read again is logged again, and a later write of another task meets it.
TEST_F(MemoryHooks, AStampEndsWhenItsObjectIsForgotten) {
  team_t team(2);
  for (int pass = 0; pass < 3; ++pass)
    for (std::uintptr_t i = 0; i < 4096; ++i) team.read(0, 0x100000 + 8 * i, 4, 0x400);
  team[0].run([] { _VEXA_forgetMemory(reinterpret_cast<void const*>(0x100320), reinterpret_cast<void const*>(0x100324)); });
  team.read(0, 0x100320, 4, 0x400);
  team.write(1, 0x100320, 4, 0x500);
  ASSERT_EQ(reasons(), one_detection);
  EXPECT_EQ(offended(stop(0)), std::vector<access_t>{read_by(team[0], 0x100320, 4, 0x400)});
}

TEST_F(SharingRule, EveryConflictingAccessIsAStopOfItsOwn) {
  team_t team(2);
  team.write(0, 0x10000, 4, 0x400);
  team.write(0, 0x20000, 4, 0x410);
  team.read(1, 0x10000, 4, 0x500);
  team.read(1, 0x20000, 4, 0x510);
  ASSERT_EQ(reasons(), (events{VEXA_EVENT_DATA_SHARING, VEXA_EVENT_DATA_SHARING}));
  EXPECT_EQ(as_access(stop(1).detection.u.tsm.offender), read_by(team[1], 0x20000, 4, 0x510));
  EXPECT_EQ(offended(stop(1)), std::vector<access_t>{written(team[0], 0x20000, 4, 0x410)});
}

TEST_F(SharingRule, ReadersAloneNeverConflict) {
  team_t team(2);
  team.read(0, 0x10000, 4, 0x400);
  team.read(1, 0x10000, 4, 0x500);
  team.read(0, 0x10000, 4, 0x410);
  EXPECT_EQ(reasons(), nothing);
}

TEST_F(SharingRule, OverlappingObjectsOfDifferentShapeConflict) {
  team_t team(2);
  team.write(0, 0x10000, 8, 0x400);
  team.read(1, 0x10004, 4, 0x500);
  ASSERT_EQ(reasons(), one_detection);
  EXPECT_EQ(offended(stop(0)), std::vector<access_t>{written(team[0], 0x10000, 8, 0x400)});
}

TEST_F(SharingRule, AdjacentObjectsDoNotConflict) {
  team_t team(2);
  team.write(0, 0x10000, 4, 0x400);
  team.write(1, 0x10004, 4, 0x500);
  team.write(1, 0x0fffc, 4, 0x510);
  EXPECT_EQ(reasons(), nothing);
}

TEST_F(SharingRule, TaskThatLeftIsForgotten) {
  team_t team(2);
  team.write(0, 0x10000, 4, 0x400);
  team.leave(0);
  team.read(1, 0x10000, 4, 0x500);
  EXPECT_EQ(reasons(), nothing);
}

// Forgetting a small range looks first, without a lock, at counts per page
// of what lies there: an object in one page, one across a page boundary and
// one over many pages are each forgotten; the last one, kept, conflicts.
TEST_F(SharingRule, ForgottenObjectsConflictWithNothingWhateverPagesTheyCover) {
  team_t team(2);
  struct {
    std::uintptr_t base;
    unsigned size;
  } const objects[] = {{0x50010, 8}, {0x50ffc, 8}, {0x60000, 0x9000}, {0x80000, 4}};
  for (auto const& o : objects) team.write(0, o.base, o.size, 0x400);
  for (std::size_t i = 0; i + 1 < std::size(objects); ++i)
    team[0].run([o = objects[i]] {
      _VEXA_forgetMemory(reinterpret_cast<void const*>(o.base), reinterpret_cast<void const*>(o.base + o.size));
    });
  for (auto const& o : objects) team.write(1, o.base, o.size, 0x500);
  ASSERT_EQ(reasons(), one_detection);
  EXPECT_EQ(offended(stop(0)), std::vector<access_t>{written(team[0], 0x80000, 4, 0x400)});
}

// The detector's structure is split by megabyte of address space: an
// object across a megabyte boundary, or over more megabytes than there are
// shards, meets what lies in any of them, and a forget of a range of many
// megabytes, most of them empty, takes away what lies in it.
TEST_F(SharingRule, ObjectsOverSeveralMegabytesMeetAndAreForgottenAsOne) {
  team_t team(3);
  team.write(0, 0x1ffff8, 16, 0x400);
  team.write(0, 0x3000000, 0x1800000, 0x410);
  team.write(1, 0x1ffffc, 4, 0x500);
  team.write(1, 0x200004, 4, 0x510);
  team.write(1, 0x4000000, 4, 0x520);
  team.write(1, 0x47ffffc, 4, 0x530);
  ASSERT_EQ(reasons(), events(4, VEXA_EVENT_DATA_SHARING));
  EXPECT_EQ(offended(stop(1)), std::vector<access_t>{written(team[0], 0x1ffff8, 16, 0x400)});
  EXPECT_EQ(offended(stop(3)), std::vector<access_t>{written(team[0], 0x3000000, 0x1800000, 0x410)});
  forget();
  team[2].run([] { _VEXA_forgetMemory(reinterpret_cast<void const*>(0x100000), reinterpret_cast<void const*>(0x8000000)); });
  team.write(2, 0x1ffffc, 4, 0x600);
  team.write(2, 0x4000000, 4, 0x610);
  EXPECT_EQ(reasons(), nothing);
}

// A wide read that starts further below a write than any write so far was
// wide is still found, whatever object lies in between.
TEST_F(SharingRule, ObjectInBetweenDoesNotHideAWideReadFurtherDown) {
  team_t team(3);
  team.read(0, 0x10000, 16, 0x400);
  team.read(2, 0x10002, 1, 0x600);
  team.write(1, 0x10008, 4, 0x500);
  ASSERT_EQ(reasons(), one_detection);
  EXPECT_EQ(offended(stop(0)), std::vector<access_t>{read_by(team[0], 0x10000, 16, 0x400)});
}

TEST_F(SharingRule, WideReadBelowTheWindowIsReportedWhenNothingIsInBetween) {
  team_t team(2);
  team.read(0, 0x10000, 16, 0x400);
  team.write(1, 0x10008, 4, 0x500);
  ASSERT_EQ(reasons(), one_detection);
  EXPECT_EQ(offended(stop(0)), std::vector<access_t>{read_by(team[0], 0x10000, 16, 0x400)});
}

// A wide write raises the window to its size. The window's lower bound
// stops at address 0 rather than wrapping around: a wrapped bound would
// end the walk at once and hide the write the access lies inside.
TEST_F(SharingRule, WindowReachingBelowAddressZeroStillFindsTheWideWrite) {
  team_t team(2);
  team.write(0, 0x800, 0x1000, 0x400);
  team.read(1, 0x900, 4, 0x500);
  ASSERT_EQ(reasons(), one_detection);
  EXPECT_EQ(offended(stop(0)), std::vector<access_t>{written(team[0], 0x800, 0x1000, 0x400)});
}

// An access of size 0 covers no byte of an object that starts at its own
// base; it lies inside one that starts below and reaches past it.
TEST_F(SharingRule, EmptyAccessMeetsOnlyObjectsReachingOverItsBase) {
  team_t team(2);
  team.write(0, 0x0fffe, 4, 0x400);
  team.write(0, 0x10000, 4, 0x410);
  team.write(0, 0x0fffc, 4, 0x420);
  team.write(1, 0x10000, 0, 0x500);
  ASSERT_EQ(reasons(), one_detection);
  stop_t const& s = stop(0);
  EXPECT_EQ(as_access(s.detection.u.tsm.offender), written(team[1], 0x10000, 0, 0x500));
  EXPECT_EQ(offended(s), std::vector<access_t>{written(team[0], 0x0fffe, 4, 0x400)});
}

TEST_F(OffenseOrder, TasksAscendingByHandleThenCodeAddressesAscending) {
  team_t team(8);  // worker i runs the task with handle i + 1
  team.write(7, 0x10000, 4, 0x700);  // the offender's own write never appears
  team.write(6, 0x10000, 4, 0x500);
  team.write(6, 0x10000, 4, 0x400);
  team.write(6, 0x10000, 4, 0x480);
  team.write(2, 0x10000, 4, 0x600);
  forget();
  team.read(7, 0x10000, 4, 0x800);
  ASSERT_EQ(reasons(), one_detection);
  EXPECT_EQ(offended(stop(0)), (std::vector<access_t>{written(team[2], 0x10000, 4, 0x600),
                                                      written(team[6], 0x10000, 4, 0x400),
                                                      written(team[6], 0x10000, 4, 0x480),
                                                      written(team[6], 0x10000, 4, 0x500)}));
}

TEST_F(OffenseOrder, WritesBeforeReadsAndReadsOnlyForAWrite) {
  team_t team(6);
  team.read(4, 0x10000, 4, 0x500);   // task 5 reads
  team.write(1, 0x10000, 4, 0x200);  // task 2 writes
  team.read(4, 0x20000, 4, 0x500);
  team.write(1, 0x20000, 4, 0x200);
  forget();

  team.write(5, 0x10000, 4, 0x600);
  team.read(0, 0x20000, 4, 0x100);
  ASSERT_EQ(reasons(), (events{VEXA_EVENT_DATA_SHARING, VEXA_EVENT_DATA_SHARING}));
  EXPECT_EQ(offended(stop(0)),
            (std::vector<access_t>{written(team[1], 0x10000, 4, 0x200), read_by(team[4], 0x10000, 4, 0x500)}));
  EXPECT_EQ(offended(stop(1)), std::vector<access_t>{written(team[1], 0x20000, 4, 0x200)});
}

TEST_F(OffenseOrder, LowerOverlappingObjectFirst) {
  team_t team(3);
  team.write(0, 0x10004, 4, 0x100);
  team.write(1, 0x10000, 8, 0x200);
  forget();
  team.read(2, 0x10004, 2, 0x300);
  ASSERT_EQ(reasons(), one_detection);
  EXPECT_EQ(offended(stop(0)),
            (std::vector<access_t>{written(team[1], 0x10000, 8, 0x200), written(team[0], 0x10004, 4, 0x100)}));
}

// Runs of several offenses, found in no particular order, come out by
// object with each object's own offenses together.
TEST_F(OffenseOrder, EveryOverlappingObjectInAddressOrderEachWithItsOffensesTogether) {
  team_t team(4);
  team.write(0, 0x10008, 4, 0x100);
  team.write(1, 0x10008, 4, 0x110);
  team.write(2, 0x10000, 16, 0x200);
  team.write(0, 0x10004, 4, 0x120);
  forget();
  team.read(3, 0x10004, 8, 0x300);
  ASSERT_EQ(reasons(), one_detection);
  EXPECT_EQ(offended(stop(0)),
            (std::vector<access_t>{written(team[2], 0x10000, 16, 0x200), written(team[0], 0x10004, 4, 0x120),
                                   written(team[0], 0x10008, 4, 0x100), written(team[1], 0x10008, 4, 0x110)}));
}

// The race rule's additions: atomics, locks, finished tasks, a registered
// order and forgotten memory, on one thread: tasks one after the other are
// exactly what the sharing rule alone cannot tell apart.
using RaceRule = DetectionTest;

void const* at(std::uintptr_t a) { return reinterpret_cast<void const*>(a); }

TEST_F(RaceRule, AtomicsConflictOnlyWithPlainAccessesAndCommonLocksHideConflicts) {
  team_t team(2);
  team[0].run([] { _VEXA_writeAtomicAt(at(0x10000), 4, at(0x400)); });
  team[1].run([] { _VEXA_writeAtomicAt(at(0x10000), 4, at(0x500)); });
  EXPECT_EQ(reasons(), nothing);
  team.read(1, 0x10000, 4, 0x510);
  EXPECT_EQ(reasons(), one_detection);
  forget();

  team[0].run([] {
    _VEXA_acquireLock(at(0xa));
    _VEXA_acquireLock(at(0xa));  // nested: still held after one release
    _VEXA_releaseLock(at(0xa));
    _VEXA_writeMemoryAt(at(0x20000), 4, at(0x410));
    _VEXA_releaseLock(at(0xa));
  });
  team[1].run([] {
    _VEXA_acquireLock(at(0xa));
    _VEXA_writeMemoryAt(at(0x20000), 4, at(0x520));
    _VEXA_releaseLock(at(0xa));
  });
  EXPECT_EQ(reasons(), nothing);
  team.write(1, 0x20000, 4, 0x530);  // the lock no longer held
  EXPECT_EQ(reasons(), one_detection);
}

TEST_F(RaceRule, FinishedTaskKeepsItsAccessesUntilAbsorbedOrReleased) {
  _VEXA_enterTaskAs(10, at(0x100));
  _VEXA_enterTaskAs(1, at(0x200));
  _VEXA_writeMemoryAt(at(0x10000), 4, at(0x210));
  _VEXA_finishTaskAt(at(0x220));
  _VEXA_enterTaskAs(2, at(0x300));
  _VEXA_readMemoryAt(at(0x10000), 4, at(0x310));
  _VEXA_leaveTaskAt(at(0x320));
  ASSERT_EQ(reasons(), one_detection);
  EXPECT_EQ(stop(0).offended[0].task, 1u);
  forget();

  // Absorbed: the write is task 10's own now, which it may read.
  _VEXA_absorbTask(1);
  _VEXA_readMemoryAt(at(0x10000), 4, at(0x110));
  _VEXA_enterTaskAs(3, at(0x400));
  _VEXA_readMemoryAt(at(0x10000), 4, at(0x410));
  _VEXA_leaveTaskAt(at(0x420));
  ASSERT_EQ(reasons(), one_detection);
  EXPECT_EQ(stop(0).offended[0].task, 10u);
  forget();

  _VEXA_enterTaskAs(4, at(0x500));
  _VEXA_writeMemoryAt(at(0x20000), 4, at(0x510));
  _VEXA_finishTaskAt(at(0x520));
  _VEXA_releaseTask(4);
  _VEXA_readMemoryAt(at(0x20000), 4, at(0x120));
  _VEXA_releaseTask(4);  // not finished (any more)
  EXPECT_EQ(reasons(), events{VEXA_ERROR_INVALID_PARAMETER});
  _VEXA_leaveTaskAt(at(0x130));
}

// Only live tasks hold the 65,535 handles: a producer that never waits for
// its tasks still has every one of them compared.
TEST_F(RaceRule, AnyNumberOfFinishedTasksStayComparedWithoutHoldingHandles) {
  _VEXA_enterTaskAs(1, at(0x100));
  constexpr std::uint64_t unjoined = 70000;
  for (std::uint64_t id = 2; id < 2 + unjoined; ++id) {
    _VEXA_enterTaskAs(id, at(0x200));
    _VEXA_writeMemoryAt(at(id == 2 ? 0x10000 : 0x100000 + 8 * id), 4, at(0x210));
    _VEXA_finishTaskAt(at(0x220));
  }
  _VEXA_enterTaskAs(unjoined + 2, at(0x300));
  _VEXA_readMemoryAt(at(0x10000), 4, at(0x310));
  _VEXA_leaveTaskAt(at(0x320));
  ASSERT_EQ(reasons(), one_detection) << "no handle overflow, and the first task's write is still there";
  EXPECT_EQ(stop(0).offended[0].task, 2u);
  EXPECT_EQ(stop(0).offended[0].code, address(at(0x210)));
  forget();
  _VEXA_absorbTask(2);
  for (std::uint64_t id = 3; id < 2 + unjoined; ++id) _VEXA_releaseTask(id);
  _VEXA_enterTaskAs(unjoined + 3, at(0x400));
  _VEXA_readMemoryAt(at(0x10000), 4, at(0x410));
  _VEXA_writeMemoryAt(at(0x100000 + 8 * 3), 4, at(0x420));
  _VEXA_leaveTaskAt(at(0x430));
  ASSERT_EQ(reasons(), one_detection) << "absorbed: the write is task 1's now";
  EXPECT_EQ(stop(0).offended[0].task, 1u);
  forget();
  _VEXA_leaveTaskAt(at(0x130));
  EXPECT_EQ(reasons(), nothing);
}

std::uint64_t last_step_asked;
void const* last_place_asked;
int ordered_up_to_five(void const* place, std::uint64_t step) {
  last_place_asked = place;
  last_step_asked = step;
  return step <= 5;
}

TEST_F(RaceRule, RegisteredOrderDecidesBetweenPlacedTasksAndForgottenMemoryConflictsWithNothing) {
  _VEXA_orderTasksBy(ordered_up_to_five);
  _VEXA_enterTaskAs(1, at(0x200));
  _VEXA_placeTask(at(0xabc), 3);
  _VEXA_writeMemoryAt(at(0x10000), 4, at(0x210));
  _VEXA_placeTask(at(0xabc), 7);
  _VEXA_writeMemoryAt(at(0x20000), 4, at(0x220));
  _VEXA_writeMemoryAt(at(0x30000), 4, at(0x230));
  _VEXA_finishTaskAt(at(0x240));
  _VEXA_enterTaskAs(2, at(0x300));
  _VEXA_readMemoryAt(at(0x10000), 4, at(0x310));
  EXPECT_EQ(reasons(), nothing);
  EXPECT_EQ(last_place_asked, at(0xabc));
  EXPECT_EQ(last_step_asked, 3u);
  _VEXA_readMemoryAt(at(0x20000), 4, at(0x320));
  EXPECT_EQ(reasons(), one_detection);
  EXPECT_EQ(last_step_asked, 7u);
  forget();
  _VEXA_forgetMemory(at(0x30000), at(0x30004));
  _VEXA_writeMemoryAt(at(0x30000), 4, at(0x330));
  EXPECT_EQ(reasons(), nothing);
  _VEXA_leaveTaskAt(at(0x340));
  _VEXA_releaseTask(1);
  _VEXA_orderTasksBy(nullptr);
}

}  // namespace
