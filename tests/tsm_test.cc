// The sharing detector's bookkeeping: which accesses are logged (current
// task, unlogged and suspended tasks, data and code filters), what a log
// records, the two largest-write values, forgetting a task, reset, the
// statistics, and what a repeated access costs.
#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "vexa/runtime.h"

// Every heap call of the process, arena chunks included, is counted here.
// The replacements sit on malloc/free, which GCC cannot see through.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<unsigned long> heap_calls{0};
// When not negative: how many more heap calls succeed before one fails.
std::atomic<long> heap_calls_left{-1};
}

void* operator new(std::size_t n) {
  heap_calls.fetch_add(1, std::memory_order_relaxed);
  if (heap_calls_left.load(std::memory_order_relaxed) >= 0 &&
      heap_calls_left.fetch_sub(1, std::memory_order_relaxed) == 0)
    throw std::bad_alloc();
  if (void* p = std::malloc(n != 0 ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

// Every lock the library takes on this thread: this test links a build of
// the library that counts them (see detectors.cmake).
#ifndef VEXA_COUNT_LOCKS
#error "tsm_test needs the library built with VEXA_COUNT_LOCKS"
#endif
using vexa::locks_taken;

namespace {

using vexa::object_t;
using vexa::task_record_t;
using vexa::tsm_t;

void const* code(std::uintptr_t a) { return reinterpret_cast<void const*>(a); }

// The code addresses of one task in a site list, in order.
std::vector<std::uintptr_t> codes_of(vexa::site_list_t const& sites, vexa::task_key_t task) {
  std::vector<std::uintptr_t> codes;
  for (auto const& s : sites)
    if (s.task == task) codes.push_back(s.code);
  return codes;
}

class Sharing : public ::testing::Test {
 protected:
  ~Sharing() override { vexa::current.record = nullptr; }

  // A task record with handle n, made the calling thread's current task.
  task_record_t& run(unsigned short n) {
    std::unique_ptr<task_record_t>& r = records[n];
    if (!r) {
      r.reset(new task_record_t);
      r->handle = n;
    }
    vexa::current.record = r.get();
    return *r;
  }

  vexa::access_log_t* access(unsigned short n, object_t o, tsm_access_t a, std::uintptr_t where) {
    run(n);
    return tsm.log(o, a, n, code(where));
  }

  std::size_t logs_in_chain() { return tsm.live_logs(); }

  tsm_t tsm;
  std::unique_ptr<task_record_t> records[8];
};

TEST_F(Sharing, EntryCodeRefusedByTheCodeFilterMarksTheTaskUnlogged) {
  run(1);
  tsm.enter(1, code(0x1008));
  EXPECT_EQ(records[1]->flags, 0u) << "without a filter every task is logged";

  auto* ignore = new vexa::logging_filter_t;
  ignore->code_ranges.insert({0x1000, 0x10});
  tsm.install_filter(ignore);
  run(2);
  tsm.enter(2, code(0x1008));
  EXPECT_EQ(records[2]->flags, task_record_t::flag_unlogged);
  run(3);
  tsm.enter(3, code(0x2000));
  EXPECT_EQ(records[3]->flags, 0u);
  EXPECT_FALSE(access(2, {0x4000, 4}, TSM_WRITE, 0x3000));
  EXPECT_TRUE(access(3, {0x4000, 4}, TSM_WRITE, 0x3000));
  vexa::access_log_t* const logged = access(3, {0x4000, 4}, TSM_WRITE, 0x3000);
  EXPECT_TRUE(logged->writes.has_task(3) && !logged->writes.has_task(2));

  auto* only = new vexa::logging_filter_t;
  only->code_ranges.insert({0x1000, 0x10});
  only->code_mode = 0;
  tsm.install_filter(only);
  run(4);
  tsm.enter(4, code(0x2000));
  EXPECT_EQ(records[4]->flags, task_record_t::flag_unlogged);
}

TEST_F(Sharing, NoTaskOrAnUnloggedOrSuspendedTaskLogsNothing) {
  vexa::current.record = nullptr;
  EXPECT_FALSE(tsm.log({0x4000, 4}, TSM_WRITE, 1, code(0x100)));
  run(1).flags = task_record_t::flag_unlogged;
  EXPECT_FALSE(access(1, {0x4000, 4}, TSM_WRITE, 0x100));
  run(1).flags = task_record_t::flag_suspended;
  EXPECT_FALSE(access(1, {0x4000, 4}, TSM_WRITE, 0x100));
  EXPECT_EQ(logs_in_chain(), 0u);
  EXPECT_EQ(records[1]->largest_write, 0u);

  run(1).flags = 0;
  EXPECT_TRUE(access(1, {0x4000, 4}, TSM_WRITE, 0x100));
}

TEST_F(Sharing, DataAndCodeFiltersBothDecideWhetherAnAccessIsLogged) {
  auto* ignore = new vexa::logging_filter_t;
  ignore->data_ranges.insert({0x5000, 0x100});
  ignore->code_ranges.insert({0x7000, 0x10});
  tsm.install_filter(ignore);
  EXPECT_FALSE(access(1, {0x5010, 4}, TSM_WRITE, 0x9000));
  EXPECT_FALSE(access(1, {0x5000, 0x100}, TSM_READ, 0x9000));
  EXPECT_TRUE(access(1, {0x50fe, 4}, TSM_READ, 0x9000)) << "only partly inside the ignored range";
  EXPECT_FALSE(access(1, {0x6000, 4}, TSM_WRITE, 0x7010)) << "code range end counts as inside";
  EXPECT_TRUE(access(1, {0x6000, 4}, TSM_WRITE, 0x7011));
  EXPECT_EQ(logs_in_chain(), 2u);

  auto* only = new vexa::logging_filter_t(*ignore);
  only->data_mode = 0;
  tsm.install_filter(only);
  EXPECT_TRUE(access(1, {0x5010, 4}, TSM_WRITE, 0x9000));
  EXPECT_FALSE(access(1, {0x6100, 4}, TSM_WRITE, 0x9000));
  EXPECT_FALSE(access(1, {0x5010, 4}, TSM_WRITE, 0x7000)) << "the code filter still applies";
  EXPECT_EQ(logs_in_chain(), 3u);
}

TEST_F(Sharing, LogListsEachTasksCodeAddressesPerKindOfAccess) {
  object_t const x{0x8000, 4};
  auto first = access(1, x, TSM_READ, 0x300);
  EXPECT_EQ(access(1, x, TSM_READ, 0x100), first);
  EXPECT_EQ(access(1, x, TSM_READ, 0x300), first);
  EXPECT_EQ(access(2, x, TSM_WRITE, 0x200), first);
  EXPECT_EQ(access(1, x, TSM_WRITE, 0x150), first);
  EXPECT_NE(access(1, {0x8000, 2}, TSM_READ, 0x100), first);

  auto const& log = *first;
  EXPECT_EQ(log.key(), x);
  ASSERT_EQ(log.reads.tasks(), 1u);
  EXPECT_EQ(codes_of(log.reads, 1), (std::vector<std::uintptr_t>{0x100, 0x300}));
  ASSERT_EQ(log.writes.tasks(), 2u);
  EXPECT_EQ(codes_of(log.writes, 1), (std::vector<std::uintptr_t>{0x150}));
  EXPECT_EQ(codes_of(log.writes, 2), (std::vector<std::uintptr_t>{0x200}));
}

// A line of eight granules chains up to 288 objects (36 per granule: each
// start and size inside it); a range over the line meets every one of
// them, however many there are.
TEST_F(Sharing, AFreedLineOfGranulesForgetsEveryObjectChainedThere) {
  std::uintptr_t const line = 0x10000000;
  unsigned made = 0;
  for (unsigned g = 0; g < 8; ++g)
    for (unsigned off = 0; off < 8; ++off)
      for (unsigned size = 1; off + size <= 8 && made < 256; ++size, ++made)
        access(1, {line + g * 8 + off, size}, TSM_WRITE, 0x100);
  ASSERT_EQ(logs_in_chain(), 256u);
  tsm.forget(line, line + 64);
  EXPECT_EQ(logs_in_chain(), 0u);
}

TEST_F(Sharing, LargestWritesFollowLoggedWritesOnly) {
  EXPECT_EQ(tsm.largest_write.load(), 4u);
  access(1, {0x9000, 2}, TSM_WRITE, 0x100);
  EXPECT_EQ(records[1]->largest_write, 2u);
  EXPECT_EQ(tsm.largest_write.load(), 4u) << "never below 4";
  access(1, {0x9000, 16}, TSM_READ, 0x100);
  EXPECT_EQ(records[1]->largest_write, 2u);
  access(1, {0x9000, 8}, TSM_WRITE, 0x100);
  EXPECT_EQ(records[1]->largest_write, 8u);
  EXPECT_EQ(tsm.largest_write.load(), 8u);
  access(2, {0x9100, 6}, TSM_WRITE, 0x100);
  EXPECT_EQ(records[2]->largest_write, 6u);
  EXPECT_EQ(tsm.largest_write.load(), 8u);
  access(2, {0x9100, 12}, TSM_WRITE, 0x100);
  EXPECT_EQ(tsm.largest_write.load(), 12u);
  EXPECT_EQ(records[1]->largest_write, 8u);

  run(3).flags = task_record_t::flag_suspended;
  access(3, {0x9200, 64}, TSM_WRITE, 0x100);
  EXPECT_EQ(records[3]->largest_write, 0u);
  EXPECT_EQ(tsm.largest_write.load(), 12u) << "an unlogged write raised it";
}

// A log that no live task holds any more goes back to the pool; the next
// access makes a fresh one.
TEST_F(Sharing, LeavingTaskLosesItsEntriesAndOthersKeepTheirs) {
  object_t const a{0xa000, 4}, b{0xa100, 8}, c{0xa200, 4};
  for (unsigned short n : {1, 2}) {
    access(n, a, TSM_READ, 0x100);
    access(n, b, TSM_WRITE, 0x200);
  }
  access(1, a, TSM_WRITE, 0x300);
  access(1, c, TSM_WRITE, 0x300);
  tsm.leave(1, code(0x999));
  EXPECT_EQ(logs_in_chain(), 2u) << "c was task 1's alone";
  for (object_t const& o : {a, b}) {
    auto const* l = access(3, o, TSM_READ, 0x700);
    EXPECT_FALSE(l->reads.has_task(1) || l->writes.has_task(1));
    EXPECT_TRUE(l->reads.has_task(2) || l->writes.has_task(2));
  }
  tsm.discard(2);
  tsm.discard(3);
  EXPECT_EQ(logs_in_chain(), 0u);
  auto const* again = access(4, a, TSM_READ, 0x100);
  EXPECT_EQ(again->key(), a);
  EXPECT_EQ(codes_of(again->reads, 1).size() + codes_of(again->reads, 2).size(), 0u) << "a recycled log starts empty";
}

// A finished task's accesses move off its handle whole (steps and places
// kept), the handle serves a new task, and the key comes back when the
// accesses go.
TEST_F(Sharing, SetAsideMovesAFinishedTasksAccessesToAKeyGivenBackWhenTheyGo) {
  object_t const a{0xb000, 4}, b{0xb100, 4};
  run(1).step = 3;
  access(1, a, TSM_WRITE, 0x100);
  access(2, a, TSM_READ, 0x200);
  run(1).step = 5;
  access(1, b, TSM_READ, 0x300);
  access(1, a, TSM_READ, 0x310);
  vexa::task_key_t const key = tsm.set_aside(1);
  ASSERT_GT(key, 65535u);
  EXPECT_EQ(tsm.touched_length(1), 0u);
  EXPECT_EQ(tsm.touched_length(key), 2u);
  EXPECT_EQ(tsm.keys_in_use(), 1u);
  auto const* la = access(3, a, TSM_READ, 0x400);
  EXPECT_FALSE(la->reads.has_task(1) || la->writes.has_task(1));
  ASSERT_EQ(codes_of(la->writes, key), (std::vector<std::uintptr_t>{0x100}));
  EXPECT_EQ(codes_of(la->reads, key), (std::vector<std::uintptr_t>{0x310}));
  EXPECT_EQ(la->writes.begin()->step, 3u);
  EXPECT_EQ(codes_of(la->reads, 2), (std::vector<std::uintptr_t>{0x200})) << "other tasks' sites stay in order";

  tsm.absorb(key, 2, 9);
  EXPECT_EQ(tsm.keys_in_use(), 0u);
  EXPECT_EQ(codes_of(la->writes, 2), (std::vector<std::uintptr_t>{0x100}));
  access(1, b, TSM_WRITE, 0x500);  // the handle's next task starts clean
  vexa::task_key_t const again = tsm.set_aside(1);
  EXPECT_EQ(again, key) << "a key given back is given out again";
  tsm.discard(again);
  EXPECT_EQ(tsm.keys_in_use(), 0u);
  EXPECT_EQ(tsm.touched_length(again), 0u);
  for (unsigned short n : {2, 3}) tsm.discard(n);
  EXPECT_EQ(logs_in_chain(), 0u);
}

TEST_F(Sharing, ResetForgetsEveryLogButKeepsLargestWrites) {
  object_t const x{0xb000, 16};
  auto log_x = access(1, x, TSM_WRITE, 0x100);
  access(2, x, TSM_READ, 0x200);
  access(2, {0xb040, 4}, TSM_READ, 0x200);
  // Before the reset, task 2's read of x conflicts with task 1's write.
  tsm_t::case_t* before = tsm.check(log_x, TSM_READ, 2, code(0x200));
  EXPECT_NE(before, nullptr);
  {
    vexa::lock_scope held(tsm.cases_lock);
    tsm.cases.clear();
  }
  delete before;

  tsm.reset();
  EXPECT_EQ(logs_in_chain(), 0u);
  EXPECT_EQ(tsm.largest_write.load(), 16u);
  EXPECT_EQ(records[1]->largest_write, 16u);

  log_x = access(2, x, TSM_READ, 0x200);
  EXPECT_EQ(logs_in_chain(), 1u);
  EXPECT_EQ(tsm.check(log_x, TSM_READ, 2, code(0x200)), nullptr) << "an access before the reset conflicted";
  tsm.discard(1);  // task 1's list still names logs of before the reset
  EXPECT_EQ(logs_in_chain(), 1u) << "a stale entry of the handle's list dropped task 2's log";
}

TEST_F(Sharing, CheckThatRunsOutOfMemoryLeavesNoCaseOpen) {
  object_t const x{0xd000, 4};
  access(1, x, TSM_WRITE, 0x100);
  access(1, x, TSM_WRITE, 0x180);
  auto log_x = access(2, x, TSM_READ, 0x200);
  // The check's heap calls: the map entry, the case, then one per offense.
  // Let the case be made and the second offense fail.
  heap_calls_left = 3;
  EXPECT_THROW(tsm.check(log_x, TSM_READ, 2, code(0x200)), std::bad_alloc);
  heap_calls_left = -1;
  EXPECT_TRUE(tsm.cases.empty());

  // The handle's next conflict opens a case of its own.
  tsm_t::case_t* c = tsm.check(log_x, TSM_READ, 2, code(0x300));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->offender.code, 0x300u);
  EXPECT_EQ(c->offenses.size(), 2u);
  {
    vexa::lock_scope held(tsm.cases_lock);
    tsm.cases.clear();
  }
  delete c;
}

TEST_F(Sharing, CollectCountsLogsTasksAndSitesIntoBucketsOfTheGivenWidths) {
  object_t const x{0xc000, 4};
  for (unsigned short n : {1, 2, 3}) access(n, x, TSM_READ, 0x100 * n);
  tsm_t::statistic_t s;
  std::memset(&s, 0xff, sizeof s);
  s.readers_step = s.writers_step = s.read_sites_step = s.write_sites_step = 1;
  tsm.collect(s);
  EXPECT_EQ(s.objects, 1u);
  EXPECT_EQ(std::vector<std::uint32_t>(s.readers, s.readers + 5), (std::vector<std::uint32_t>{0, 0, 0, 1, 0}));
  EXPECT_EQ(std::vector<std::uint32_t>(s.writers, s.writers + 5), (std::vector<std::uint32_t>{1, 0, 0, 0, 0}));
  EXPECT_EQ(std::vector<std::uint32_t>(s.read_sites, s.read_sites + 5), (std::vector<std::uint32_t>{0, 3, 0, 0, 0}));
  EXPECT_EQ(std::vector<std::uint32_t>(s.write_sites, s.write_sites + 5), (std::vector<std::uint32_t>{0, 0, 0, 0, 0}));
  EXPECT_EQ(s.readers_step, 1u);

  // A second log: written by one task from five sites, read by seven tasks.
  object_t const y{0xc100, 4};
  for (std::uintptr_t site = 1; site <= 5; ++site) access(1, y, TSM_WRITE, 0x1000 * site);
  for (unsigned short n = 1; n <= 7; ++n) access(n, y, TSM_READ, 0x100);
  s.readers_step = 2;
  s.write_sites_step = 2;
  tsm.collect(s);
  EXPECT_EQ(s.objects, 2u);
  EXPECT_EQ(std::vector<std::uint32_t>(s.readers, s.readers + 5), (std::vector<std::uint32_t>{0, 1, 0, 1, 0}));
  EXPECT_EQ(std::vector<std::uint32_t>(s.writers, s.writers + 5), (std::vector<std::uint32_t>{1, 1, 0, 0, 0}));
  EXPECT_EQ(std::vector<std::uint32_t>(s.read_sites, s.read_sites + 5), (std::vector<std::uint32_t>{0, 10, 0, 0, 0}));
  EXPECT_EQ(std::vector<std::uint32_t>(s.write_sites, s.write_sites + 5), (std::vector<std::uint32_t>{0, 0, 1, 0, 0}));
  s.read_sites_step = 1;
  s.readers_step = 1;
  tsm.collect(s);
  EXPECT_EQ(s.readers[4], 1u) << "seven readers with width 1 go to the last bucket";

  s.writers_step = 0;  // no width at all: nothing to divide by
  tsm.collect(s);
  EXPECT_EQ(std::vector<std::uint32_t>(s.writers, s.writers + 5), (std::vector<std::uint32_t>{0, 0, 0, 0, 2}));
}

// The hot path: once an object and a code address are known, logging and
// checking them again costs no heap call and exactly one lock, the access
// log's own. The lookup takes no lock; the write is not larger than the
// task's largest, so feature_lock stays untouched.
TEST_F(Sharing, RepeatedAccessAllocatesNothingAndTakesAtMostOneLock) {
  std::vector<object_t> objects;
  for (std::uintptr_t i = 0; i < 2000; ++i) objects.push_back({0x100000 + i * 12, 4 + (i % 3) * 2});
  unsigned long const heap_before_first = heap_calls.load();
  run(1);
  auto both = [&](object_t const& o) {
    EXPECT_EQ(tsm.access(o, TSM_READ, 1, code(0x400)), nullptr);
    EXPECT_EQ(tsm.access(o, TSM_WRITE, 1, code(0x500)), nullptr);
  };
  for (object_t const& o : objects) both(o);
  ASSERT_GT(heap_calls.load(), heap_before_first) << "the counter does not see the detector's allocations";

  unsigned long const heap_before = heap_calls.load();
  unsigned long const locks_before = locks_taken;
  for (object_t const& o : objects) both(o);
  unsigned long const heap = heap_calls.load() - heap_before;
  unsigned long const locks = locks_taken - locks_before;
  EXPECT_EQ(heap, 0u);
  // None when the thread's repeat cache still holds the access.
  EXPECT_LE(locks, 2 * objects.size());
}

// Tasks on several threads log shared objects (many lines and pages, read
// from two sites each) and private ones at once; afterwards every access is
// accounted for.
TEST_F(Sharing, ConcurrentTasksLogEveryAccess) {
  constexpr unsigned short tasks = 4;
  constexpr std::uintptr_t shared = 300, own = 50;
  std::atomic<unsigned> waiting{tasks};
  std::vector<std::thread> pool;
  for (unsigned short t = 1; t <= tasks; ++t)
    pool.emplace_back([&, t] {
      task_record_t record;
      record.handle = t;
      vexa::current.record = &record;
      waiting.fetch_sub(1, std::memory_order_acq_rel);
      while (waiting.load(std::memory_order_acquire) != 0) std::this_thread::yield();
      for (std::uintptr_t k = 0; k < shared; ++k) {
        std::uintptr_t const i = (t % 2 == 0) ? k : shared - 1 - k;
        object_t const o{0x400000 + i * 0x1234, 4};
        tsm.log(o, TSM_READ, t, code(0x100));
        tsm.log(o, TSM_READ, t, code(0x200 + t));
      }
      for (std::uintptr_t i = 0; i < own; ++i) tsm.log({0x900000 + t * 0x10000 + i * 8, 8}, TSM_WRITE, t, code(0x300));
      vexa::current.record = nullptr;
    });
  for (auto& th : pool) th.join();

  tsm_t::statistic_t s{};
  s.readers_step = s.writers_step = s.read_sites_step = s.write_sites_step = 1;
  tsm.collect(s);
  EXPECT_EQ(s.objects, shared + tasks * own);
  EXPECT_EQ(s.readers[4], shared);
  EXPECT_EQ(s.read_sites[2], shared * tasks);
  EXPECT_EQ(s.writers[1], tasks * own);
  EXPECT_EQ(s.write_sites[1], tasks * own);
  EXPECT_EQ(tsm.largest_write.load(), 8u);
}

// Tasks on four threads log shared objects (small ones inside a large one,
// so they have neighbours) and private ones, and leave, over and over, while
// one long-lived task holds some of the shared objects. Leaves keep logs
// idle and, past the idle cache (19,200 private objects), recycle them,
// under threads that are looking them up; at the end exactly the
// long-lived task's logs are held, each with its sites, and they still
// conflict.
TEST_F(Sharing, ConcurrentLeavesRecycleOnlyWhatNoLiveTaskHolds) {
  constexpr unsigned threads = 4, rounds = 300;
  run(1);
  for (std::uintptr_t i = 0; i < 8; ++i) access(1, {0x600000 + i * 16, 4}, TSM_READ, 0x100);
  vexa::current.record = nullptr;

  std::atomic<unsigned> waiting{threads};
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      waiting.fetch_sub(1, std::memory_order_acq_rel);
      while (waiting.load(std::memory_order_acquire) != 0) std::this_thread::yield();
      for (unsigned r = 0; r < rounds; ++r) {
        task_record_t record;
        record.handle = static_cast<unsigned short>(10 + t);
        vexa::current.record = &record;
        if (r % 50 == 0) tsm.access({0x600000, 0x100}, TSM_READ, record.handle, code(0x200));
        for (std::uintptr_t i = 0; i < 16; ++i) {
          tsm.access({0x600000 + i * 16, 4}, TSM_READ, record.handle, code(0x300));
          tsm.access({0x700000 + t * 0x100000 + r * 64 + i * 4, 4}, TSM_WRITE, record.handle, code(0x400));
        }
        tsm.discard(record.handle);
        vexa::current.record = nullptr;
      }
    });
  for (auto& th : pool) th.join();

  EXPECT_EQ(logs_in_chain(), 8u);
  for (std::uintptr_t i = 0; i < 8; ++i) {
    vexa::access_log_t* l = access(2, {0x600000 + i * 16, 4}, TSM_WRITE, 0x500);
    EXPECT_EQ(codes_of(l->reads, 1), (std::vector<std::uintptr_t>{0x100}));
    tsm_t::case_t* c = tsm.check(l, TSM_WRITE, 2, code(0x500));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->offenses.size(), 1u);
    {
      vexa::lock_scope held(tsm.cases_lock);
      tsm.cases.clear();
    }
    delete c;
  }
  tsm.discard(1);
  tsm.discard(2);
  EXPECT_EQ(logs_in_chain(), 0u);
}

}  // namespace
