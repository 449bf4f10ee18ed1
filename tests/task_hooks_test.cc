// The task hooks: entering and leaving with the sharing detector on and
// off, suspension counting and marking, trace lines, the events raised when
// a record cannot be had or a leave finds no task; and the per-thread
// arenas that outlive their threads.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/debugger.h"
#include "vexa/runtime.h"

// Allocations of at least this many bytes fail while it is not 0. Nothing
// the hooks allocate is as large as a task record with its 64 KiB arena.
static std::size_t refuse_from = 0;

// Out of line, so the compiler does not pair an inlined free() with a
// new-expression and warn about a mismatch that is not there.
[[gnu::noinline]] void* operator new(std::size_t n) {
  if (refuse_from != 0 && n >= refuse_from) throw std::bad_alloc();
  if (void* p = std::malloc(n != 0 ? n : 1)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

using namespace vexa_test;
using vexa::current;
using vexa::task_record_t;

namespace {

void const* at(std::uintptr_t code) { return reinterpret_cast<void const*>(code); }

using events = std::vector<vexa_event_reason_t>;

class TaskHookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_enable(VEXA_ENABLE_TSM);
    set_guard(VEXA_GUARD_TASK);
    forget();
  }
  void TearDown() override { vexa::logging_level = 0; }
};
using TaskEntry = TaskHookTest;
using Suspension = TaskHookTest;

TEST_F(TaskEntry, SharingDetectorOffSetsNoMemoryGuardAndSkipsTheDetector) {
  // With no code range in "only" mode the detector refuses every entry code,
  // so a task it was told about is marked unlogged.
  auto* refuse_every_task = new vexa::logging_filter_t;
  refuse_every_task->code_mode = vexa::logging_filter_t::mode_only;
  vexa::vexa.tsm.install_filter(refuse_every_task);

  set_enable(VEXA_ENABLE_RE);
  _VEXA_enterTaskAt(at(0x1100));
  ASSERT_NE(current.record, nullptr);
  EXPECT_EQ(__VEXA_isGuardedCall, VEXA_GUARD_TASK);
  EXPECT_EQ(current.record->flags, 0u);
  EXPECT_EQ(current.code, nullptr);
  _VEXA_leaveTaskAt(at(0x1200));
  EXPECT_EQ(current.code, at(0x1200));  // leaving always stores it

  set_enable(VEXA_ENABLE_TSM);
  _VEXA_enterTaskAt(at(0x1300));
  ASSERT_NE(current.record, nullptr);
  EXPECT_EQ(__VEXA_isGuardedCall, VEXA_GUARD_TASK | VEXA_GUARD_MEMORY);
  EXPECT_EQ(current.record->flags, task_record_t::flag_unlogged);
  EXPECT_EQ(current.code, at(0x1300));
  _VEXA_leaveTask();
  EXPECT_EQ(reasons(), events{});
}

TEST_F(TaskEntry, LeavingTheLastLiveTaskSwitchesTheMemoryHooksOff) {
  _VEXA_enterTask();
  _VEXA_enterTask();
  EXPECT_EQ(vexa::vexa.live_tasks.load(), 2u);
  _VEXA_leaveTask();
  EXPECT_EQ(__VEXA_isGuardedCall, VEXA_GUARD_TASK | VEXA_GUARD_MEMORY);
  _VEXA_leaveTask();
  EXPECT_EQ(__VEXA_isGuardedCall, VEXA_GUARD_TASK);
  EXPECT_EQ(vexa::vexa.live_tasks.load(), 0u);
  EXPECT_TRUE(vexa::vexa.threads.empty());
}

// The live-task count must never wrap below 0: a count of 2^32 - 1 would
// keep the memory hooks running with no task alive.
TEST_F(TaskEntry, LeaveWithTheCountAlreadyZeroIsReportedAndStillCompleted) {
  _VEXA_enterTask();
  vexa::vexa.live_tasks.store(0);
  _VEXA_leaveTask();
  EXPECT_EQ(reasons(), events{VEXA_ERROR_TASK_NESTING});
  EXPECT_EQ(vexa::vexa.live_tasks.load(), 0u);
  EXPECT_EQ(current.record, nullptr);
  EXPECT_TRUE(vexa::vexa.threads.empty());
  EXPECT_EQ(__VEXA_isGuardedCall, VEXA_GUARD_TASK);
}

TEST_F(TaskEntry, RecordThatCannotBeAllocatedRaisesOutOfMemoryAndLeavesNoTask) {
  _VEXA_enterTaskAt(at(0x1100));
  task_record_t* const outer = current.record;
  ASSERT_NE(outer, nullptr);

  refuse_from = sizeof(task_record_t);
  _VEXA_enterTaskAt(at(0x1200));
  refuse_from = 0;
  ASSERT_EQ(reasons(), events{VEXA_ERROR_OUT_OF_MEMORY});
  EXPECT_EQ(stop(0).detection.code, 0x1100u);  // raised before the hook stored its own
  EXPECT_EQ(current.record, outer);  // the outer task goes on
  EXPECT_EQ(vexa::vexa.live_tasks.load(), 1u);
  EXPECT_EQ(vexa::vexa.threads.size(), 1u);

  // The failed task's leave finds no task of its own and leaves the outer
  // one current; the outer task's leave then leaves it.
  forget();
  _VEXA_leaveTask();
  EXPECT_EQ(reasons(), (events{VEXA_ERROR_TASK_NESTING}));
  EXPECT_EQ(current.record, outer);
  _VEXA_leaveTask();
  EXPECT_EQ(reasons(), (events{VEXA_ERROR_TASK_NESTING}));
  EXPECT_EQ(current.record, nullptr);
  EXPECT_EQ(vexa::vexa.live_tasks.load(), 0u);
  EXPECT_TRUE(vexa::vexa.threads.empty());
}

TEST_F(Suspension, NestedSuspensionsMarkOnceAndTheClosingResumptionClears) {
  set_enable(VEXA_ENABLE_TSM | VEXA_ENABLE_SUSPEND_MARKING);
  _VEXA_enterTask();
  task_record_t* const r = current.record;
  ASSERT_NE(r, nullptr);

  _VEXA_suspendTaskAt(at(0x10));
  EXPECT_EQ(r->flags, task_record_t::flag_suspended);
  EXPECT_EQ(current.code, at(0x10));
  _VEXA_suspendTaskAt(at(0x20));
  EXPECT_EQ(r->suspend_depth, 2);
  EXPECT_EQ(current.code, at(0x10));

  _VEXA_resumeTaskAt(at(0x30));
  EXPECT_EQ(r->flags, task_record_t::flag_suspended);
  EXPECT_EQ(current.code, at(0x10));
  _VEXA_resumeTaskAt(at(0x40));
  EXPECT_EQ(r->suspend_depth, 0);
  EXPECT_EQ(r->flags, 0u);
  EXPECT_EQ(current.code, at(0x40));
  _VEXA_leaveTask();
}

TEST_F(Suspension, ResumeWithoutSuspensionWrapsTheDepthAndMarksNothing) {
  set_enable(VEXA_ENABLE_TSM | VEXA_ENABLE_SUSPEND_MARKING);
  _VEXA_enterTaskAt(at(0x5));
  task_record_t* const r = current.record;
  ASSERT_NE(r, nullptr);

  _VEXA_resumeTaskAt(at(0x10));
  EXPECT_EQ(r->suspend_depth, 65535);
  EXPECT_EQ(r->flags, 0u);
  _VEXA_suspendTaskAt(at(0x20));
  EXPECT_EQ(r->suspend_depth, 0);
  EXPECT_EQ(r->flags, 0u);
  EXPECT_EQ(current.code, at(0x5));
  _VEXA_suspendTaskAt(at(0x30));
  EXPECT_EQ(r->flags, task_record_t::flag_suspended);
  EXPECT_EQ(current.code, at(0x30));
  _VEXA_resumeTask();
  _VEXA_leaveTask();
}

TEST_F(Suspension, MarkingNeedsBothTheSharingAndTheMarkingBit) {
  for (std::uint32_t enable : {VEXA_ENABLE_SUSPEND_MARKING, VEXA_ENABLE_TSM, VEXA_ENABLE_RE | VEXA_ENABLE_SUSPEND_MARKING}) {
    set_enable(enable);
    _VEXA_enterTaskAt(at(0x5));
    _VEXA_suspendTaskAt(at(0x10));
    EXPECT_EQ(current.record->flags, 0u) << "enable " << std::hex << enable;
    EXPECT_EQ(current.record->suspend_depth, 1);
    _VEXA_resumeTaskAt(at(0x20));
    _VEXA_leaveTaskAt(at(0x30));
  }
}

TEST_F(Suspension, AccessesOfASuspendedTaskAreNotLogged) {
  set_enable(VEXA_ENABLE_TSM | VEXA_ENABLE_SUSPEND_MARKING);
  _VEXA_enterTask();
  _VEXA_suspendTask();
  _VEXA_writeMemoryAt(at(0x10000), 4, at(0x100));
  _VEXA_resumeTask();
  _VEXA_writeMemoryAt(at(0x20000), 4, at(0x200));
  _VEXA_enterTask();  // nested: a second live task on this thread
  _VEXA_readMemoryAt(at(0x10000), 4, at(0x300));
  _VEXA_readMemoryAt(at(0x20000), 4, at(0x400));
  _VEXA_leaveTask();
  _VEXA_leaveTask();
  ASSERT_EQ(reasons(), events{VEXA_EVENT_DATA_SHARING});
  EXPECT_EQ(stop(0).detection.u.tsm.offender.base, 0x20000u);
}

std::string pointer_text(std::uintptr_t code) {
  std::ostringstream os;
  os << at(code);
  return os.str();
}

TEST_F(Suspension, OnlyTheOutermostSuspensionAndTheClosingResumptionAreTraced) {
  std::ostringstream self;
  self << "(0, " << static_cast<unsigned long>(pthread_self()) << ")";
  vexa::logging_level = vexa::log_trace;
  testing::internal::CaptureStderr();
  _VEXA_enterTaskAt(at(0x100));
  _VEXA_suspendTaskAt(at(0x200));
  _VEXA_suspendTaskAt(at(0x300));
  _VEXA_resumeTaskAt(at(0x400));
  _VEXA_resumeTaskAt(at(0x500));
  _VEXA_leaveTaskAt(at(0x600));
  std::string const text = testing::internal::GetCapturedStderr();

  EXPECT_EQ(text, "vexa: task enters at 0x" + pointer_text(0x100) + ", handle: 1 = " + self.str() + "\n" +
                      "vexa: task suspends at 0x" + pointer_text(0x200) + ", handle: 1 = " + self.str() + "\n" +
                      "vexa: task resumes at 0x" + pointer_text(0x500) + ", handle: 1 = " + self.str() + "\n" +
                      "vexa: task leaves at 0x" + pointer_text(0x600) + ", handle: 1 = " + self.str() + "\n");
  EXPECT_TRUE(vexa::vexa.threads.empty());
}

// Arenas are never freed; a thread that ends passes its arena on, so that
// starting thread after thread does not cost 64 KiB each.
TEST(ThreadArena, ArenaOfAnEndedThreadIsAdoptedAndNeverShared) {
  vexa::arena_t* first = nullptr;
  char* first_end = nullptr;
  std::thread([&] {
    first = &current.thread_arena_get();
    first->allocate(64);
    first_end = first->chunk->free;
  }).join();

  vexa::arena_t* second = nullptr;
  char* second_start = nullptr;
  std::thread([&] {
    second = &current.thread_arena_get();
    second_start = second->chunk->free;
    // While this thread lives, its arena is nobody else's.
    std::thread([&] { EXPECT_NE(&current.thread_arena_get(), second); }).join();
  }).join();
  EXPECT_EQ(second, first);
  EXPECT_EQ(second_start, first_end);  // bumps on where the last owner stopped
}

}  // namespace
