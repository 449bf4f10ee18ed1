// Access logs and their two indexes: the per-object site lists, the hash
// index from an object to its log (through growth and removal), and the
// extent index that finds every log sharing a byte with an object.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "tsm/access_log.h"
#include "tsm/extent_index.h"
#include "tsm/log_index.h"
#include "tsm/log_pool.h"
#include "tsm/repeat_cache.h"
#include "tsm/shadow_memory.h"

namespace {

using vexa::access_log_t;
using vexa::extent_index_t;
using vexa::log_index_t;
using vexa::log_pool_t;
using vexa::object_t;
using vexa::shadow_memory_t;
using vexa::site_list_t;

std::vector<std::pair<unsigned, std::uintptr_t>> sites_of(site_list_t const& l) {
  std::vector<std::pair<unsigned, std::uintptr_t>> v;
  for (auto const& s : l) v.emplace_back(s.task, s.code);
  return v;
}

TEST(SiteList, KeepsEachSiteOnceOrderedByTaskThenCodeAndDropsATaskWhole) {
  site_list_t l;
  l.insert(3, 0x200);
  EXPECT_FALSE(l.others_than(3));
  EXPECT_TRUE(l.others_than(1));
  l.insert(3, 0x200);
  l.insert(1, 0x300);
  l.insert(3, 0x100);
  l.insert(7, 0x50);
  l.insert(1, 0x300);
  EXPECT_EQ(sites_of(l), (std::vector<std::pair<unsigned, std::uintptr_t>>{
                             {1, 0x300}, {3, 0x100}, {3, 0x200}, {7, 0x50}}));
  EXPECT_EQ(l.tasks(), 3u);
  EXPECT_TRUE(l.contains(3, 0x100) && !l.contains(3, 0x300) && l.has_task(7) && !l.has_task(2));

  EXPECT_TRUE(l.erase_task(3));
  EXPECT_FALSE(l.erase_task(3));
  EXPECT_EQ(sites_of(l), (std::vector<std::pair<unsigned, std::uintptr_t>>{{1, 0x300}, {7, 0x50}}));
  EXPECT_TRUE(l.erase_task(1));
  EXPECT_EQ(sites_of(l), (std::vector<std::pair<unsigned, std::uintptr_t>>{{7, 0x50}})) << "back in the list itself";
  EXPECT_FALSE(l.others_than(7));
  l.insert(2, 0x10);
  EXPECT_EQ(sites_of(l), (std::vector<std::pair<unsigned, std::uintptr_t>>{{2, 0x10}, {7, 0x50}}));
}

// Absorbing a finished task gives its sites to another task, merged with
// that task's own at the same places: the result is the same as relabelling
// every site and merging equal ones, whatever the two tasks and the lists
// held (a few sites each, or more than fit aside at once).
TEST(SiteList, MovingATaskMergesItsSitesIntoTheOthers) {
  std::mt19937 random(11);
  using site = std::tuple<unsigned, std::uintptr_t, std::uint64_t, bool>;  // task, code, step, atomic
  for (int round = 0; round < 400; ++round) {
    site_list_t l;
    std::vector<site> expected;
    unsigned const from = 1 + random() % 4, to = 1 + random() % 4;
    if (from == to) continue;
    unsigned const n = round % 10 == 0 ? 30 : random() % 8;
    for (unsigned i = 0; i < n; ++i) {
      unsigned const task = 1 + random() % 4;
      std::uintptr_t const code = 0x10 + random() % (round % 10 == 0 ? 24 : 6);
      bool const atomic = random() % 2 == 0;
      l.insert(task, code, {random() % 50, 0, atomic});
    }
    bool const had_before = l.has_task(to);
    for (auto const& x : l)
      expected.emplace_back(x.task == from ? to : x.task, x.code, x.task == from ? 77 : x.step, x.atomic != 0);
    std::sort(expected.begin(), expected.end());
    std::vector<site> merged;
    for (site const& x : expected) {
      if (!merged.empty() && std::get<0>(merged.back()) == std::get<0>(x) && std::get<1>(merged.back()) == std::get<1>(x)) {
        std::get<2>(merged.back()) = std::max(std::get<2>(merged.back()), std::get<2>(x));
        std::get<3>(merged.back()) = std::get<3>(merged.back()) && std::get<3>(x);
      } else {
        merged.push_back(x);
      }
    }
    bool const moves = l.has_task(from);
    bool had = false;
    ASSERT_EQ(l.move_task(from, to, 77, had), moves) << round;
    if (moves) {
      EXPECT_EQ(had, had_before) << round;
    }
    std::vector<site> got;
    for (auto const& x : l) got.emplace_back(x.task, x.code, x.step, x.atomic != 0);
    ASSERT_EQ(got, merged) << round;
  }
}

// Logs from a pool, linked into an index the way the detector does it.
class Indexes : public ::testing::Test {
 protected:
  ~Indexes() override { heads.unmap(); }
  access_log_t* add(object_t o) {
    index.reserve_one(o);
    access_log_t* l = pool.acquire();
    l->set_key(o);
    l->dead = false;
    index.insert(l);
    extents.insert(o, l);
    return l;
  }
  void remove(access_log_t* l) {
    index.erase(l);
    extents.erase(l->key());
    l->dead = true;
    pool.release(l);
  }
  std::vector<object_t> meeting(object_t o) {
    std::vector<object_t> found;
    extents.for_each_meeting(extent_index_t::low(o), extent_index_t::high(o),
                             [&](extent_index_t::entry_t const& e) { found.push_back(e.key); });
    std::sort(found.begin(), found.end());
    return found;
  }

  log_pool_t pool;
  shadow_memory_t heads;
  log_index_t index{heads};
  extent_index_t extents;
};

// Two small objects share each granule's chain and a wider one at the same
// base is in the table; growth relinks the table several times over and
// removal unlinks from the middle of chains. Without granule words (the
// shadow's leaves ran out) small objects go to the table and are found
// there. Equal bases with other sizes are other objects.
TEST_F(Indexes, IndexFindsEveryLinkedLogThroughGrowthAndRemoval) {
  auto object = [](std::uintptr_t i) {
    std::uintptr_t const base = 0x10000 + (i / 3) * 32;
    return i % 3 == 0 ? object_t{base, 4} : i % 3 == 1 ? object_t{base + 4, 4} : object_t{base, 24};
  };
  for (std::size_t leaves : {std::size_t{0}, std::size_t{64}}) {
    shadow_memory_t words{leaves};
    log_index_t index{words};
    std::vector<access_log_t*> logs;
    for (std::uintptr_t i = 0; i < 30000; ++i) {
      index.reserve_one(object(i));
      access_log_t* l = pool.acquire();
      l->set_key(object(i));
      l->dead = false;
      index.insert(l);
      logs.push_back(l);
    }
    EXPECT_EQ(index.size(), 30000u);
    for (std::size_t i = 0; i < logs.size(); i += 4) index.erase(logs[i]);
    for (std::size_t i = 0; i < logs.size(); ++i) {
      access_log_t* const expected = i % 4 == 0 ? nullptr : logs[i];
      ASSERT_EQ(index.find(object(i)), expected) << leaves << " " << i;
      ASSERT_EQ(index.find_exact(object(i)), expected) << leaves << " " << i;
    }
    EXPECT_EQ(index.find({0x10000, 5}), nullptr);
    EXPECT_EQ(index.size(), 30000u - 7500u);
    for (access_log_t* l : logs) pool.release(l);
    words.unmap();
  }
}

TEST_F(Indexes, RemovedLogsAreReusedBeforeNewSlabs) {
  std::vector<access_log_t*> logs;
  for (std::uintptr_t i = 0; i < 20000; ++i) logs.push_back(add({0x10000 + i * 16, 16}));
  for (std::size_t i = 0; i < logs.size(); i += 2) remove(logs[i]);
  for (std::uintptr_t i = 0; i < 10000; ++i) add({0x80000 + i * 16, 16});
  EXPECT_LE(pool.capacity(), 20000u + log_pool_t::slab_logs);
}

// Small objects, one huge one far below, zero-sized ones: each query finds
// exactly the objects whose bytes meet it (an empty object stands for its
// base byte), however large the largest object is.
TEST_F(Indexes, ExtentIndexFindsExactlyTheObjectsSharingAByte) {
  add({0x1000, 0x100000});  // huge, starts far below the others
  for (std::uintptr_t a = 0x80000; a < 0x80100; a += 4) add({a, 4});
  add({0x80042, 0});
  add({0x200000, 8});
  EXPECT_EQ(meeting({0x80040, 4}),
            (std::vector<object_t>{{0x1000, 0x100000}, {0x80040, 4}, {0x80042, 0}}));
  EXPECT_EQ(meeting({0x80042, 0}), (std::vector<object_t>{{0x1000, 0x100000}, {0x80040, 4}, {0x80042, 0}}));
  EXPECT_EQ(meeting({0x100ffe, 4}), (std::vector<object_t>{{0x1000, 0x100000}}));
  EXPECT_EQ(meeting({0x101000, 0x1000}), (std::vector<object_t>{}));
  EXPECT_EQ(meeting({0x1fffff, 2}), (std::vector<object_t>{{0x200000, 8}}));
}

// Tables grow, empty out in the middle of probe runs and shrink again; small
// queries probe buckets, wide ones walk whole tables. Every answer matches a
// plain scan of what is live, and so does every "nothing lies within" of
// the lock-free page counts.
TEST_F(Indexes, ExtentIndexAnswersMatchAScanThroughGrowthRemovalAndShrinking) {
  std::mt19937 random(7);
  std::vector<access_log_t*> live;
  auto scan = [&](object_t o) {
    std::vector<object_t> found;
    for (access_log_t* l : live)
      if (extent_index_t::low(l->key()) < extent_index_t::high(o) &&
          extent_index_t::high(l->key()) > extent_index_t::low(o))
        found.push_back(l->key());
    std::sort(found.begin(), found.end());
    return found;
  };
  std::size_t none_within = 0;
  auto query = [&](int round) {
    for (int q = 0; q < 200; ++q) {
      std::uintptr_t const base = 0x100000 + random() % 0x40000;
      object_t const o{base, q % 10 == 0 ? random() % 0x80000 : random() % 40};
      ASSERT_EQ(meeting(o), scan(o)) << round << " " << o.base << " " << o.size;
      object_t const range{base, q % 2 == 0 ? random() % 0x3000 : random() % 0x20000};
      if (!extents.holds_none(extent_index_t::low(range), extent_index_t::high(range))) continue;
      ++none_within;
      for (object_t const& m : scan(range))
        ASSERT_FALSE(m.base >= range.base && extent_index_t::high(m) <= extent_index_t::high(range))
            << round << " " << range.base << " " << range.size << " holds " << m.base << " " << m.size;
    }
  };
  for (int round = 0; round < 3; ++round) {
    while (live.size() < 6000) {
      object_t const o{0x100000 + (random() % 0x40000), std::uintptr_t{1} << (random() % 4) * 3};
      if (index.find_exact(o) == nullptr) live.push_back(add(o));
    }
    query(round);
    std::shuffle(live.begin(), live.end(), random);
    while (live.size() > 50) {
      remove(live.back());
      live.pop_back();
    }
    query(round);
  }
  EXPECT_GT(none_within, 0u) << "the counts answered only maybe";
}

// A stamp stands for one access shape of one task state: two different
// ones never share a stamp, however their shapes crowd the thread's slots,
// and the same one keeps its stamp while nothing else takes its slot.
TEST(Shadow, StampsNeverStandForTwoDifferentAccesses) {
  auto stamps = std::make_unique<vexa::repeat_stamps_t>();
  std::map<std::uint64_t, std::tuple<std::uint64_t, std::uint64_t, std::uintptr_t, std::uintptr_t, int, int>> meaning;
  std::mt19937 random(7);
  unsigned again = 0;
  for (int i = 0; i < 200000; ++i) {
    std::uint64_t const era = i / 5000 % 3;
    vexa::site_how_t const how{static_cast<std::uint64_t>(i / 7000 % 2), 0, random() % 8 == 0};
    std::uintptr_t const size = std::uintptr_t{1} << (random() % 4);
    object_t const o{0x10000 + (random() % 64) * size, size};
    std::uintptr_t const code = 0x400000 + (random() % 600) * 4;
    auto const access = static_cast<tsm_access_t>(random() % 2);
    std::uint64_t const s = stamps->stamp(o, access, code, 1, how, era, 0);
    auto const what = std::make_tuple(era, how.step, o.base & 7, code, int{access} | int{how.atomic} << 1, int(size));
    auto const [at, added] = meaning.emplace(s, what);
    ASSERT_EQ(at->second, what) << "stamp " << s << " at call " << i;
    ASSERT_EQ(stamps->stamp(o, access, code, 1, how, era, 0), s);
    again += !added;
  }
  EXPECT_GT(again, 0u) << "no stamp ever came back";
  EXPECT_EQ(stamps->stamp(object_t{0x10000, 16}, TSM_READ, 0x400000, 1, {}, 0, 0), 0u) << "wider than a granule";
  EXPECT_EQ(stamps->stamp(object_t{0x10006, 4}, TSM_READ, 0x400000, 1, {}, 0, 0), 0u) << "across two granules";
}

// Words are per granule and exist once written; clearing a range empties
// exactly its granules, across a leaf's edge and over whole pages given
// back.
TEST(Shadow, ClearingARangeEmptiesExactlyItsGranules) {
  vexa::shadow_memory_t shadow;
  std::uintptr_t const leaf = std::uintptr_t{1} << vexa::shadow_memory_t::leaf_bits;
  std::uintptr_t const begin = 8 * leaf - 0x30000;
  std::uintptr_t const end = 8 * leaf + 0x30000;
  EXPECT_EQ(shadow.find(begin), nullptr);
  for (std::uintptr_t a = begin - 64; a < end + 64; a += 8) shadow.word(a)->store(a, std::memory_order_relaxed);
  ASSERT_EQ(shadow.find(begin + 3), shadow.word(begin));
  ASSERT_NE(shadow.find(begin + 8), shadow.find(begin));
  shadow.clear(begin + 5, end - 5);
  for (std::uintptr_t a = begin - 64; a < end + 64; a += 8)
    ASSERT_EQ(shadow.find(a)->load(std::memory_order_relaxed), a >= begin && a < end ? 0 : a) << std::hex << a;
  shadow.word(end + 64)->store(1, std::memory_order_relaxed);
  shadow.clear(0, UINTPTR_MAX);  // through the leaves made, not the whole table
  EXPECT_EQ(shadow.find(end + 64)->load(std::memory_order_relaxed), 0u);
  EXPECT_EQ(shadow.find(begin - 64)->load(std::memory_order_relaxed), 0u);
}

}  // namespace
