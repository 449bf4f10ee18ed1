// The reentrancy detector: which entries and leaves raise event 257, whom
// its list names and in which order, how stale activations are dropped, and
// the filter gate. The detector is driven directly with task handles; the
// thread model is filled by the test; every stop lands in the in-process
// debugger.
#include <gtest/gtest.h>

#include <pthread.h>
#include <stdlib.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/debugger.h"
#include "vexa/runtime.h"

namespace {

using vexa_test::forget;
using vexa_test::reasons;
using vexa_test::stop;
using vexa_test::stop_t;

void const* at(std::uintptr_t a) { return reinterpret_cast<void const*>(a); }

void const* const f = at(0x8049000);
void const* const g = at(0x8049400);
void const* const h = at(0x8049800);

// Stack addresses: deeper activations are lower.
void const* frame(unsigned depth) { return at(0xbf800000u - depth * 0x40u); }

// The identity the thread model holds for handle n: thread 1000 + n.
unsigned long thread_of(unsigned short n) { return 1000ul + n; }

std::vector<std::uint64_t> listed_threads(stop_t const& s) {
  std::vector<std::uint64_t> threads;
  for (std::uint32_t i = 0; i < s.entries; ++i) {
    EXPECT_EQ(s.offenses[i].task_id, 0u);
    threads.push_back(s.offenses[i].thread);
  }
  return threads;
}

class Reentrancy : public ::testing::Test {
 protected:
  void SetUp() override {
    re.install_filter(nullptr);
    re.reset();
    vexa::vexa.threads.clear();
    for (unsigned short n = 1; n <= 4; ++n) vexa::vexa.threads[n] = {0, thread_of(n)};
    forget();
  }

  // The one 257 stop since the last forget(), with its function and list.
  void expect_one_stop(void const* function, std::vector<std::uint64_t> const& threads) {
    ASSERT_EQ(reasons(), std::vector<vexa_event_reason_t>{VEXA_EVENT_REENTRANT_CALL});
    EXPECT_EQ(stop(0).detection.u.re.function, reinterpret_cast<std::uintptr_t>(function));
    EXPECT_EQ(stop(0).detection.u.re.count, threads.size());
    EXPECT_EQ(listed_threads(stop(0)), threads);
    forget();
  }

  std::vector<void const*> open_functions(unsigned short task) {
    std::vector<void const*> functions;
    for (auto const& a : re.activations_of(task)) functions.push_back(a.function);
    return functions;
  }

  vexa::re_t& re = vexa::vexa.re;
};

TEST_F(Reentrancy, RecursionInsideOneTaskIsNeverReported) {
  for (unsigned depth = 0; depth < 64; ++depth) re.enter(1, f, frame(depth));
  for (unsigned depth = 64; depth-- > 32;) re.leave(1, f, frame(depth));
  for (unsigned depth = 32; depth < 40; ++depth) re.enter(1, f, frame(depth));
  EXPECT_EQ(open_functions(1).size(), 40u);
  EXPECT_TRUE(reasons().empty());
}

TEST_F(Reentrancy, EntryIntoAFunctionOpenInAnotherTaskListsTheOwnerThenTheCaller) {
  re.enter(1, f, frame(1));
  EXPECT_TRUE(reasons().empty());
  re.enter(2, f, frame(1));
  expect_one_stop(f, {thread_of(1), thread_of(2)});
}

TEST_F(Reentrancy, OtherTasksAreListedInHandleOrderAndEachOnce) {
  re.enter(3, f, frame(1));
  re.enter(1, f, frame(1));
  expect_one_stop(f, {thread_of(3), thread_of(1)});
  re.enter(1, f, frame(2));  // recursion in task 1: still one entry for it
  expect_one_stop(f, {thread_of(3), thread_of(1)});
  re.enter(2, f, frame(1));
  expect_one_stop(f, {thread_of(1), thread_of(3), thread_of(2)});
}

// More holders than a report keeps in place: an entry and a leave that
// matches no activation each count them all, listed in handle order (the
// recorded stop keeps the first 16).
TEST_F(Reentrancy, AReportListsEveryHolderHoweverMany) {
  for (unsigned short n = 1; n <= 42; ++n) vexa::vexa.threads[n] = {0, thread_of(n)};
  for (unsigned short n = 1; n <= 40; ++n) re.enter(n, f, frame(1));
  re.enter(42, h, frame(1));
  forget();
  auto expect_stop_listing = [&](std::size_t count) {
    ASSERT_EQ(reasons(), std::vector<vexa_event_reason_t>{VEXA_EVENT_REENTRANT_CALL});
    EXPECT_EQ(stop(0).detection.u.re.count, count);
    std::vector<std::uint64_t> first;
    for (unsigned short n = 1; n <= stop_t::max_entries; ++n) first.push_back(thread_of(n));
    EXPECT_EQ(listed_threads(stop(0)), first);
    forget();
  };
  re.enter(41, f, frame(1));
  expect_stop_listing(41);
  re.leave(42, f, frame(2));  // h stays open; f is not at the back
  expect_stop_listing(42);
}

TEST_F(Reentrancy, AFunctionOpenOnlyElsewhereUnderAnotherNameIsNoConflict) {
  re.enter(2, f, frame(1));
  re.enter(1, g, frame(1));
  re.enter(1, h, frame(2));
  EXPECT_TRUE(reasons().empty());
}

TEST_F(Reentrancy, EntryAtAHigherFrameDropsTheStaleActivationsFirst) {
  re.enter(1, f, frame(5));
  re.enter(1, g, frame(6));
  re.enter(1, h, frame(3));  // above both: f and g were left without a report
  EXPECT_EQ(open_functions(1), (std::vector<void const*>{h}));
  re.enter(2, f, frame(1));
  re.enter(2, g, frame(2));
  EXPECT_TRUE(reasons().empty());

  re.enter(3, g, frame(4));
  re.enter(3, f, frame(4));  // same frame (a tail call): g is kept
  EXPECT_EQ(open_functions(3), (std::vector<void const*>{g, f}));
}

TEST_F(Reentrancy, LeaveRemovesTheMatchingBackEntryWithoutACheck) {
  re.enter(2, f, frame(1));
  re.enter(1, f, frame(1));
  forget();
  re.leave(1, f, frame(2));  // a lower frame than recorded still matches the back entry
  EXPECT_TRUE(open_functions(1).empty());
  EXPECT_TRUE(reasons().empty());

  // Another function left at the same frame goes first (a tail call whose
  // leave was not reported), then the match.
  re.enter(1, f, frame(3));
  re.enter(1, g, frame(3));
  forget();
  re.leave(1, f, frame(3));
  EXPECT_TRUE(open_functions(1).empty());
  EXPECT_TRUE(reasons().empty());
}

TEST_F(Reentrancy, LeaveThatFindsNoActivationAfterSyncDoesNothing) {
  re.enter(1, f, frame(1));
  re.reset();
  re.enter(2, f, frame(1));
  EXPECT_TRUE(reasons().empty()) << "reset forgot task 1's activation";
  re.leave(1, f, frame(1));
  re.leave(3, f, frame(1));  // a task never seen before
  EXPECT_TRUE(reasons().empty());

  re.enter(1, g, frame(2));
  re.leave(1, f, frame(1));  // g lies below frame 1: dropped, then nothing is left
  EXPECT_TRUE(open_functions(1).empty());
  EXPECT_TRUE(reasons().empty());
}

TEST_F(Reentrancy, LeaveThatMatchesNoActivationIsCheckedLikeAnEntry) {
  re.enter(1, h, frame(1));
  re.leave(1, f, frame(2));  // h is above frame 2 and stays; f is not at the back
  EXPECT_TRUE(reasons().empty()) << "nobody else has f open";
  re.enter(2, f, frame(1));
  re.leave(1, f, frame(2));
  expect_one_stop(f, {thread_of(2), thread_of(1)});
  EXPECT_EQ(open_functions(1), (std::vector<void const*>{h}));
}

TEST_F(Reentrancy, EndedTaskTakesNoPartInLaterChecks) {
  re.enter(1, f, frame(1));
  re.enter(1, g, frame(2));
  re.leave(1);
  EXPECT_TRUE(re.activations_of(1).empty());
  re.enter(2, f, frame(1));
  re.enter(2, g, frame(2));
  EXPECT_TRUE(reasons().empty());
  re.leave(7);  // never seen: nothing happens
  EXPECT_EQ(re.open_tasks(), 1u);
}

// Through the hooks: _VEXA_leaveTask forgets a task's activations only while
// the detector is enabled.
TEST_F(Reentrancy, TaskLeftWhileDetectorDisabledKeepsItsActivationsUntilItsHandleLeavesAgain) {
  vexa::vexa.threads.clear();
  vexa_test::set_guard(VEXA_GUARD_TASK | VEXA_GUARD_FUNCTION);
  vexa_test::set_enable(VEXA_ENABLE_RE);
  unsigned long const self = static_cast<unsigned long>(pthread_self());

  _VEXA_enterTask();  // outer task: handle 1
  _VEXA_enterTask();  // inner task: handle 2
  ASSERT_EQ(vexa::current.record->handle, 2);
  _VEXA_enterFunction(f, frame(1));
  vexa_test::set_enable(0);
  _VEXA_leaveTask();
  vexa_test::set_enable(VEXA_ENABLE_RE);
  forget();

  // Task 1 enters f; handle 2 has left the thread model and is listed as (0, 0).
  _VEXA_enterFunction(f, frame(2));
  expect_one_stop(f, {0, self});
  _VEXA_leaveFunction(f, frame(2));

  _VEXA_enterTask();  // handle 2 again; leaving it while enabled removes the old entry
  ASSERT_EQ(vexa::current.record->handle, 2);
  _VEXA_leaveTask();
  _VEXA_enterFunction(f, frame(2));
  EXPECT_TRUE(reasons().empty());
  _VEXA_leaveFunction(f, frame(2));
  _VEXA_leaveTask();
  vexa_test::set_guard(0);
}

TEST_F(Reentrancy, OnlyModeRangeOfLengthOneChecksItsStartAndItsEnd) {
  auto* filter = new vexa::logging_filter_t;  // as VEXA_RE builds it
  filter->code_ranges.insert({reinterpret_cast<std::uintptr_t>(f), 1});
  filter->code_mode = 0;
  re.install_filter(filter);
  std::uintptr_t const base = reinterpret_cast<std::uintptr_t>(f);
  for (std::uintptr_t a = base - 1; a <= base + 2; ++a) re.enter(1, at(a), frame(static_cast<unsigned>(a - base + 2)));
  EXPECT_EQ(open_functions(1).size(), 4u) << "unchecked functions are still recorded";
  std::vector<std::uint64_t> reported;
  for (std::uintptr_t a = base - 1; a <= base + 2; ++a) {
    forget();
    re.enter(2, at(a), frame(static_cast<unsigned>(a - base + 2)));
    if (!reasons().empty()) reported.push_back(stop(0).detection.u.re.function);
  }
  EXPECT_EQ(reported, (std::vector<std::uint64_t>{base, base + 1}));
}

TEST_F(Reentrancy, IgnoreModeRangeExemptsTheFunctionsItCovers) {
  auto* filter = new vexa::logging_filter_t;
  filter->code_ranges.insert({reinterpret_cast<std::uintptr_t>(f), 0x10});
  filter->code_mode = 1;
  re.install_filter(filter);
  re.enter(1, f, frame(1));
  re.enter(1, g, frame(2));
  forget();
  re.enter(2, f, frame(1));
  EXPECT_TRUE(reasons().empty());
  re.enter(2, g, frame(2));
  expect_one_stop(g, {thread_of(1), thread_of(2)});
}

TEST_F(Reentrancy, OnlyModeWithoutRangesChecksNothing) {
  auto* filter = new vexa::logging_filter_t;
  filter->code_mode = 0;
  re.install_filter(filter);
  re.enter(1, f, frame(1));
  re.enter(2, f, frame(1));
  re.enter(1, h, frame(3));
  re.leave(1, f, frame(2));  // unmatched leave: its check is gated too
  EXPECT_TRUE(reasons().empty());
}

TEST(ReentrancyEnvironment, VexaReNarrowsTheCheckToOneFunctionAndIgnoresValuesOutOfRange) {
  vexa::vexa.threads[1] = {0, thread_of(1)};
  vexa::vexa.threads[2] = {0, thread_of(2)};
  ::setenv("VEXA_RE", "8049000", 1);
  vexa::re_t narrowed;
  ::setenv("VEXA_RE", "-1", 1);  // negative: no address
  vexa::re_t unfiltered;
  ::unsetenv("VEXA_RE");

  EXPECT_EQ(unfiltered.current_filter(), nullptr);
  vexa::logging_filter_t const* filter = narrowed.current_filter();
  ASSERT_NE(filter, nullptr);
  EXPECT_EQ(filter->code_mode, 0u);
  ASSERT_EQ(filter->code_ranges.size(), 1u);
  EXPECT_EQ(filter->code_ranges.begin()->base, 0x8049000u);
  EXPECT_EQ(filter->code_ranges.begin()->size, 1u);

  narrowed.enter(1, g, frame(1));
  narrowed.enter(1, f, frame(2));
  forget();
  narrowed.enter(2, g, frame(1));
  EXPECT_TRUE(reasons().empty());
  narrowed.enter(2, f, frame(2));
  EXPECT_EQ(reasons(), std::vector<vexa_event_reason_t>{VEXA_EVENT_REENTRANT_CALL});
}

// The debugger may reset the detector from inside the stop that check()
// raised: check() must not hold feature_lock across the stop.
TEST_F(Reentrancy, DebuggerMayResetTheDetectorDuringTheStop) {
  vexa_test::set_script([](stop_t const& s, std::size_t, void*) {
    if (s.reason == VEXA_EVENT_REENTRANT_CALL) vexa_test::post(VEXA_PENDING_RESET_RE);
  });
  re.enter(1, f, frame(1));
  re.enter(2, f, frame(1));
  vexa_test::set_script(nullptr);
  EXPECT_EQ(reasons(), (std::vector<vexa_event_reason_t>{VEXA_EVENT_REENTRANT_CALL, VEXA_EVENT_CONFIGURED}));
  EXPECT_EQ(re.open_tasks(), 0u);
}

// Two tasks on two threads, ordered by a flag the library cannot see: the
// stop happens on the second task's thread, at its entry.
TEST_F(Reentrancy, StopHappensOnTheThreadOfTheSecondEntry) {
  std::atomic<int> phase{0};
  unsigned long first_thread = 0, second_thread = 0;
  std::thread first([&] {
    first_thread = static_cast<unsigned long>(pthread_self());
    {
      vexa::lock_scope held(vexa::vexa.lock);
      vexa::vexa.threads[1] = {0, first_thread};
    }
    re.enter(1, f, frame(1));
    phase.store(1, std::memory_order_release);
    while (phase.load(std::memory_order_acquire) != 2) std::this_thread::yield();
    re.leave(1, f, frame(1));
  });
  std::thread second([&] {
    second_thread = static_cast<unsigned long>(pthread_self());
    {
      vexa::lock_scope held(vexa::vexa.lock);
      vexa::vexa.threads[2] = {0, second_thread};
    }
    while (phase.load(std::memory_order_acquire) != 1) std::this_thread::yield();
    re.enter(2, f, frame(1));
    phase.store(2, std::memory_order_release);
    re.leave(2, f, frame(1));
  });
  first.join();
  second.join();
  ASSERT_EQ(reasons(), std::vector<vexa_event_reason_t>{VEXA_EVENT_REENTRANT_CALL});
  EXPECT_EQ(stop(0).thread, second_thread);
  EXPECT_EQ(listed_threads(stop(0)), (std::vector<std::uint64_t>{first_thread, second_thread}));
  EXPECT_TRUE(open_functions(1).empty() && open_functions(2).empty());
}

// Tasks on several threads recurse through functions of their own at once:
// nothing is shared, so nothing is reported, and every stack unwinds to empty.
TEST_F(Reentrancy, ConcurrentTasksWithPrivateFunctionsRaiseNothing) {
  constexpr unsigned tasks = 4;
  std::vector<std::thread> pool;
  for (unsigned short t = 1; t <= tasks; ++t)
    pool.emplace_back([this, t] {
      void const* const own = at(0x8050000u + t * 0x100u);
      void const* const helper = at(0x8050000u + t * 0x100u + 0x40u);
      for (unsigned round = 0; round < 2000; ++round) {
        for (unsigned d = 0; d < 4; ++d) re.enter(t, d % 2 ? helper : own, frame(d));
        for (unsigned d = 4; d-- > 0;) re.leave(t, d % 2 ? helper : own, frame(d));
      }
    });
  for (auto& th : pool) th.join();
  EXPECT_TRUE(reasons().empty());
  for (unsigned short t = 1; t <= tasks; ++t) EXPECT_TRUE(open_functions(t).empty());
}

}  // namespace

namespace {

// Tasks on four threads share one function (its holders move between the
// word and the list all the time) while resets come from inside their stops
// and from a fifth thread, which also reads the stacks. Every list names
// the others ascending and the stopping task last; the stacks read never
// hold anything but what was entered; and when the tasks are done, nothing
// of them is left behind.
thread_local unsigned short running = 0;  // the task of the stopping thread

struct shared_run_t {
  std::atomic<unsigned> stops{0}, malformed{0};
};

void check_list(stop_t const& s, std::size_t index, void* context) {
  auto* run = static_cast<shared_run_t*>(context);
  if (s.reason != VEXA_EVENT_REENTRANT_CALL) return;
  bool ok = s.entries >= 2 && s.offenses[s.entries - 1].thread == running;
  for (std::uint32_t i = 0; i + 1 < s.entries; ++i)
    ok = ok && s.offenses[i].thread != running && (i == 0 || s.offenses[i - 1].thread < s.offenses[i].thread);
  if (!ok) run->malformed.fetch_add(1);
  if (run->stops.fetch_add(1) % 16 == 15) vexa_test::post(VEXA_PENDING_RESET_RE);
  (void)index;
}

TEST_F(Reentrancy, SharedFunctionUnderConcurrentResetsKeepsListsOrderedAndLeavesNothingBehind) {
  constexpr unsigned short tasks = 4;
  for (unsigned short n = 1; n <= tasks; ++n) vexa::vexa.threads[n] = {0, n};
  shared_run_t run;
  vexa_test::set_script(check_list, &run);
  std::atomic<unsigned> entered{0}, done{0};
  auto own = [](unsigned short t) { return at(0x8060000u + t * 0x100u); };
  std::vector<std::thread> pool;
  for (unsigned short t = 1; t <= tasks; ++t)
    pool.emplace_back([&, t] {
      running = t;
      // All four inside f at once: each entry after the first is reported.
      re.enter(t, f, frame(0));
      entered.fetch_add(1);
      while (entered.load() < tasks) std::this_thread::yield();
      re.leave(t, f, frame(0));
      for (unsigned round = 0; round < 3000; ++round) {
        re.enter(t, f, frame(0));
        re.enter(t, own(t), frame(1));
        re.enter(t, f, frame(2));  // recursion through a function of its own
        re.leave(t, f, frame(2));
        re.leave(t, own(t), frame(1));
        re.leave(t, f, frame(0));
      }
      done.fetch_add(1);
    });
  bool torn = false;
  while (entered.load() < tasks) std::this_thread::yield();
  while (done.load() < tasks) {
    for (unsigned short t = 1; t <= tasks; ++t)
      for (auto const& a : re.activations_of(t)) torn = torn || (a.function != f && a.function != own(t));
    re.open_tasks();
    re.reset();
    std::this_thread::yield();
  }
  for (auto& th : pool) th.join();
  vexa_test::set_script(nullptr);
  EXPECT_FALSE(torn);
  EXPECT_GE(run.stops.load(), tasks - 1u);
  EXPECT_EQ(run.malformed.load(), 0u);
  EXPECT_EQ(re.open_tasks(), 0u);
  forget();
  running = 2;
  re.enter(1, f, frame(0));
  re.enter(2, f, frame(0));
  expect_one_stop(f, {1, 2});
  // The first holder leaves; a newcomer, then its recursion, still meet
  // the second.
  re.leave(1, f, frame(0));
  running = 3;
  re.enter(3, f, frame(0));
  expect_one_stop(f, {2, 3});
  re.enter(3, f, frame(1));
  expect_one_stop(f, {2, 3});
}

}  // namespace
