// What the sharing detector keeps stays bounded by what live tasks hold: a
// long-lived task that allocates and frees keeps a short touched list, and
// the idle logs kept for the next task are counted exactly and never pass
// their cap, whatever forgets, resets and leaves do in between.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "support/debugger.h"
#include "vexa/hook_frame.h"

using namespace vexa_test;

namespace {

vexa::vexa_t& rt = vexa::vexa;

void switch_on() {
  forget();  // the load stop
  set_enable(VEXA_ENABLE_TSM);
  set_guard(VEXA_GUARD_TASK | VEXA_GUARD_MEMORY);
}

// Stands for a heap: blocks handed out and freed over and over.
std::uint32_t heap[4][16];

TEST(Footprint, ATaskThatAllocatesAndFreesKeepsItsTouchedListShort) {
  switch_on();
  _VEXA_enterTask();
  unsigned short const handle = vexa::current.record->handle;
  for (int i = 0; i < 20000; ++i) {
    std::uint32_t* block = heap[i % 4];
    _VEXA_writeMemory(&block[0], 4);
    _VEXA_readMemory(&block[1], 4);
    _VEXA_forgetMemory(block, block + 16);  // free(): the next use is a new object
  }
  _VEXA_writeMemory(&heap[0][2], 4);  // one object still held
  EXPECT_LE(rt.tsm.touched_length(handle), 128u);
  EXPECT_EQ(rt.tsm.live_logs(), 1u);
  _VEXA_leaveTask();
  EXPECT_EQ(rt.tsm.live_logs(), 0u);
  EXPECT_EQ(reasons(), std::vector<vexa_event_reason_t>{});
}

std::uint32_t objects[3][4096];

// One task touches n words of objects[row], from `first`, and leaves.
void touch_and_leave(int row, unsigned first, unsigned n) {
  _VEXA_enterTask();
  for (unsigned i = first; i < first + n; ++i) _VEXA_writeMemory(&objects[row][i], 4);
  _VEXA_leaveTask();
}

// Freed while idle, a log stops counting; a reset leaves nothing counted;
// logs taken from the pool again after both are counted once.
TEST(IdleLogs, FreeingAndResettingKeepTheCountExact) {
  switch_on();
  touch_and_leave(0, 0, 100);
  EXPECT_EQ(rt.tsm.idle_logs(), 100u);
  EXPECT_EQ(rt.tsm.live_logs(), 0u);

  set_guard(VEXA_GUARD_TASK | VEXA_GUARD_MEMORY);  // the last leave switched the memory hooks off
  _VEXA_forgetMemory(&objects[0][0], &objects[0][100]);
  EXPECT_EQ(rt.tsm.idle_logs(), 0u);
  EXPECT_EQ(rt.tsm.live_logs(), 0u);

  touch_and_leave(0, 0, 50);
  post(VEXA_PENDING_RESET_TSM);
  _VEXA_enterTask();  // serves the reset
  _VEXA_leaveTask();
  EXPECT_EQ(rt.tsm.idle_logs(), 0u);

  touch_and_leave(0, 0, 100);  // every log comes from the pool
  EXPECT_EQ(rt.tsm.idle_logs(), 100u);
  EXPECT_EQ(rt.tsm.live_logs(), 0u);
}

// Freed memory's logs stay idle for the next objects at the same places;
// a wider object over them takes them away, and so does a second free
// that finds them still idle.
TEST(IdleLogs, FreedLogsStayIdleUntilAWiderObjectOrTheNextFree) {
  switch_on();
  _VEXA_enterTask();
  for (unsigned i = 0; i < 100; ++i) _VEXA_writeMemory(&objects[0][i], 4);
  _VEXA_forgetMemory(&objects[0][0], &objects[0][100]);
  EXPECT_EQ(rt.tsm.idle_logs(), 100u);
  EXPECT_EQ(rt.tsm.live_logs(), 0u);
  _VEXA_writeMemory(&objects[0][0], 100 * sizeof objects[0][0]);
  EXPECT_EQ(rt.tsm.idle_logs(), 0u);
  EXPECT_EQ(rt.tsm.live_logs(), 1u);
  _VEXA_leaveTask();
  EXPECT_EQ(rt.tsm.idle_logs(), 1u);
  set_guard(VEXA_GUARD_TASK | VEXA_GUARD_MEMORY);
  _VEXA_forgetMemory(&objects[0][0], &objects[0][100]);
  EXPECT_EQ(rt.tsm.idle_logs(), 0u);
  EXPECT_EQ(rt.tsm.live_logs(), 0u);
}

// Two tasks on two threads each hold 4096 objects at once (the working
// set, and so the cap, is 8192), and all of them idle when they leave. Then
// each task revives 2048 of its objects and adds 2048 new ones, and both
// leave at once: only 4096 more may idle, however the two leaves
// interleave.
TEST(IdleLogs, TasksLeavingTogetherStayWithinTheCap) {
  switch_on();
  for (int round = 0; round < 6; ++round) {
    post(VEXA_PENDING_RESET_TSM);
    pthread_barrier_t together;
    pthread_barrier_init(&together, nullptr, 2);
    auto const task = [&together](int t, unsigned first, unsigned n, int new_row) {
      _VEXA_enterTask();
      for (unsigned i = first; i < first + n; ++i) _VEXA_writeMemory(&objects[t][i], 4);
      if (new_row >= 0)
        for (unsigned i = 0; i < 2048; ++i) _VEXA_writeMemory(&objects[2][t * 2048 + i], 4);
      pthread_barrier_wait(&together);
      _VEXA_leaveTask();
    };
    {
      std::thread a(task, 0, 0, 4096, -1), b(task, 1, 0, 4096, -1);
      a.join();
      b.join();
    }
    ASSERT_LE(rt.tsm.idle_logs(), rt.tsm.idle_cap());
    {
      std::thread a(task, 0, 0, 2048, 2), b(task, 1, 0, 2048, 2);
      a.join();
      b.join();
    }
    pthread_barrier_destroy(&together);
    EXPECT_LE(rt.tsm.idle_logs(), rt.tsm.idle_cap()) << "round " << round;
    EXPECT_EQ(rt.tsm.live_logs(), 0u);
    if (HasFailure()) break;
  }
}

}  // namespace
