// A careless caller: every misuse of a hook's argument raises an error and,
// under logging bit 0x4, a line naming the value; and a report names the
// task that made an access even when its handle has been given out again
// before the report is delivered.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/captured_stderr.h"
#include "support/debugger.h"
#include "support/worker.h"
#include "vexa/hook_frame.h"

using namespace vexa_test;

namespace {

vexa::vexa_t& rt = vexa::vexa;
using reasons_t = std::vector<vexa_event_reason_t>;

std::string hex(void const* p) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(p)));
  return text;
}

std::uint32_t words[8];
int lock_word;

TEST(Misuse, EachMisuseRaisesAnErrorWithALineThatNamesTheValue) {
  set_enable(VEXA_ENABLE_TSM);
  set_guard(VEXA_GUARD_TASK | VEXA_GUARD_MEMORY);
  vexa::logging_level = vexa::log_errors;
  captured_stderr err;

  void const* const code = reinterpret_cast<void const*>(0x1234);
  _VEXA_enterTaskAs(42, code);
  _VEXA_writeMemory(&words[0], 4);
  _VEXA_finishTaskAt(code);  // the thread runs no task now
  forget();
  _VEXA_absorbTask(42);  // into nothing: dropped, but not silently
  EXPECT_EQ(reasons(), reasons_t{VEXA_ERROR_TASK_NESTING});
  EXPECT_TRUE(rt.threads.empty());
  EXPECT_EQ(rt.tsm.live_logs(), 0u);

  forget();
  _VEXA_releaseTask(42);  // gone already
  _VEXA_enterTask();
  _VEXA_writeMemory(&words[1], 4);
  _VEXA_forgetMemory(&words[4], &words[2]);  // backwards: forgets nothing
  _VEXA_releaseLock(&lock_word);             // never acquired
  _VEXA_acquireLock(&lock_word);
  _VEXA_releaseLock(&lock_word);  // balanced: no error
  EXPECT_EQ(reasons(), (reasons_t{VEXA_ERROR_INVALID_PARAMETER, VEXA_ERROR_INVALID_PARAMETER,
                                  VEXA_ERROR_INVALID_PARAMETER}));
  EXPECT_EQ(rt.tsm.live_logs(), 1u);
  _VEXA_leaveTask();
  vexa::logging_level = 0;

  EXPECT_EQ(err.lines(), (std::vector<std::string>{
                             "vexa: task nesting error",
                             "vexa: _VEXA_absorbTask(42): no current task to absorb into; its accesses are dropped",
                             "vexa: invalid parameter",
                             "vexa: _VEXA_releaseTask(42): no finished task has this id",
                             "vexa: invalid parameter",
                             "vexa: _VEXA_forgetMemory(" + hex(&words[4]) + ", " + hex(&words[2]) +
                                 "): begin lies above end; nothing is forgotten",
                             "vexa: invalid parameter",
                             "vexa: _VEXA_releaseLock(" + hex(&lock_word) +
                                 "): the current task does not hold this lock",
                         }));
}

// Task A writes; task B's read finds the conflict; A leaves and task C gets
// A's handle before B's report is delivered. The report names A's thread.
TEST(Reports, AnOffenseNamesItsTaskThoughTheHandleWasGivenOutAgain) {
  set_enable(VEXA_ENABLE_TSM);
  set_guard(VEXA_GUARD_TASK | VEXA_GUARD_MEMORY);
  worker_t a, b, c;
  unsigned short first = 0;
  a.run([&first] {
    _VEXA_enterTask();
    first = vexa::current.record->handle;
    _VEXA_writeMemory(&words[5], 4);
  });
  vexa::tsm_t::case_t* found = nullptr;
  b.run([&found] {
    _VEXA_enterTask();
    found = rt.tsm.access({vexa::to_address(&words[5]), 4}, TSM_READ, vexa::current.record->handle,
                          reinterpret_cast<void const*>(0x5678));
  });
  ASSERT_NE(found, nullptr);
  a.run(_VEXA_leaveTask);
  c.run([first] {
    _VEXA_enterTask();
    EXPECT_EQ(vexa::current.record->handle, first);
  });
  forget();
  b.run([found] { rt.tsm.commit(found); });
  ASSERT_EQ(reasons(), reasons_t{VEXA_EVENT_DATA_SHARING});
  ASSERT_EQ(stop(0).entries, 1u);
  EXPECT_EQ(stop(0).offended[0].thread, a.id);
  EXPECT_EQ(stop(0).offended[0].task, 0u);
  EXPECT_EQ(stop(0).detection.u.tsm.offender.thread, b.id);
  b.run(_VEXA_leaveTask);
  c.run(_VEXA_leaveTask);
}

}  // namespace
