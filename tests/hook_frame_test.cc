// The frame every hook runs: the guard word, the memory hooks' switch-off,
// the task id check and its lines, and the code address an event carries.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child.h"
#include "support/debugger.h"
#include "vexa/runtime.h"

using namespace vexa_test;

// Lets a test make the next operator new calls fail, as an exhausted heap
// would.
namespace {
std::atomic<int> failing_allocations{0};  // set and consumed on one test thread: relaxed
}

void* operator new(std::size_t n) {
  if (failing_allocations.load(std::memory_order_relaxed) > 0) {
    failing_allocations.fetch_sub(1, std::memory_order_relaxed);
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(n != 0 ? n : 1)) return p;
  throw std::bad_alloc();
}
// GCC sees free() of what it takes for a new-expression's result once the
// replacement is inlined; pairing it with malloc() above is what makes it
// right.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using reasons_t = std::vector<vexa_event_reason_t>;
using lines_t = std::vector<std::string>;

lines_t split(std::string const& text) {
  lines_t lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void capture() { testing::internal::CaptureStderr(); }
lines_t captured() { return split(testing::internal::GetCapturedStderr()); }

std::string tuple(unsigned long thread) { return "(0, " + std::to_string(thread) + ")"; }
unsigned long self() { return static_cast<unsigned long>(pthread_self()); }

void const* address(std::uintptr_t a) { return reinterpret_cast<void const*>(a); }

int object;
void const* const function = address(0x8000);
void const* const frame = address(0x4000);

// The hooks that run the task id check, each with its explicit-code twin.
void (*const checking_hooks[])() = {
    [] { _VEXA_suspendTask(); },
    [] { _VEXA_resumeTask(); },
    [] { _VEXA_readMemory(&object, 4); },
    [] { _VEXA_writeMemory(&object, 4); },
    [] { _VEXA_enterFunction(function, frame); },
    [] { _VEXA_leaveFunction(function, frame); },
    [] { _VEXA_suspendTaskAt(address(0x7000)); },
    [] { _VEXA_resumeTaskAt(address(0x7000)); },
    [] { _VEXA_readMemoryAt(&object, 4, address(0x7000)); },
    [] { _VEXA_writeMemoryAt(&object, 4, address(0x7000)); },
    [] { _VEXA_enterFunctionAt(function, frame, address(0x7000)); },
    [] { _VEXA_leaveFunctionAt(function, frame, address(0x7000)); },
};
constexpr std::size_t checking_hook_count = sizeof checking_hooks / sizeof checking_hooks[0];

// Read after the hook that changed it returned on this thread: program order
// pairs it with the library's RMW; seq_cst matches set_guard().
std::uint32_t guard() { return __atomic_load_n(&__VEXA_isGuardedCall, __ATOMIC_SEQ_CST); }

}  // namespace

TEST(HookFrame, WithGuardZeroEveryHookReturnsAfterThePoll) {
  set_enable(VEXA_ENABLE_TSM | VEXA_ENABLE_RE | VEXA_ENABLE_SUSPEND_MARKING);
  set_guard(0);
  vexa::logging_level = 0xff;  // any line would show a hook that went on
  forget();
  capture();
  for (auto hook : checking_hooks) hook();
  _VEXA_enterTask();
  _VEXA_enterTaskAt(address(0x1000));
  _VEXA_leaveTask();  // would raise "task nesting error" past the guard
  _VEXA_leaveTaskAt(address(0x1000));
  lines_t const lines = captured();
  vexa::logging_level = 0;

  EXPECT_EQ(lines, lines_t{});
  EXPECT_EQ(recorded(), 0u);
  EXPECT_EQ(vexa::current.record, nullptr);
  EXPECT_EQ(vexa::current.code, nullptr);
  EXPECT_EQ(vexa::current.arena, nullptr);
  EXPECT_TRUE(vexa::vexa.threads.empty());
  EXPECT_EQ(vexa::vexa.live_tasks.load(), 0u);
  EXPECT_EQ(vexa::vexa.re.open_tasks(), 0u);
  EXPECT_EQ(guard(), 0u);
}

TEST(HookFrame, MemoryHookWithoutALiveTaskClearsItsGuardBitAndReturns) {
  void (*const memory_hooks[])() = {
      [] { _VEXA_readMemory(&object, 4); },
      [] { _VEXA_writeMemory(&object, 4); },
      [] { _VEXA_readMemoryAt(&object, 4, address(0x7000)); },
      [] { _VEXA_writeMemoryAt(&object, 4, address(0x7000)); },
  };
  vexa::logging_level = vexa::log_errors;  // the task id check would print
  capture();
  for (auto hook : memory_hooks) {
    set_guard(VEXA_GUARD_TASK | VEXA_GUARD_MEMORY | VEXA_GUARD_FUNCTION);
    hook();
    EXPECT_EQ(guard(), VEXA_GUARD_TASK | VEXA_GUARD_FUNCTION);
  }
  EXPECT_EQ(captured(), lines_t{});
  vexa::logging_level = 0;
}

TEST(HookFrame, MemoryGuardComesBackOnlyWithATaskEnteredWhileTsmIsEnabled) {
  set_guard(VEXA_GUARD_TASK | VEXA_GUARD_MEMORY);
  _VEXA_readMemory(&object, 4);
  ASSERT_EQ(guard(), VEXA_GUARD_TASK);

  set_enable(VEXA_ENABLE_RE);
  _VEXA_enterTask();
  EXPECT_EQ(guard(), VEXA_GUARD_TASK);
  _VEXA_leaveTask();

  set_enable(VEXA_ENABLE_TSM);
  _VEXA_enterTask();
  EXPECT_EQ(guard(), VEXA_GUARD_TASK | VEXA_GUARD_MEMORY);
  _VEXA_readMemory(&object, 4);  // a live task keeps it on
  EXPECT_EQ(guard(), VEXA_GUARD_TASK | VEXA_GUARD_MEMORY);
  _VEXA_leaveTask();  // the last live task takes it away
  EXPECT_EQ(guard(), VEXA_GUARD_TASK);
}

TEST(HookFrame, NoTaskIdIsPrintedOncePerCallOnAThreadWithoutATask) {
  std::string const program = program_path("lifecycle_no_task");
  child_result const r = run_child({program}, {{"VEXA_LOGGING", "4"}, {"VEXA_GUARD", "7"}});
  ASSERT_EQ(r.status, 0);
  ASSERT_EQ(r.out.size(), 1u);
  ASSERT_EQ(r.out[0].rfind("thread ", 0), 0u);
  std::string const line = "vexa: no task id for (0, " + r.out[0].substr(7) + ")";
  // Twelve hooks run the check on that thread; the entering thread's own
  // calls print nothing.
  EXPECT_EQ(r.err, lines_t(checking_hook_count, line));
}

TEST(HookFrame, NoTaskIdNeedsItsLoggingBitAndAnOpenGuard) {
  std::string const program = program_path("lifecycle_no_task");
  child_result const quiet = run_child({program}, {{"VEXA_GUARD", "7"}});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, lines_t{});

  // Only the task hooks' group is on: the suspensions alone are checked.
  child_result const tasks_only = run_child({program}, {{"VEXA_LOGGING", "4"}, {"VEXA_GUARD", "1"}});
  ASSERT_EQ(tasks_only.status, 0);
  ASSERT_EQ(tasks_only.out.size(), 1u);
  std::string const line = "vexa: no task id for (0, " + tasks_only.out[0].substr(7) + ")";
  EXPECT_EQ(tasks_only.err, lines_t(4, line));
}

TEST(HookFrame, TaskRecordUsedOnAnotherThreadIsReportedAndTheHookGoesOn) {
  set_enable(VEXA_ENABLE_TSM | VEXA_ENABLE_RE | VEXA_ENABLE_SUSPEND_MARKING);
  set_guard(VEXA_GUARD_TASK | VEXA_GUARD_MEMORY | VEXA_GUARD_FUNCTION);
  pthread_barrier_t entered, done;
  pthread_barrier_init(&entered, nullptr, 2);
  pthread_barrier_init(&done, nullptr, 2);
  vexa::task_record_t* borrowed = nullptr;
  unsigned long owner = 0;
  std::thread first([&] {
    _VEXA_enterTask();
    borrowed = vexa::current.record;
    owner = self();
    pthread_barrier_wait(&entered);
    pthread_barrier_wait(&done);
    _VEXA_leaveTask();
  });
  pthread_barrier_wait(&entered);
  ASSERT_NE(borrowed, nullptr);

  vexa::current.record = borrowed;
  vexa::logging_level = vexa::log_errors;
  capture();
  _VEXA_suspendTaskAt(address(0x7100));
  bool const suspended = (borrowed->flags & vexa::task_record_t::flag_suspended) != 0;
  _VEXA_resumeTaskAt(address(0x7200));
  bool const resumed = (borrowed->flags & vexa::task_record_t::flag_suspended) == 0;
  _VEXA_enterFunctionAt(function, frame, address(0x7300));
  std::size_t const open = vexa::vexa.re.activations_of(borrowed->handle).size();
  void const* const entered_at = vexa::current.code;
  _VEXA_leaveFunctionAt(function, frame, address(0x7400));
  _VEXA_readMemoryAt(&object, 4, address(0x7500));
  void const* const read_at = vexa::current.code;
  for (std::size_t i = 0; i < 6; ++i) checking_hooks[i]();
  _VEXA_writeMemoryAt(&object, 4, address(0x7600));
  lines_t const lines = captured();
  vexa::logging_level = 0;
  vexa::current.record = nullptr;

  EXPECT_EQ(lines, lines_t(12, "vexa: task id mismatch: " + tuple(owner) + " != " + tuple(self())));
  EXPECT_TRUE(suspended);
  EXPECT_TRUE(resumed);
  EXPECT_EQ(open, 1u);
  EXPECT_EQ(entered_at, address(0x7300));
  EXPECT_EQ(read_at, address(0x7500));
  EXPECT_EQ(vexa::current.code, address(0x7600));

  pthread_barrier_wait(&done);
  first.join();
  pthread_barrier_destroy(&entered);
  pthread_barrier_destroy(&done);
}

TEST(HookFrame, TaskIdCheckIsSilentOnTheEnteringThreadAndTakesAMissingHandleAsZero) {
  set_guard(VEXA_GUARD_TASK | VEXA_GUARD_FUNCTION);
  vexa::logging_level = vexa::log_errors;
  capture();
  _VEXA_enterTask();
  _VEXA_suspendTask();
  _VEXA_resumeTask();
  _VEXA_enterFunction(function, frame);
  _VEXA_leaveTask();
  _VEXA_enterTaskAs(9, address(0x7000));  // a task id of its own is no mismatch
  _VEXA_enterFunction(function, frame);
  _VEXA_leaveTask();
  lines_t const own = captured();

  auto stray = std::make_unique<vexa::task_record_t>();
  stray->handle = 77;  // never given out
  vexa::current.record = stray.get();
  capture();
  _VEXA_enterFunction(function, frame);
  lines_t const missing = captured();
  vexa::current.record = nullptr;
  vexa::logging_level = 0;

  EXPECT_EQ(own, lines_t{});
  EXPECT_EQ(missing, lines_t{"vexa: task id mismatch: (0, 0) != " + tuple(self())});
}

// The code address in the detection record is the thread's `code`, which
// _VEXA_enterTask stores only after its allocation and its poll.
TEST(HookFrame, EventOfEnterTaskOnAFreshThreadCarriesNoCode) {
  set_enable(VEXA_ENABLE_TSM);
  set_guard(VEXA_GUARD_TASK);
  reasons_t answers;
  std::uint64_t codes[2] = {1, 1};
  std::thread fresh([&] {
    forget();
    post(VEXA_PENDING_PING);
    failing_allocations.store(1, std::memory_order_relaxed);
    _VEXA_enterTask();  // the poll answers the ping, then the record cannot be had
    failing_allocations.store(0, std::memory_order_relaxed);
    answers = reasons();
    for (std::size_t i = 0; i < answers.size() && i < 2; ++i) codes[i] = stop(i).detection.code;
  });
  fresh.join();
  EXPECT_EQ(answers, (reasons_t{VEXA_EVENT_ALIVE, VEXA_ERROR_OUT_OF_MEMORY}));
  EXPECT_EQ(codes[0], 0u);
  EXPECT_EQ(codes[1], 0u);
}

TEST(HookFrame, EventOfEnterTaskCarriesTheCodeOfAnEarlierHook) {
  set_enable(VEXA_ENABLE_TSM);
  set_guard(VEXA_GUARD_TASK);
  _VEXA_enterTaskAt(address(0x1000));
  _VEXA_leaveTaskAt(address(0x2000));

  forget();
  post(VEXA_PENDING_PING);
  failing_allocations.store(1, std::memory_order_relaxed);
  _VEXA_enterTask();
  failing_allocations.store(0, std::memory_order_relaxed);
  ASSERT_EQ(reasons(), (reasons_t{VEXA_EVENT_ALIVE, VEXA_ERROR_OUT_OF_MEMORY}));
  EXPECT_EQ(stop(0).detection.code, 0x2000u);
  EXPECT_EQ(stop(1).detection.code, 0x2000u);

  // The failed entry left no task behind, and the next one works.
  EXPECT_EQ(vexa::current.record, nullptr);
  EXPECT_EQ(vexa::vexa.live_tasks.load(), 0u);
  EXPECT_TRUE(vexa::vexa.threads.empty());
  forget();
  _VEXA_enterTaskAt(address(0x3000));
  ASSERT_NE(vexa::current.record, nullptr);
  EXPECT_EQ(vexa::current.record->handle, 1u);
  EXPECT_EQ(vexa::current.code, address(0x3000));
  _VEXA_leaveTask();
  EXPECT_EQ(recorded(), 0u);
}

TEST(HookFrame, LeavingWithoutATaskCarriesTheCodeOfAnEarlierHook) {
  set_guard(VEXA_GUARD_TASK);
  _VEXA_enterTask();
  _VEXA_leaveTaskAt(address(0x2000));
  forget();
  _VEXA_leaveTaskAt(address(0x5000));  // nothing to leave: raised before it stores its own
  ASSERT_EQ(reasons(), reasons_t{VEXA_ERROR_TASK_NESTING});
  EXPECT_EQ(stop(0).detection.code, 0x2000u);
}
