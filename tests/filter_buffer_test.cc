// The filter buffer and filter record batches, driven the way a debugger
// drives them: commands written into the communication block at stops and
// served by a hook call. The effects are shown with tasks on threads of
// their own through the exported hooks; internals are read only to see
// which filter is installed and that a failed batch left it alone.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/captured_stderr.h"
#include "support/debugger.h"
#include "vexa/runtime.h"

using namespace vexa_test;
using vexa::logging_filter_t;

namespace {

constexpr unsigned tsm = VEXA_FEATURE_TSM, re = VEXA_FEATURE_RE;
constexpr unsigned code = VEXA_FILTER_CODE, data = VEXA_FILTER_DATA, thread = VEXA_FILTER_THREAD;
constexpr unsigned clear = VEXA_FILTER_CLEAR, add = VEXA_FILTER_ADD, remove_ = VEXA_FILTER_REMOVE;
constexpr std::uint32_t allocate_bit = VEXA_PENDING_ALLOCATE_FILTERS, apply_bit = VEXA_PENDING_APPLY_FILTERS;

using reasons_t = std::vector<vexa_event_reason_t>;
using ranges_t = std::vector<std::pair<vexa::address_t, vexa::address_t>>;

std::uint32_t& word(int i) { return __vexa_config[i]; }
vexa_filter_t* buffer() { return reinterpret_cast<vexa_filter_t*>(static_cast<std::uintptr_t>(__vexa_filter_space)); }
void write_records(std::vector<vexa_filter_t> const& records) {
  std::copy(records.begin(), records.end(), buffer());
}
void const* at(std::uintptr_t address) { return reinterpret_cast<void const*>(address); }

logging_filter_t const* tsm_filter() { return vexa::vexa.tsm.current_filter(); }
logging_filter_t const* re_filter() { return vexa::vexa.re.current_filter(); }

ranges_t ranges(std::set<logging_filter_t::range_t> const& set) {
  ranges_t r;
  for (auto const& x : set) r.emplace_back(x.base, x.size);
  return r;
}

bool same(logging_filter_t const& a, logging_filter_t const& b) {
  auto ids = [](logging_filter_t const& f) {
    std::vector<std::pair<std::uint64_t, unsigned long>> v;
    for (auto const& id : f.thread_ids) v.emplace_back(id.task_id, id.thread);
    return v;
  };
  return ranges(a.code_ranges) == ranges(b.code_ranges) && ranges(a.data_ranges) == ranges(b.data_ranges) &&
         ids(a) == ids(b) && a.code_mode == b.code_mode && a.data_mode == b.data_mode &&
         a.thread_mode == b.thread_mode;
}

// A debugger that answers the next stops from a list, one answer a stop;
// later stops are only recorded.
class answers {
 public:
  using answer_t = std::function<void(stop_t const&)>;
  explicit answers(std::vector<answer_t> list) : list_(std::move(list)) { set_script(&answers::run, this); }
  ~answers() { set_script(nullptr); }
  answers(answers const&) = delete;
  answers& operator=(answers const&) = delete;

 private:
  static void run(stop_t const& s, std::size_t, void* self) {
    auto* a = static_cast<answers*>(self);
    if (a->next_ < a->list_.size()) a->list_[a->next_++](s);
  }
  std::vector<answer_t> list_;
  std::size_t next_ = 0;
};

// Posts commands as a debugger does while the program runs, and lets a
// hook on this thread (which runs no task) serve them. The reasons of the
// stops that follow.
reasons_t serve(std::uint32_t pending, std::uint32_t count) {
  forget();
  word(VEXA_CONFIG_COUNT) = count;
  post(pending);
  _VEXA_suspendTask();
  return reasons();
}

// Clears a failed command's bit at its stop, so that the loop ends.
answers::answer_t give_up(std::uint32_t bit) {
  return [bit](stop_t const&) { word(VEXA_CONFIG_PENDING) &= ~bit; };
}

// ---- the buffer

TEST(FilterBuffer, EmptyBatchAnswersThreeWithoutAnyBuffer) {
  ASSERT_EQ(__vexa_filter_space, 0u);
  EXPECT_EQ(serve(apply_bit, 0), reasons_t{VEXA_EVENT_CONFIGURED});
  EXPECT_EQ(__vexa_filter_space, 0u);
  EXPECT_EQ(word(VEXA_CONFIG_PENDING), 0u);
  EXPECT_EQ(tsm_filter(), nullptr);
  EXPECT_EQ(re_filter(), nullptr);
}

TEST(FilterBuffer, ZeroCountAllocationGivesABufferOfNoRecords) {
  ASSERT_EQ(install_filters({filter_record(tsm, data, add, 0x100, 0x10)}), VEXA_EVENT_CONFIGURED);
  EXPECT_EQ(serve(allocate_bit, 0), reasons_t{VEXA_EVENT_CONFIGURED});
  EXPECT_NE(__vexa_filter_space, 0u);  // malloc(0) gives a unique pointer here
  if (sizeof(void*) == 4) {
    EXPECT_EQ(__vexa_filter_space >> 32, 0u);  // zero-extended for 64-bit debuggers
  }
  EXPECT_EQ(word(VEXA_CONFIG_PENDING), 0u);
  // Capacity 0: not even one record fits.
  answers a({give_up(apply_bit)});
  EXPECT_EQ(serve(apply_bit, 1), reasons_t{VEXA_ERROR_INVALID_PARAMETER});
}

TEST(FilterBuffer, LargeEnoughBufferIsReusedWithoutAllocation) {
  ASSERT_EQ(install_filters({filter_record(tsm, data, add, 0x100, 0x10), filter_record(tsm, data, add, 0x200, 0x10),
                             filter_record(tsm, data, add, 0x300, 0x10), filter_record(tsm, data, add, 0x400, 0x10)}),
            VEXA_EVENT_CONFIGURED);
  std::uint64_t const space = __vexa_filter_space;
  write_records({filter_record(tsm, data, remove_, 0x200, 0x10), filter_record(tsm, data, remove_, 0x300, 0x10)});
  EXPECT_EQ(serve(apply_bit, 2), reasons_t{VEXA_EVENT_CONFIGURED});
  EXPECT_EQ(__vexa_filter_space, space);
  EXPECT_EQ(ranges(tsm_filter()->data_ranges), (ranges_t{{0x100, 0x10}, {0x400, 0x10}}));
}

// The exported word only tells the debugger where the buffer is: a wild
// value written there is neither read as records nor handed to free().
TEST(FilterBuffer, StrayAddressInTheExportedWordIsNeitherReadNorFreed) {
  ASSERT_EQ(serve(allocate_bit, 1), reasons_t{VEXA_EVENT_CONFIGURED});
  write_records({filter_record(tsm, data, add, 0x500, 0x10)});
  __vexa_filter_space = 0x10;
  EXPECT_EQ(serve(apply_bit, 1), reasons_t{VEXA_EVENT_CONFIGURED});
  ASSERT_NE(tsm_filter(), nullptr);
  EXPECT_EQ(ranges(tsm_filter()->data_ranges), (ranges_t{{0x500, 0x10}}));
  __vexa_filter_space = 0x10;
  EXPECT_EQ(serve(allocate_bit, 1), reasons_t{VEXA_EVENT_CONFIGURED});
  EXPECT_NE(__vexa_filter_space, 0x10u);
}

constexpr bool wide = sizeof(void*) == 8;  // x86_64: every count's byte size fits the address space

// Keeps the address space of a 64-bit test process under 1 GiB while it
// lives, so that malloc refuses a buffer of 4 GiB or more whatever the
// machine's memory and overcommit policy. i386 processes (which may run
// under an emulator that keeps such limits to itself) are refused 4 GiB
// anyway.
class small_address_space {
 public:
  small_address_space() {
    if (!wide) return;
    getrlimit(RLIMIT_AS, &saved_);
    rlimit small = saved_;
    small.rlim_cur = rlim_t{1} << 30;
    EXPECT_EQ(setrlimit(RLIMIT_AS, &small), 0);
  }
  ~small_address_space() {
    if (wide) setrlimit(RLIMIT_AS, &saved_);
  }
  small_address_space(small_address_space const&) = delete;
  small_address_space& operator=(small_address_space const&) = delete;

 private:
  rlimit saved_{};
};

// A byte size that wraps in 32 bits must never give a buffer smaller than
// asked for. On i386 it exceeds the address space and is refused before
// anything changes; on x86_64 it is computed in full and malloc answers.
TEST(FilterBuffer, CountsWhoseByteSizeOverflows32BitsNeverGiveASmallerBuffer) {
  vexa::logging_level = vexa::log_status;
  ASSERT_EQ(serve(allocate_bit, 2), reasons_t{VEXA_EVENT_CONFIGURED});
  std::uint64_t const space = __vexa_filter_space;
  small_address_space limit;
  for (std::uint32_t count : {178956971u, 0x80000000u, 0xffffffffu}) {
    SCOPED_TRACE(count);
    captured_stderr err;
    answers a({give_up(allocate_bit)});
    forget();
    word(VEXA_CONFIG_COUNT) = count;
    post(allocate_bit);
    _VEXA_suspendTask();
    EXPECT_NE(stop(0).config[VEXA_CONFIG_PENDING] & allocate_bit, 0u);  // still set at the stop
    if (wide) {
      EXPECT_EQ(reasons(), reasons_t{VEXA_ERROR_OUT_OF_MEMORY});
      EXPECT_EQ(__vexa_filter_space, 0u);  // the old buffer went first
      EXPECT_EQ(err.lines(), std::vector<std::string>{"vexa: allocate " + std::to_string(count * std::uint64_t{24}) +
                                                      " bytes of filter buffer"});
    } else {
      EXPECT_EQ(reasons(), reasons_t{VEXA_ERROR_INVALID_PARAMETER});
      EXPECT_EQ(__vexa_filter_space, space);
      EXPECT_EQ(err.lines(), std::vector<std::string>{});  // nothing was allocated
    }
  }
  if (wide) return;
  // The old buffer still holds two records.
  write_records({filter_record(tsm, code, add, 0x10, 0x10), filter_record(re, code, add, 0x20, 0x1)});
  EXPECT_EQ(serve(apply_bit, 2), reasons_t{VEXA_EVENT_CONFIGURED});
  EXPECT_EQ(ranges(tsm_filter()->code_ranges), (ranges_t{{0x10, 0x10}}));
}

TEST(FilterBuffer, LargestCountWhoseByteSizeFits32BitsAnswersOutOfMemoryWhenRefused) {
  vexa::logging_level = vexa::log_status;
  ASSERT_EQ(serve(allocate_bit, 2), reasons_t{VEXA_EVENT_CONFIGURED});
  small_address_space limit;
  captured_stderr err;
  answers a({give_up(allocate_bit)});
  // 4294967280 bytes: more than a 32-bit process can be given.
  EXPECT_EQ(serve(allocate_bit, 178956970), reasons_t{VEXA_ERROR_OUT_OF_MEMORY});
  EXPECT_NE(stop(0).config[VEXA_CONFIG_PENDING] & allocate_bit, 0u);
  EXPECT_EQ(__vexa_filter_space, 0u);  // the old buffer went first
  EXPECT_EQ(err.lines(), std::vector<std::string>{"vexa: allocate 4294967280 bytes of filter buffer"});
  // Capacity 0 now.
  answers b({give_up(apply_bit)});
  EXPECT_EQ(serve(apply_bit, 1), reasons_t{VEXA_ERROR_INVALID_PARAMETER});
}

TEST(FilterBuffer, CountBeyondCapacityIsInvalidAndChangesNothing) {
  ASSERT_EQ(install_filters({filter_record(tsm, data, add, 0x100, 0x10), filter_record(re, code, add, 0x200, 1)}),
            VEXA_EVENT_CONFIGURED);
  logging_filter_t const* const before[2] = {tsm_filter(), re_filter()};
  forget();
  answers a({[](stop_t const& s) {
    EXPECT_EQ(s.config[VEXA_CONFIG_COUNT], 3u);
    EXPECT_NE(s.config[VEXA_CONFIG_PENDING] & apply_bit, 0u);
    give_up(apply_bit)(s);
  }});
  EXPECT_EQ(serve(apply_bit, 3), reasons_t{VEXA_ERROR_INVALID_PARAMETER});
  EXPECT_EQ(tsm_filter(), before[0]);
  EXPECT_EQ(re_filter(), before[1]);
}

// ---- record batches

TEST(FilterBatch, FailureAtTheThirdRecordInstallsNothing) {
  ASSERT_EQ(install_filters({filter_record(tsm, data, add, 0x100, 0x10), filter_record(tsm, thread, add, 1, 2),
                             filter_record(re, code, add, 0x200, 1)}),
            VEXA_EVENT_CONFIGURED);
  ASSERT_EQ(serve(allocate_bit, 4), reasons_t{VEXA_EVENT_CONFIGURED});
  logging_filter_t const* const installed[2] = {tsm_filter(), re_filter()};
  logging_filter_t const contents[2] = {*installed[0], *installed[1]};

  struct failure {
    vexa_filter_t third;
    vexa_event_reason_t reason;
  } const failures[] = {
      {filter_record(tsm, data, add, 0x104, 0x4), VEXA_ERROR_FILTER_OPERATION_FAILED},  // inside one listed
      {filter_record(re, code, remove_, 0x300, 1), VEXA_ERROR_FILTER_OPERATION_FAILED},  // not listed
      {filter_record(tsm, thread, add, 1, 2), VEXA_ERROR_FILTER_OPERATION_FAILED},        // already listed
      {filter_record(tsm, 3, add, 0x500, 1), VEXA_ERROR_BAD_FILTER_OPERATION},
      {filter_record(re, 0, add, 0x500, 1), VEXA_ERROR_BAD_FILTER_OPERATION},
      {filter_record(tsm, data, 8, 0x500, 1), VEXA_ERROR_BAD_FILTER_OPERATION},
      {filter_record(re, code, 3, 0x500, 1), VEXA_ERROR_BAD_FILTER_OPERATION},
      {filter_record(3, data, add, 0x500, 1), VEXA_ERROR_UNKNOWN_FEATURE},
      {filter_record(0, data, add, 0x500, 1), VEXA_ERROR_UNKNOWN_FEATURE},
  };
  for (failure const& f : failures) {
    SCOPED_TRACE(testing::Message() << "third record fails with " << f.reason);
    // Both detectors get a working copy before the failure.
    write_records({filter_record(tsm, data, add, 0x900, 0x10), filter_record(re, code, clear, 0, 0), f.third,
                   filter_record(tsm, code, add, 0xa00, 0x10)});
    std::uint32_t left_at_stop = 0;
    answers a({[&](stop_t const& s) {
      left_at_stop = s.config[VEXA_CONFIG_COUNT];
      EXPECT_NE(s.config[VEXA_CONFIG_PENDING] & apply_bit, 0u);
      give_up(apply_bit)(s);
    }});
    EXPECT_EQ(serve(apply_bit, 4), reasons_t{f.reason});
    EXPECT_EQ(left_at_stop, 2u);  // the failed record is at index 4 - 2
    EXPECT_EQ(tsm_filter(), installed[0]);
    EXPECT_EQ(re_filter(), installed[1]);
    EXPECT_TRUE(same(*tsm_filter(), contents[0]));
    EXPECT_TRUE(same(*re_filter(), contents[1]));
  }
}

TEST(FilterBatch, ResetsFollowASuccessfulBatchButNotAFailedOne) {
  ASSERT_EQ(serve(allocate_bit, 2), reasons_t{VEXA_EVENT_CONFIGURED});
  write_records({filter_record(tsm, code, add, 0x100, 0x10), filter_record(tsm, code, add, 0x100, 0x10)});
  std::uint32_t pending_at_stop = 0;
  answers a({[&](stop_t const& s) {
    pending_at_stop = s.config[VEXA_CONFIG_PENDING];
    write_records({filter_record(tsm, code, add, 0x100, 0x10), filter_record(tsm, code, add, 0x200, 0x10)});
    word(VEXA_CONFIG_COUNT) = 2;
  }});
  EXPECT_EQ(serve(apply_bit | VEXA_PENDING_RESET_TSM, 2),
            (reasons_t{VEXA_ERROR_FILTER_OPERATION_FAILED, VEXA_EVENT_CONFIGURED}));
  EXPECT_EQ(pending_at_stop, apply_bit | VEXA_PENDING_RESET_TSM);
  EXPECT_EQ(word(VEXA_CONFIG_PENDING), 0u);
  EXPECT_EQ(ranges(tsm_filter()->code_ranges), (ranges_t{{0x100, 0x10}, {0x200, 0x10}}));
}

TEST(FilterBatch, BothFilterBitsAllocateFirstAndApplyOnTheNextCall) {
  std::uint32_t pending_at_first = 0;
  answers a({[&](stop_t const& s) {
    pending_at_first = s.config[VEXA_CONFIG_PENDING];
    write_records({filter_record(re, code, add, 0x40, 0x8), filter_record(re, code, add, 0x80, 0x8)});
  }});
  EXPECT_EQ(serve(allocate_bit | apply_bit, 2), (reasons_t{VEXA_EVENT_CONFIGURED, VEXA_EVENT_CONFIGURED}));
  EXPECT_EQ(pending_at_first, apply_bit);
  EXPECT_EQ(word(VEXA_CONFIG_COUNT), 0u);
  EXPECT_EQ(ranges(re_filter()->code_ranges), (ranges_t{{0x40, 0x8}, {0x80, 0x8}}));
}

TEST(FilterBatch, ContainedRangeFailsAtItsRecordAndPartialOverlapsAreAccepted) {
  ASSERT_EQ(serve(allocate_bit, 3), reasons_t{VEXA_EVENT_CONFIGURED});
  for (auto second : {std::pair<std::uint32_t, std::uint32_t>{0x408, 0x10}, {0x400, 0x10}, {0x410, 0x10}}) {
    SCOPED_TRACE(second.first);
    write_records({filter_record(tsm, code, add, 0x400, 0x20), filter_record(tsm, code, add, second.first, second.second),
                   filter_record(tsm, code, add, 0x800, 0x20)});
    std::uint32_t left = 0;
    answers a({[&](stop_t const& s) {
      left = s.config[VEXA_CONFIG_COUNT];
      give_up(apply_bit)(s);
    }});
    EXPECT_EQ(serve(apply_bit, 3), reasons_t{VEXA_ERROR_FILTER_OPERATION_FAILED});
    EXPECT_EQ(left, 2u);  // index 1 failed
    EXPECT_EQ(tsm_filter(), nullptr);
  }
  write_records({filter_record(tsm, code, add, 0x400, 0x20), filter_record(tsm, code, add, 0x410, 0x20),
                 filter_record(tsm, code, add, 0x3f0, 0x20)});
  EXPECT_EQ(serve(apply_bit, 3), reasons_t{VEXA_EVENT_CONFIGURED});
  EXPECT_EQ(ranges(tsm_filter()->code_ranges), (ranges_t{{0x3f0, 0x20}, {0x400, 0x20}, {0x410, 0x20}}));
}

TEST(FilterBatch, RemoveErasesEveryRangeInsideTheValue) {
  ASSERT_EQ(install_filters({filter_record(tsm, data, add, 0x410, 0x10), filter_record(tsm, data, add, 0x480, 0x10),
                             filter_record(tsm, data, add, 0x600, 0x10)}),
            VEXA_EVENT_CONFIGURED);
  ASSERT_EQ(install_filters({filter_record(tsm, data, remove_, 0x400, 0x100)}), VEXA_EVENT_CONFIGURED);
  EXPECT_EQ(ranges(tsm_filter()->data_ranges), (ranges_t{{0x600, 0x10}}));
  EXPECT_EQ(install_filters({filter_record(tsm, data, remove_, 0x400, 0x100)}), VEXA_ERROR_FILTER_OPERATION_FAILED);
}

// Ranges and threads keep as much of their 64-bit fields as the target's
// addresses and thread handles hold: the low words on i386, everything on
// x86_64.
TEST(FilterBatch, OnlyLowNibblesOfKindAndActionAndTheTargetsWordOfValuesAreRead) {
  vexa_filter_t r = filter_record(tsm, 0xf0 | code, 0xe0 | add, 0xffffffff00001000ull, 0x1234567800000020ull);
  r.reserved1 = 0xff;
  r.reserved4 = 0xffffffff;
  vexa_filter_t t = filter_record(tsm, 0x30 | thread, 0x70 | add, 0x123456789ull, 0xabcdef0000000005ull);
  ASSERT_EQ(install_filters({r, t}), VEXA_EVENT_CONFIGURED);
  ASSERT_EQ(tsm_filter()->thread_ids.size(), 1u);
  EXPECT_EQ(tsm_filter()->thread_ids.begin()->task_id, 0x123456789ull);  // all 64 bits
  if (wide) {
    EXPECT_EQ(ranges(tsm_filter()->code_ranges), (ranges_t{{static_cast<vexa::address_t>(0xffffffff00001000ull),
                                                            static_cast<vexa::address_t>(0x1234567800000020ull)}}));
    EXPECT_EQ(tsm_filter()->thread_ids.begin()->thread, static_cast<unsigned long>(0xabcdef0000000005ull));
  } else {
    EXPECT_EQ(ranges(tsm_filter()->code_ranges), (ranges_t{{0x1000, 0x20}}));
    EXPECT_EQ(tsm_filter()->thread_ids.begin()->thread, 5ul);
  }
}

TEST(FilterBatch, UnknownFeatureIsPrintedBeforeItFails) {
  vexa::logging_level = vexa::log_status;
  captured_stderr err;
  EXPECT_EQ(install_filters({filter_record(tsm, code, clear, 0, 0), filter_record(3, code, add, 0x1, 0x2)}),
            VEXA_ERROR_UNKNOWN_FEATURE);
  EXPECT_EQ(err.lines(), (std::vector<std::string>{"vexa: allocate 48 bytes of filter buffer",
                                                   "vexa: configuration updated",
                                                   "vexa: clear tsm code filter(0x0, 0x0)",
                                                   "vexa: add ? code filter(0x1, 0x2)"}));
}

TEST(FilterBatch, NewFiltersTakeTheModesOfTheirDetectorAndLaterOnesCopyThem) {
  ASSERT_EQ(install_filters({filter_record(tsm, thread, add, 0, 7), filter_record(re, thread, add, 0, 7)}),
            VEXA_EVENT_CONFIGURED);
  logging_filter_t const* const first_tsm = tsm_filter();
  logging_filter_t const first_tsm_contents = *first_tsm;
  EXPECT_EQ(first_tsm->code_mode, logging_filter_t::mode_ignore);
  EXPECT_EQ(first_tsm->data_mode, logging_filter_t::mode_ignore);
  EXPECT_EQ(first_tsm->thread_mode, logging_filter_t::mode_ignore);
  EXPECT_EQ(re_filter()->code_mode, logging_filter_t::mode_only);
  EXPECT_EQ(re_filter()->data_mode, logging_filter_t::mode_ignore);
  EXPECT_EQ(re_filter()->thread_mode, logging_filter_t::mode_ignore);

  ASSERT_EQ(install_filters({filter_record(re, code, add, 0x40, 1), filter_record(tsm, code, add, 0x40, 1)}),
            VEXA_EVENT_CONFIGURED);
  EXPECT_NE(tsm_filter(), first_tsm);
  EXPECT_EQ(re_filter()->code_mode, logging_filter_t::mode_only);
  EXPECT_EQ(tsm_filter()->code_mode, logging_filter_t::mode_ignore);
  EXPECT_EQ(tsm_filter()->thread_ids.size(), 1u);  // the replaced filter's sets, edited
  EXPECT_EQ(re_filter()->thread_ids.size(), 1u);
  EXPECT_TRUE(same(*first_tsm, first_tsm_contents));  // replaced, not changed
}

// ---- what the detectors make of the filters

// Runs closures on a thread of its own, one at a time, each to its end
// before run() returns: a barrier the library cannot see.
class task_thread {
 public:
  task_thread() : thread_([this] { loop(); }) {}
  ~task_thread() {
    run(nullptr);
    thread_.join();
  }
  task_thread(task_thread const&) = delete;
  task_thread& operator=(task_thread const&) = delete;

  void run(std::function<void()> work) {
    std::unique_lock<std::mutex> hold(mutex_);
    work_ = std::move(work);
    posted_ = true;
    changed_.notify_all();
    changed_.wait(hold, [this] { return !posted_; });
  }

 private:
  void loop() {
    for (;;) {
      std::unique_lock<std::mutex> hold(mutex_);
      changed_.wait(hold, [this] { return posted_; });
      bool const last = !work_;
      if (work_) work_();
      posted_ = false;
      changed_.notify_all();
      if (last) return;
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<void()> work_;
  bool posted_ = false;
  std::thread thread_;
};

void enter_at(std::uintptr_t c) { _VEXA_enterTaskAt(at(c)); }
void leave() { _VEXA_leaveTask(); }
void write(std::uintptr_t address, std::uintptr_t c) { _VEXA_writeMemoryAt(at(address), 4, at(c)); }
void read(std::uintptr_t address, std::uintptr_t c) { _VEXA_readMemoryAt(at(address), 4, at(c)); }

// The (base, code) of every access an event 256 among the recorded stops
// names: the offender first, then the offended.
std::vector<std::pair<std::uint64_t, std::uint64_t>> sharing_events() {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> v;
  for (std::size_t i = 0; i < recorded(); ++i) {
    stop_t const& s = stop(i);
    if (s.reason != VEXA_EVENT_DATA_SHARING) continue;
    v.emplace_back(s.detection.u.tsm.offender.base, s.detection.u.tsm.offender.code);
    for (std::uint32_t j = 0; j < s.entries; ++j) v.emplace_back(s.offended[j].base, s.offended[j].code);
  }
  return v;
}

using accesses_t = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// On x86_64 the data lie above 4 GiB, where a range cut to 32 bits would
// name other memory.
std::uintptr_t high(std::uintptr_t address) {
  return static_cast<std::uintptr_t>((wide ? 0x7f1200000000ull : 0) + address);
}

TEST(FilterEffect, TsmDataRangesAreNeitherLoggedNorReported) {
  set_guard(VEXA_GUARD_TASK | VEXA_GUARD_MEMORY);
  set_enable(VEXA_ENABLE_TSM);
  ASSERT_EQ(install_filters({filter_record(tsm, data, add, high(0x5000), 0x10)}), VEXA_EVENT_CONFIGURED);
  task_thread a, b;
  a.run([] {
    enter_at(0xa000);
    write(high(0x5004), 0xa1);  // inside
    write(high(0x500e), 0xa2);  // reaches past the end
  });
  b.run([] { enter_at(0xb000); });
  forget();
  b.run([] {
    read(high(0x5004), 0xb1);
    read(high(0x500e), 0xb2);
  });
  EXPECT_EQ(sharing_events(), (accesses_t{{high(0x500e), 0xb2}, {high(0x500e), 0xa2}}));

  ASSERT_EQ(install_filters({filter_record(tsm, data, remove_, high(0x5000), 0x10)}), VEXA_EVENT_CONFIGURED);
  forget();
  b.run([] { read(high(0x5004), 0xb3); });
  EXPECT_EQ(sharing_events(), accesses_t{});  // the write inside was never logged
  a.run([] { write(high(0x5004), 0xa3); });
  EXPECT_EQ(sharing_events(), (accesses_t{{high(0x5004), 0xa3}, {high(0x5004), 0xb3}}));
  a.run(leave);
  b.run(leave);
}

TEST(FilterEffect, TsmCodeRangesIgnoreTasksEnteredThereAndAccessesMadeThere) {
  set_guard(VEXA_GUARD_TASK | VEXA_GUARD_MEMORY);
  set_enable(VEXA_ENABLE_TSM);
  ASSERT_EQ(install_filters({filter_record(tsm, code, add, 0x7000, 0x10)}), VEXA_EVENT_CONFIGURED);
  task_thread ignored, edge, a, b;
  ignored.run([] {
    enter_at(0x7008);
    write(0x5000, 0x100);
  });
  edge.run([] {
    enter_at(0x7010);  // a range's end counts as inside
    write(0x5100, 0x101);
  });
  a.run([] {
    enter_at(0x8000);
    write(0x5200, 0x7004);  // made from inside the range
    write(0x5300, 0x102);
  });
  forget();
  b.run([] {
    enter_at(0x8000);
    read(0x5000, 0x200);
    read(0x5100, 0x201);
    read(0x5200, 0x202);
  });
  EXPECT_EQ(sharing_events(), accesses_t{});
  ignored.run([] { read(0x5300, 0x103); });  // its own accesses are not even examined
  EXPECT_EQ(sharing_events(), accesses_t{});
  b.run([] { read(0x5300, 0x203); });
  EXPECT_EQ(sharing_events(), (accesses_t{{0x5300, 0x203}, {0x5300, 0x102}}));
  for (task_thread* t : {&ignored, &edge, &a, &b}) t->run(leave);
}

std::vector<std::uint64_t> reentrant_functions() {
  std::vector<std::uint64_t> v;
  for (std::size_t i = 0; i < recorded(); ++i)
    if (stop(i).reason == VEXA_EVENT_REENTRANT_CALL) v.push_back(stop(i).detection.u.re.function);
  return v;
}

TEST(FilterEffect, ReCodeRangesNameTheOnlyFunctionsExamined) {
  set_guard(VEXA_GUARD_TASK | VEXA_GUARD_FUNCTION);
  set_enable(VEXA_ENABLE_RE);
  ASSERT_EQ(install_filters({filter_record(re, code, add, 0x3000, 1)}), VEXA_EVENT_CONFIGURED);
  task_thread a, b;
  a.run([] { enter_at(0xa000); });
  b.run([] { enter_at(0xb000); });
  forget();
  std::uintptr_t frame = 0x9000;
  for (std::uintptr_t function : {0x4000u, 0x2fffu, 0x3000u, 0x3001u, 0x3002u}) {
    frame -= 0x10;
    a.run([=] { _VEXA_enterFunctionAt(at(function), at(frame), at(0x1)); });
    b.run([=] { _VEXA_enterFunctionAt(at(function), at(frame), at(0x2)); });
  }
  EXPECT_EQ(reentrant_functions(), (std::vector<std::uint64_t>{0x3000, 0x3001}));
  a.run(leave);
  b.run(leave);
}

TEST(FilterEffect, ReFilterMadeByADataOnlyBatchExaminesNothing) {
  set_guard(VEXA_GUARD_TASK | VEXA_GUARD_FUNCTION);
  set_enable(VEXA_ENABLE_RE);
  task_thread a, b;
  a.run([] { enter_at(0xa000); });
  b.run([] { enter_at(0xb000); });
  forget();
  a.run([] { _VEXA_enterFunctionAt(at(0x4000), at(0x9000), at(0x1)); });
  b.run([] { _VEXA_enterFunctionAt(at(0x4000), at(0x9000), at(0x2)); });
  EXPECT_EQ(reentrant_functions(), std::vector<std::uint64_t>{0x4000});  // without a filter

  ASSERT_EQ(install_filters({filter_record(re, data, add, 0x5000, 0x10)}), VEXA_EVENT_CONFIGURED);
  EXPECT_EQ(re_filter()->code_mode, logging_filter_t::mode_only);
  EXPECT_TRUE(re_filter()->code_ranges.empty());
  forget();
  a.run([] { _VEXA_enterFunctionAt(at(0x4100), at(0x8f00), at(0x1)); });
  b.run([] { _VEXA_enterFunctionAt(at(0x4100), at(0x8f00), at(0x2)); });
  b.run([] { _VEXA_enterFunctionAt(at(0x4000), at(0x8e00), at(0x2)); });
  EXPECT_EQ(reentrant_functions(), std::vector<std::uint64_t>{});
  a.run(leave);
  b.run(leave);
}

}  // namespace
