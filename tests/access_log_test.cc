// Access logs and the log index: the per-task code address lists, and
// finding (or creating) the access log of an object through the 256-bucket
// page index, alone and with several threads creating at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "tsm/access_log.h"
#include "tsm/log_index.h"

namespace {

using vexa::access_log_chain_t;
using vexa::access_log_t;
using vexa::log_index_t;
using vexa::object_t;

std::vector<std::uintptr_t> codes_of(access_log_t::log_t const* list) {
  std::vector<std::uintptr_t> codes;
  for (; list != nullptr; list = list->next) codes.push_back(reinterpret_cast<std::uintptr_t>(list->code));
  return codes;
}

void const* code(std::uintptr_t a) { return reinterpret_cast<void const*>(a); }

TEST(CodeList, KeepsEachAddressOnceInAscendingOrder) {
  access_log_t::log_t* list = nullptr;
  access_log_t::insert(list, code(0x200));
  EXPECT_EQ(codes_of(list), (std::vector<std::uintptr_t>{0x200}));

  access_log_t::log_t* const first = list;
  char* const before = vexa::current.thread_arena_get().chunk->free;
  access_log_t::insert(list, code(0x200));
  EXPECT_EQ(list, first);
  EXPECT_EQ(vexa::current.thread_arena_get().chunk->free, before) << "a duplicate took arena memory";

  access_log_t::insert(list, code(0x100));  // lower: becomes the first entry
  EXPECT_EQ(codes_of(list), (std::vector<std::uintptr_t>{0x100, 0x200}));
  access_log_t::insert(list, code(0x300));  // higher: appended
  access_log_t::insert(list, code(0x250));
  access_log_t::insert(list, code(0x100));
  access_log_t::insert(list, code(0x300));
  EXPECT_EQ(codes_of(list), (std::vector<std::uintptr_t>{0x100, 0x200, 0x250, 0x300}));
}

// A log index with its access log chain, and ways to look at both.
class LogIndex : public ::testing::Test {
 protected:
  access_log_chain_t::const_iterator create(object_t o) { return index.find_or_create(logs, o); }

  access_log_chain_t::const_iterator find(object_t o, bool expect_usable_entry) {
    bool usable = !expect_usable_entry;
    access_log_chain_t::const_iterator found = index.find(o, usable);
    EXPECT_EQ(usable, expect_usable_entry) << "object at " << std::hex << o.base;
    return found;
  }

  // The index entry of the line holding address a, or null.
  log_index_t::chain_type::node_t* entry_of(std::uintptr_t a) {
    for (auto* e = index.chains[log_index_t::bucket(a)].head.load(); e != nullptr; e = e->next.load())
      if (log_index_t::page(e->value.object.base) == log_index_t::page(a)) return e;
    return nullptr;
  }

  std::vector<std::uintptr_t> pages_in_bucket(unsigned b) {
    std::vector<std::uintptr_t> pages;
    for (auto* e = index.chains[b].head.load(); e != nullptr; e = e->next.load())
      pages.push_back(log_index_t::page(e->value.object.base));
    return pages;
  }

  access_log_chain_t logs;
  log_index_t index;
};

TEST_F(LogIndex, FirstLogOfALineIsIndexedAndLowerLogsAreReachedThroughPrev) {
  object_t const first{0x20090, 4}, lower{0x20084, 4}, higher{0x200a0, 8};
  auto a = create(first);
  auto* entry = entry_of(0x20090);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->value.access_log.load(), a.node());
  EXPECT_EQ(entry->value.object, first);

  auto b = create(lower);
  auto c = create(higher);
  EXPECT_EQ(entry_of(0x20090), entry);
  EXPECT_EQ(entry->value.access_log.load(), a.node()) << "a later log of the line must not move the entry";
  EXPECT_EQ(b.node()->next.load(), a.node());
  EXPECT_EQ(find(lower, true), b);
  EXPECT_EQ(find(first, true), a);
  EXPECT_EQ(find(higher, true), c);
  EXPECT_EQ(pages_in_bucket(log_index_t::bucket(0x20090)).size(), 1u) << "one entry per line";
}

TEST_F(LogIndex, EveryObjectOfOneLineIsFoundAndAMissingOneIsNot) {
  std::vector<object_t> const line = {{0x200bc, 4}, {0x20080, 8}, {0x200a0, 1}, {0x20088, 2}, {0x200bf, 1}};
  std::vector<access_log_chain_t::const_iterator> made;
  for (object_t const& o : line) made.push_back(create(o));
  for (std::size_t i = 0; i < line.size(); ++i) {
    EXPECT_EQ(find(line[i], true), made[i]);
    EXPECT_EQ(create(line[i]), made[i]) << "a second creation returns the first log";
  }
  EXPECT_FALSE(find({0x20090, 4}, true));
  EXPECT_FALSE(find({0x20080, 4}, true)) << "same base, other size";
  EXPECT_FALSE(find({0x200c0, 4}, false)) << "the next line has no entry";
}

TEST_F(LogIndex, SameBaseWithDifferentSizesGivesAdjacentLogsSmallerFirst) {
  std::uintptr_t const x = 0x31000;
  auto four = create({x, 4});
  auto two = create({x, 2});
  auto eight = create({x, 8});
  EXPECT_NE(two, four);
  EXPECT_EQ(two.node()->next.load(), four.node());
  EXPECT_EQ(four.node()->next.load(), eight.node());
  EXPECT_EQ(find({x, 2}, true), two);
  EXPECT_EQ(find({x, 4}, true), four);
  EXPECT_EQ(find({x, 8}, true), eight);
}

TEST_F(LogIndex, LastByteOfALineAndTheNextByteUseDifferentBuckets) {
  EXPECT_EQ(log_index_t::bucket(0x1003f), 0u);
  EXPECT_EQ(log_index_t::bucket(0x10040), 1u);
  EXPECT_EQ(log_index_t::bucket(0x13fff), 255u);
  EXPECT_EQ(log_index_t::bucket(0x14000), 0u);
  EXPECT_EQ(log_index_t::page(0x13fff), 0x10000u);
  EXPECT_EQ(log_index_t::page(0x14000), 0x14000u);

  auto last = create({0x1003f, 1});
  auto next = create({0x10040, 1});
  EXPECT_EQ(pages_in_bucket(0), (std::vector<std::uintptr_t>{0x10000}));
  EXPECT_EQ(pages_in_bucket(1), (std::vector<std::uintptr_t>{0x10000}));
  EXPECT_EQ(entry_of(0x1003f)->value.access_log.load(), last.node());
  EXPECT_EQ(entry_of(0x10040)->value.access_log.load(), next.node());
  EXPECT_EQ(find({0x1003f, 1}, true), last);
  EXPECT_EQ(find({0x10040, 1}, true), next);
}

TEST_F(LogIndex, LinesOfOnePageOffsetInOtherPagesShareABucketAndAreToldApartByPage) {
  // Created middle, then above (front of the bucket chain), then below.
  std::vector<std::uintptr_t> const bases = {0x48044, 0x50044, 0x40044};
  std::vector<access_log_chain_t::const_iterator> made;
  for (std::uintptr_t b : bases) made.push_back(create({b, 4}));
  EXPECT_EQ(pages_in_bucket(1), (std::vector<std::uintptr_t>{0x50000, 0x48000, 0x40000}));
  for (std::size_t i = 0; i < bases.size(); ++i) {
    EXPECT_EQ(find({bases[i], 4}, true), made[i]);
    EXPECT_EQ(entry_of(bases[i])->value.access_log.load(), made[i].node());
  }
  // Pages above the highest, between two, and below the lowest have no entry.
  EXPECT_FALSE(find({0x54044, 4}, false));
  EXPECT_FALSE(find({0x44044, 4}, false));
  EXPECT_FALSE(find({0x3c044, 4}, false));

  auto between = create({0x44044, 4});
  EXPECT_EQ(pages_in_bucket(1), (std::vector<std::uintptr_t>{0x50000, 0x48000, 0x44000, 0x40000}));
  EXPECT_EQ(between.node()->prev.load(), made[2].node()) << "logged in address order next to its page neighbours";
  EXPECT_EQ(between.node()->next.load(), made[0].node());
  EXPECT_EQ(find({0x44044, 4}, true), between);
}

// Threads create the logs of overlapping object sets (several lines, pages
// and sizes) in different orders. Afterwards every object has exactly one
// log that every creator got, the chain is sorted, and every line has one
// index entry naming a log of that line.
TEST_F(LogIndex, ConcurrentCreationKeepsOneLogPerObjectAndOneEntryPerLine) {
  std::vector<object_t> objects;
  for (std::uintptr_t page : {0x60000u, 0x64000u, 0x6c000u})
    for (std::uintptr_t line : {0x0u, 0x40u, 0x1fc0u})
      for (std::uintptr_t offset = 0; offset < 64; offset += 4) {
        objects.push_back({page + line + offset, 4});
        objects.push_back({page + line + offset, 2});
      }
  constexpr unsigned threads = 6;
  std::vector<std::vector<access_log_chain_t::const_iterator>> got(threads);
  std::atomic<unsigned> waiting{threads};
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      std::vector<std::size_t> order(objects.size());
      for (std::size_t i = 0; i < order.size(); ++i) order[i] = (t % 2 == 0) ? i : order.size() - 1 - i;
      std::rotate(order.begin(), order.begin() + t * order.size() / threads, order.end());
      got[t].resize(objects.size());
      waiting.fetch_sub(1, std::memory_order_acq_rel);
      while (waiting.load(std::memory_order_acquire) != 0) std::this_thread::yield();
      for (std::size_t i : order) got[t][i] = create(objects[i]);
    });
  for (auto& th : pool) th.join();

  for (std::size_t i = 0; i < objects.size(); ++i) {
    ASSERT_EQ(got[0][i]->object, objects[i]);
    for (unsigned t = 1; t < threads; ++t) ASSERT_EQ(got[t][i], got[0][i]) << "object " << i << " thread " << t;
    ASSERT_EQ(find(objects[i], true), got[0][i]);
  }
  std::size_t count = 0;
  object_t last{0, 0};
  for (auto* n = logs.head.load(); n != nullptr; n = n->next.load(), ++count) {
    if (count != 0) {
      ASSERT_TRUE(last < n->value.object);
    }
    last = n->value.object;
  }
  EXPECT_EQ(count, objects.size());
  for (object_t const& o : objects) {
    auto* entry = entry_of(o.base);
    ASSERT_NE(entry, nullptr);
    std::uintptr_t const named = entry->value.access_log.load()->value.object.base;
    EXPECT_EQ(named >> 6, o.base >> 6) << "the entry names a log outside its line";
  }
  for (unsigned b : {0u, 1u, 127u}) EXPECT_EQ(pages_in_bucket(b), (std::vector<std::uintptr_t>{0x6c000, 0x64000, 0x60000}));
}

}  // namespace
