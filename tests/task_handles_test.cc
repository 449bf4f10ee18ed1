// Task handles: the choice of the smallest free handle, its registration in
// the thread model, its release and reuse, nesting, and overflow.
#include <gtest/gtest.h>
#include <pthread.h>

#include <condition_variable>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <ostream>
#include <thread>
#include <vector>

#include "support/debugger.h"
#include "support/worker.h"
#include "vexa/runtime.h"

using namespace vexa_test;
using vexa::thread_model_t;

namespace vexa {
void PrintTo(thread_model_t::threadid_t const& id, std::ostream* os) { *os << "(" << id.task_id << ", " << id.thread << ")"; }
}  // namespace vexa

namespace {

using thread_model = std::map<unsigned short, thread_model_t::threadid_t>;

// The runtime's thread model, entry by entry, to compare with one.
thread_model snapshot(vexa::identity_map_t const& threads) {
  thread_model m;
  for (auto const& e : threads) m.emplace(e.first, e.second);
  return m;
}

// Enters a task on the worker and returns its handle.
unsigned short enter(worker_t& w) {
  unsigned short handle = 0;
  w.run([&handle] {
    _VEXA_enterTask();
    if (vexa::task_record_t const* r = vexa::current.record) handle = r->handle;
  });
  return handle;
}

thread_model_t::threadid_t identity(worker_t const& w) { return {0, w.id}; }

class TaskHandles : public ::testing::Test {
 protected:
  void SetUp() override {
    set_enable(VEXA_ENABLE_TSM | VEXA_ENABLE_RE);
    set_guard(VEXA_GUARD_TASK);
    forget();
  }
};

// The smallest free handle of a thread model holding `handles`.
unsigned short first_free(std::initializer_list<unsigned short> handles) {
  vexa::identity_map_t m;
  for (unsigned short h : handles) m[h] = {0, 1};
  return m.first_free();
}

TEST(HandleChoice, SmallestHandleNotInUse) {
  EXPECT_EQ(first_free({}), 1);
  EXPECT_EQ(first_free({2, 3}), 1);
  EXPECT_EQ(first_free({1, 2, 4}), 3);
  EXPECT_EQ(first_free({1, 2, 3}), 4);
}

TEST(HandleChoice, TopOfTheRangeAndOverflow) {
  vexa::identity_map_t all;
  for (unsigned h = 1; h <= 65535; ++h) all[static_cast<unsigned short>(h)] = thread_model_t::threadid_t{0, h};
  EXPECT_EQ(all.first_free(), 0);
  all.erase(65535);
  EXPECT_EQ(all.first_free(), 65535);
  all.erase(40000);
  EXPECT_EQ(all.first_free(), 40000);
}

// The finished tasks' table against a std::map, through growth and
// removals that shift runs of colliding entries back: every id is found
// exactly once, with its own record, and an id in use is refused.
TEST(FinishedTable, EveryIdIsFoundOnceThroughGrowthAndRemovals) {
  vexa::finished_table_t table;
  std::map<std::uint64_t, vexa::task_record_t*> expected;
  auto record = [](std::uint64_t id) { return reinterpret_cast<vexa::task_record_t*>((id + 1) * 8); };
  std::uint64_t next = 1;
  for (int round = 0; round < 40; ++round) {
    for (int i = 0; i < 200; ++i, ++next) {
      std::uint64_t const id = round % 2 == 0 ? next : next << 32;  // neighbours, and ids alike in their low half
      ASSERT_TRUE(table.insert(id, record(id)));
      expected[id] = record(id);
    }
    ASSERT_FALSE(table.insert(expected.begin()->first, nullptr));
    int k = 0;
    for (auto it = expected.begin(); it != expected.end();) {
      if (k++ % 3 == round % 3) {
        ASSERT_EQ(table.take(it->first), it->second);
        ASSERT_EQ(table.take(it->first), nullptr);
        it = expected.erase(it);
      } else {
        ++it;
      }
    }
    ASSERT_EQ(table.size(), expected.size());
  }
  for (auto const& e : expected) ASSERT_EQ(table.take(e.first), e.second);
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.take(7), nullptr);
}

TEST_F(TaskHandles, FirstTaskGetsOneAndLaterTasksTakeTheFirstGap) {
  std::vector<worker_t> w(6);
  EXPECT_EQ(enter(w[0]), 1);
  EXPECT_EQ(enter(w[1]), 2);
  EXPECT_EQ(enter(w[2]), 3);
  EXPECT_EQ(enter(w[3]), 4);
  w[2].run(_VEXA_leaveTask);
  EXPECT_EQ(vexa::vexa.threads.count(3), 0u);
  EXPECT_EQ(enter(w[4]), 3);
  EXPECT_EQ(enter(w[5]), 5);

  EXPECT_EQ(snapshot(vexa::vexa.threads), (thread_model{{1, identity(w[0])},
                                               {2, identity(w[1])},
                                               {3, identity(w[4])},
                                               {4, identity(w[3])},
                                               {5, identity(w[5])}}));
  EXPECT_EQ(vexa::vexa.live_tasks.load(), 5u);
  for (std::size_t i : {0, 1, 3, 4, 5}) w[i].run(_VEXA_leaveTask);
  EXPECT_TRUE(vexa::vexa.threads.empty());
  EXPECT_EQ(vexa::vexa.live_tasks.load(), 0u);
  EXPECT_EQ(reasons(), std::vector<vexa_event_reason_t>{});
}

TEST_F(TaskHandles, HandleOneIsReusedByTheNextTaskOnAnyThread) {
  std::vector<worker_t> w(3);
  EXPECT_EQ(enter(w[0]), 1);
  EXPECT_EQ(enter(w[1]), 2);
  w[0].run(_VEXA_leaveTask);
  EXPECT_EQ(enter(w[2]), 1);
  EXPECT_EQ(snapshot(vexa::vexa.threads), (thread_model{{1, identity(w[2])}, {2, identity(w[1])}}));
  w[1].run(_VEXA_leaveTask);
  w[2].run(_VEXA_leaveTask);
}

TEST_F(TaskHandles, NestedTaskHasItsOwnHandleAndRestoresItsParent) {
  _VEXA_enterTask();
  vexa::task_record_t* const outer = vexa::current.record;
  ASSERT_NE(outer, nullptr);
  _VEXA_enterTask();
  vexa::task_record_t* const inner = vexa::current.record;
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->parent, outer);
  EXPECT_EQ(outer->handle, 1);
  EXPECT_EQ(inner->handle, 2);

  _VEXA_leaveTask();
  EXPECT_EQ(vexa::current.record, outer);
  EXPECT_EQ(outer->handle, 1);
  thread_model_t::threadid_t const self{0, static_cast<unsigned long>(pthread_self())};
  EXPECT_EQ(snapshot(vexa::vexa.threads), (thread_model{{1, self}}));
  _VEXA_leaveTask();
  EXPECT_EQ(vexa::current.record, nullptr);
  EXPECT_EQ(reasons(), std::vector<vexa_event_reason_t>{});
}

// A 32-bit process cannot hold 65535 live task records of 64 KiB each; the
// thread model is filled directly instead.
TEST_F(TaskHandles, EnteringWithEveryHandleTakenOverflowsAndTheLeaveFindsNoTask) {
  thread_model_t::threadid_t const elsewhere{0, 12345};
  for (unsigned h = 1; h <= 65535; ++h) vexa::vexa.threads.emplace_hint(vexa::vexa.threads.end(), static_cast<unsigned short>(h), elsewhere);

  _VEXA_enterTask();
  EXPECT_EQ(reasons(), std::vector<vexa_event_reason_t>{VEXA_ERROR_TASK_HANDLE_OVERFLOW});
  EXPECT_EQ(vexa::current.record, nullptr);
  EXPECT_EQ(vexa::vexa.live_tasks.load(), 0u);  // a refused entry counts no task
  EXPECT_EQ(vexa::vexa.threads.size(), 65535u);
  EXPECT_EQ(vexa::vexa.threads.find(1)->second, elsewhere);
  EXPECT_EQ(__VEXA_isGuardedCall & VEXA_GUARD_MEMORY, VEXA_GUARD_MEMORY);

  forget();
  _VEXA_leaveTask();
  EXPECT_EQ(reasons(), std::vector<vexa_event_reason_t>{VEXA_ERROR_TASK_NESTING});
  EXPECT_EQ(vexa::vexa.live_tasks.load(), 0u);
  EXPECT_EQ(vexa::vexa.threads.size(), 65535u);
}

}  // namespace
