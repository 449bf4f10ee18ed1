// logging_filter_t: the range order and what std::set makes of it, the
// point and access matches, the verdict under both modes, thread identities
// and copies.
#include <gtest/gtest.h>

#include <set>
#include <type_traits>
#include <utility>
#include <vector>

#include "vexa/filter.h"

using vexa::logging_filter_t;
using range_t = logging_filter_t::range_t;
using threadid_t = vexa::thread_model_t::threadid_t;

// The sets run the standard ordered-set algorithms on the range order
// itself: an interval structure would answer inserts and erases otherwise.
static_assert(std::is_same<decltype(logging_filter_t::code_ranges), std::set<range_t>>::value, "std::set of ranges");
static_assert(std::is_same<decltype(logging_filter_t::data_ranges), std::set<range_t>>::value, "std::set of ranges");
static_assert(std::is_same<decltype(logging_filter_t::thread_ids), std::set<threadid_t>>::value, "std::set of ids");

namespace {

std::vector<std::pair<unsigned, unsigned>> contents(std::set<range_t> const& s) {
  std::vector<std::pair<unsigned, unsigned>> v;
  for (range_t const& r : s) v.emplace_back(r.base, r.size);
  return v;
}

bool equivalent(range_t a, range_t b) { return !(a < b) && !(b < a); }

}  // namespace

TEST(Filter, RangesAreOrderedByStartAndEndAndContainmentIsEquivalence) {
  EXPECT_TRUE((range_t{0x400, 0x10} < range_t{0x500, 0x10}));   // apart
  EXPECT_TRUE((range_t{0x400, 0x10} < range_t{0x408, 0x10}));   // partial overlap
  EXPECT_FALSE((range_t{0x408, 0x10} < range_t{0x400, 0x10}));
  EXPECT_TRUE(equivalent({0x400, 0x20}, {0x408, 0x10}));        // contained
  EXPECT_TRUE(equivalent({0x400, 0x20}, {0x400, 0x10}));        // shared start
  EXPECT_TRUE(equivalent({0x400, 0x20}, {0x410, 0x10}));        // shared end
  EXPECT_TRUE(equivalent({0x400, 0x10}, {0x400, 0x10}));
  // On i386 the end wraps in 32 bits (a native build widens address_t).
  if (sizeof(vexa::address_t) == 4) {
    EXPECT_EQ((range_t{0xfffffff0u, 0x20}.end()), 0x10u);
  }
}

TEST(Filter, PointMatchCountsTheEndAddressAsInside) {
  std::set<range_t> const code{{0x400, 0x10}};
  EXPECT_TRUE(logging_filter_t::point_match(code, 0x400));
  EXPECT_TRUE(logging_filter_t::point_match(code, 0x408));
  EXPECT_TRUE(logging_filter_t::point_match(code, 0x410));
  EXPECT_FALSE(logging_filter_t::point_match(code, 0x3ff));
  EXPECT_FALSE(logging_filter_t::point_match(code, 0x411));
  EXPECT_FALSE(logging_filter_t::point_match({}, 0x400));
}

TEST(Filter, PointMatchFindsTheRightRangeAmongSeveral) {
  std::set<range_t> const code{{0x100, 0x10}, {0x400, 0x10}, {0x408, 0x10}, {0x900, 0x1}};
  EXPECT_TRUE(logging_filter_t::point_match(code, 0x105));
  EXPECT_TRUE(logging_filter_t::point_match(code, 0x40c));
  EXPECT_TRUE(logging_filter_t::point_match(code, 0x418));
  EXPECT_TRUE(logging_filter_t::point_match(code, 0x901));
  EXPECT_FALSE(logging_filter_t::point_match(code, 0x200));
  EXPECT_FALSE(logging_filter_t::point_match(code, 0x419));
  EXPECT_FALSE(logging_filter_t::point_match(code, 0x902));
}

TEST(Filter, AccessMatchNeedsTheWholeAccessInsideOneRange) {
  std::set<range_t> const data{{0x400, 0x10}};
  EXPECT_TRUE(logging_filter_t::access_match(data, 0x40c, 4));
  EXPECT_FALSE(logging_filter_t::access_match(data, 0x40d, 4));
  EXPECT_TRUE(logging_filter_t::access_match(data, 0x400, 0x10));
  EXPECT_FALSE(logging_filter_t::access_match(data, 0x3fc, 8)) << "starts before the range";
  EXPECT_FALSE(logging_filter_t::access_match(data, 0x400, 0x11));
  EXPECT_FALSE(logging_filter_t::access_match({}, 0x400, 4));
}

TEST(Filter, VerdictPassesInsideOnlyWhenListedAsOnlyAndOutsideWhenListedAsIgnored) {
  EXPECT_TRUE(logging_filter_t::verdict(true, logging_filter_t::mode_only));
  EXPECT_FALSE(logging_filter_t::verdict(false, logging_filter_t::mode_only));
  EXPECT_FALSE(logging_filter_t::verdict(true, logging_filter_t::mode_ignore));
  EXPECT_TRUE(logging_filter_t::verdict(false, logging_filter_t::mode_ignore));

  logging_filter_t f;
  f.code_ranges.insert({0x400, 0x10});
  f.data_ranges.insert({0x1000, 0x100});
  EXPECT_FALSE(f.code_passes(0x408));
  EXPECT_TRUE(f.code_passes(0x500));
  EXPECT_FALSE(f.access_passes(0x1000, 4));
  EXPECT_TRUE(f.access_passes(0x10fe, 4)) << "reaches past the ignored range";
  f.code_mode = logging_filter_t::mode_only;
  f.data_mode = logging_filter_t::mode_only;
  EXPECT_TRUE(f.code_passes(0x408));
  EXPECT_FALSE(f.code_passes(0x500));
  EXPECT_TRUE(f.access_passes(0x1000, 4));
  EXPECT_FALSE(f.access_passes(0x10fe, 4));
}

TEST(Filter, DefaultFilterIgnoresNothing) {
  logging_filter_t const f;
  EXPECT_TRUE(f.code_ranges.empty() && f.data_ranges.empty() && f.thread_ids.empty());
  EXPECT_EQ(f.code_mode, 1u);
  EXPECT_EQ(f.data_mode, 1u);
  EXPECT_EQ(f.thread_mode, 1u);
  for (vexa::address_t a : {0x0u, 0x400u, 0xffffffffu}) {
    EXPECT_TRUE(f.code_passes(a));
    EXPECT_TRUE(f.access_passes(a, 4));
  }
}

TEST(Filter, InsertFailsOnAnEquivalentRangeAndSucceedsOnPartialOverlap) {
  std::set<range_t> s{{0x400, 0x20}};
  EXPECT_FALSE(s.insert({0x400, 0x10}).second) << "same start";
  EXPECT_FALSE(s.insert({0x408, 0x10}).second) << "contained";
  EXPECT_FALSE(s.insert({0x410, 0x10}).second) << "same end";
  EXPECT_FALSE(s.insert({0x3f0, 0x40}).second) << "containing";
  EXPECT_EQ(contents(s), (std::vector<std::pair<unsigned, unsigned>>{{0x400, 0x20}}));
  EXPECT_TRUE(s.insert({0x410, 0x20}).second) << "partial overlap";
  EXPECT_TRUE(s.insert({0x3f0, 0x20}).second) << "partial overlap below";
  EXPECT_EQ(contents(s), (std::vector<std::pair<unsigned, unsigned>>{{0x3f0, 0x20}, {0x400, 0x20}, {0x410, 0x20}}));
}

TEST(Filter, EraseRemovesEveryRangeInsideTheValueAndCountsThem) {
  std::set<range_t> s{{0x410, 0x10}, {0x480, 0x10}, {0x600, 0x10}};
  EXPECT_EQ(s.erase({0x500, 0x10}), 0u);
  EXPECT_EQ(s.size(), 3u);
  EXPECT_EQ(s.erase({0x400, 0x100}), 2u);
  EXPECT_EQ(contents(s), (std::vector<std::pair<unsigned, unsigned>>{{0x600, 0x10}}));
}

TEST(Filter, ThreadIdentitiesAreOrderedByTaskIdThenThreadUnsigned) {
  std::set<threadid_t> ids;
  for (threadid_t id : {threadid_t{1, 5}, threadid_t{0, 0xffffffffu}, threadid_t{0, 3}, threadid_t{1, 2},
                        threadid_t{0x8000000000000000ull, 0}, threadid_t{0, 3}})
    ids.insert(id);
  std::vector<threadid_t> const expected{
      {0, 3}, {0, 0xffffffffu}, {1, 2}, {1, 5}, {0x8000000000000000ull, 0}};
  ASSERT_EQ(ids.size(), expected.size()) << "equal identities are one element";
  std::size_t i = 0;
  for (threadid_t const& id : ids) {
    EXPECT_EQ(id.task_id, expected[i].task_id) << i;
    EXPECT_EQ(id.thread, expected[i].thread) << i;
    ++i;
  }
  EXPECT_FALSE((threadid_t{0, 3} == threadid_t{1, 3}));
  EXPECT_FALSE((threadid_t{0, 3} == threadid_t{0, 4}));
}

TEST(Filter, CopyTakesTheSetsAndTheModesAndStaysApart) {
  logging_filter_t original;
  original.code_ranges.insert({0x400, 0x10});
  original.data_ranges.insert({0x1000, 0x100});
  original.thread_ids.insert({0, 42});
  original.code_mode = logging_filter_t::mode_only;
  original.thread_mode = logging_filter_t::mode_only;

  logging_filter_t copy(original);
  EXPECT_EQ(contents(copy.code_ranges), contents(original.code_ranges));
  EXPECT_EQ(contents(copy.data_ranges), contents(original.data_ranges));
  ASSERT_EQ(copy.thread_ids.size(), 1u);
  EXPECT_EQ(copy.thread_ids.begin()->thread, 42u);
  EXPECT_EQ(copy.code_mode, 0u);
  EXPECT_EQ(copy.data_mode, 1u);
  EXPECT_EQ(copy.thread_mode, 0u);

  copy.code_ranges.insert({0x800, 0x10});
  copy.data_ranges.clear();
  EXPECT_EQ(original.code_ranges.size(), 1u);
  EXPECT_EQ(original.data_ranges.size(), 1u);
}
