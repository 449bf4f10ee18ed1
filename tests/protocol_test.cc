// The exchange of stops between the library and a debugger, seen from the
// debugger's side: commands are posted into the block, answers are read
// from the recorded stops. Everything goes through libvexa.so's exported
// interface.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "support/debugger.h"

using namespace vexa_test;

namespace {

using reasons_t = std::vector<vexa_event_reason_t>;

// The pending word is also cleared by the library's atomic RMWs. Every read
// here follows the hook that served it on the same thread (or a join), so
// program order gives the pairing; seq_cst matches post().
std::uint32_t pending() { return __atomic_load_n(&__vexa_config[VEXA_CONFIG_PENDING], __ATOMIC_SEQ_CST); }
void clear_pending_bits(std::uint32_t bits) {
  __atomic_fetch_and(&__vexa_config[VEXA_CONFIG_PENDING], ~bits, __ATOMIC_SEQ_CST);
}

// On a thread that runs no task, with the guard word 0, every hook does
// nothing but poll; _VEXA_suspendTask() does nothing else even with its
// guard bit set.
void poll() { _VEXA_suspendTask(); }

int object;
void const* const function = reinterpret_cast<void const*>(0x8000);
void const* const frame = reinterpret_cast<void const*>(0x4000);
void const* const site = reinterpret_cast<void const*>(0x7000);

struct hook_t {
  char const* name;
  void (*call)();
};

hook_t const every_hook[] = {
    {"_VEXA_enterTask", [] { _VEXA_enterTask(); }},
    {"_VEXA_leaveTask", [] { _VEXA_leaveTask(); }},
    {"_VEXA_suspendTask", [] { _VEXA_suspendTask(); }},
    {"_VEXA_resumeTask", [] { _VEXA_resumeTask(); }},
    {"_VEXA_readMemory", [] { _VEXA_readMemory(&object, 4); }},
    {"_VEXA_writeMemory", [] { _VEXA_writeMemory(&object, 4); }},
    {"_VEXA_enterFunction", [] { _VEXA_enterFunction(function, frame); }},
    {"_VEXA_leaveFunction", [] { _VEXA_leaveFunction(function, frame); }},
    {"_VEXA_enterTaskAt", [] { _VEXA_enterTaskAt(site); }},
    {"_VEXA_leaveTaskAt", [] { _VEXA_leaveTaskAt(site); }},
    {"_VEXA_suspendTaskAt", [] { _VEXA_suspendTaskAt(site); }},
    {"_VEXA_resumeTaskAt", [] { _VEXA_resumeTaskAt(site); }},
    {"_VEXA_readMemoryAt", [] { _VEXA_readMemoryAt(&object, 4, site); }},
    {"_VEXA_writeMemoryAt", [] { _VEXA_writeMemoryAt(&object, 4, site); }},
    {"_VEXA_enterFunctionAt", [] { _VEXA_enterFunctionAt(function, frame, site); }},
    {"_VEXA_leaveFunctionAt", [] { _VEXA_leaveFunctionAt(function, frame, site); }},
};

// A debugger that gives up on a failed command after `answers` stops by
// clearing the bits it names, as a real one must, or the loop never ends.
struct give_up_t {
  vexa_event_reason_t failure;
  std::uint32_t bits;
  int answers;
  int seen = 0;
};

void give_up(stop_t const& s, std::size_t, void* context) {
  auto* g = static_cast<give_up_t*>(context);
  if (s.reason != g->failure) return;
  if (++g->seen == g->answers) clear_pending_bits(g->bits);
}

}  // namespace

TEST(Protocol, LoadStopIsTheFirstStop) {
  ASSERT_GE(recorded(), 1u);
  EXPECT_EQ(stop(0).reason, VEXA_EVENT_LOADED);
  EXPECT_EQ(stop(0).config[VEXA_CONFIG_VERSION], 1u);
  EXPECT_EQ(stop(0).config[VEXA_CONFIG_PENDING], 0u);
  EXPECT_EQ(total(), 1u) << "the library stops once at load and not again while idle";
}

TEST(Protocol, PingIsAnsweredWithFourAndItsBitIsClearedAtThatStop) {
  forget();
  post(VEXA_PENDING_PING);
  poll();
  ASSERT_EQ(reasons(), reasons_t{VEXA_EVENT_ALIVE});
  EXPECT_EQ(stop(0).config[VEXA_CONFIG_PENDING], 0u);
  EXPECT_EQ(pending(), 0u);
  EXPECT_EQ(__vexa_event_reason, VEXA_EVENT_NONE) << "resuming with nothing pending ends the loop";
}

TEST(Protocol, PingIsAnsweredBeforeAResetThatWaitsForTheNextCall) {
  forget();
  post(VEXA_PENDING_PING | VEXA_PENDING_RESET_TSM);
  poll();
  ASSERT_EQ(reasons(), (reasons_t{VEXA_EVENT_ALIVE, VEXA_EVENT_CONFIGURED}));
  EXPECT_EQ(stop(0).config[VEXA_CONFIG_PENDING], VEXA_PENDING_RESET_TSM);
  EXPECT_EQ(stop(1).config[VEXA_CONFIG_PENDING], 0u);
}

TEST(Protocol, EveryHookServesAPendingCommandWithItsGuardBitClear) {
  set_guard(0);
  for (hook_t const& hook : every_hook) {
    forget();
    post(VEXA_PENDING_PING);
    hook.call();
    EXPECT_EQ(reasons(), reasons_t{VEXA_EVENT_ALIVE}) << hook.name;
    EXPECT_EQ(pending(), 0u) << hook.name;
  }
}

TEST(Protocol, NotifyingNoneWritesReasonAndCodeWithoutAStop) {
  // Give this thread a code address: a task left through the explicit-code
  // variant stores it.
  set_guard(VEXA_GUARD_TASK);
  _VEXA_enterTaskAt(reinterpret_cast<void const*>(0x1100));
  _VEXA_leaveTaskAt(reinterpret_cast<void const*>(0x2200));
  set_guard(0);
  forget();

  // A bit from 8 to 28 makes the poll run configure(), which answers 0, and
  // that 0 is what the poll notifies.
  __vexa_event_reason = 77;
  __vexa_current_detection.code = 0xdeadbeefull;
  __vexa_current_detection.u.re.function = 0x5555ull;
  post(0x100);
  poll();
  EXPECT_EQ(recorded(), 0u);
  EXPECT_EQ(__vexa_event_reason, 0);
  EXPECT_EQ(__vexa_current_detection.code, 0x2200ull);
  EXPECT_EQ(__vexa_current_detection.u.re.function, 0x5555ull) << "bytes 8 on belong to the detectors";
}

TEST(Protocol, IdleBitsAreLeftSetAndPolledByEveryHookWithoutAStop) {
  for (unsigned bit = 8; bit <= 28; ++bit) {
    post(1u << bit);
    __vexa_event_reason = 77;
    poll();
    EXPECT_EQ(pending(), 1u << bit);
    EXPECT_EQ(__vexa_event_reason, 0) << "bit " << bit << " was not polled";
    clear_pending_bits(1u << bit);
  }

  post(0x1fffff00u);
  set_guard(0);
  for (hook_t const& hook : every_hook) {
    __vexa_event_reason = 77;
    hook.call();
    EXPECT_EQ(__vexa_event_reason, 0) << hook.name << " with its guard bit clear";
  }
  // With every guard bit set, through a task's whole life.
  set_guard(VEXA_GUARD_TASK | VEXA_GUARD_MEMORY | VEXA_GUARD_FUNCTION);
  set_enable(VEXA_ENABLE_TSM | VEXA_ENABLE_RE);
  std::function<void()> const life[] = {
      [] { _VEXA_enterTask(); },        [] { _VEXA_writeMemory(&object, 4); },
      [] { _VEXA_suspendTask(); },      [] { _VEXA_resumeTask(); },
      [] { _VEXA_readMemory(&object, 4); }, [] { _VEXA_enterFunction(function, frame); },
      [] { _VEXA_leaveFunction(function, frame); }, [] { _VEXA_leaveTask(); },
  };
  for (std::size_t i = 0; i < sizeof life / sizeof life[0]; ++i) {
    __vexa_event_reason = 77;
    life[i]();
    EXPECT_EQ(__vexa_event_reason, 0) << "step " << i << " with its guard bit set";
  }
  EXPECT_EQ(pending(), 0x1fffff00u);
  EXPECT_EQ(total(), 1u) << "only the load stop";
}

TEST(Protocol, VersionMismatchIsAnsweredAfterEveryResumeUntilRestored) {
  // The debugger breaks the version at the ping's stop and restores it at
  // the third mismatch.
  struct state_t {
    int mismatches = 0;
  } st;
  set_script(
      [](stop_t const& s, std::size_t, void* context) {
        auto* st = static_cast<state_t*>(context);
        if (s.reason == VEXA_EVENT_ALIVE) __vexa_config[VEXA_CONFIG_VERSION] = 2;
        if (s.reason == VEXA_ERROR_VERSION_MISMATCH && ++st->mismatches == 3) __vexa_config[VEXA_CONFIG_VERSION] = 1;
      },
      &st);
  forget();
  post(VEXA_PENDING_PING);
  poll();
  set_script(nullptr);
  EXPECT_EQ(reasons(), (reasons_t{VEXA_EVENT_ALIVE, VEXA_ERROR_VERSION_MISMATCH, VEXA_ERROR_VERSION_MISMATCH,
                                  VEXA_ERROR_VERSION_MISMATCH}));
  EXPECT_EQ(__vexa_config[VEXA_CONFIG_VERSION], 1u);
}

TEST(Protocol, VersionMismatchLeavesEveryPendingCommandUntouched) {
  struct state_t {
    int mismatches = 0;
  } st;
  set_script(
      [](stop_t const& s, std::size_t, void* context) {
        auto* st = static_cast<state_t*>(context);
        if (s.reason == VEXA_ERROR_VERSION_MISMATCH && ++st->mismatches == 2) __vexa_config[VEXA_CONFIG_VERSION] = 1;
      },
      &st);
  std::uint32_t const commands = VEXA_PENDING_PING | VEXA_PENDING_RESET_TSM | VEXA_PENDING_RESET_RE;
  __vexa_config[VEXA_CONFIG_VERSION] = 2;
  __vexa_config[VEXA_CONFIG_COUNT] = 5;
  forget();
  post(commands);
  poll();
  set_script(nullptr);
  // Once restored, the same commands run in their usual order.
  ASSERT_EQ(reasons(), (reasons_t{VEXA_ERROR_VERSION_MISMATCH, VEXA_ERROR_VERSION_MISMATCH, VEXA_EVENT_ALIVE,
                                  VEXA_EVENT_CONFIGURED}));
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(stop(i).config[VEXA_CONFIG_VERSION], 2u);
    EXPECT_EQ(stop(i).config[VEXA_CONFIG_PENDING], commands);
    EXPECT_EQ(stop(i).config[VEXA_CONFIG_COUNT], 5u);
  }
  EXPECT_EQ(pending(), 0u);
}

TEST(Protocol, NoCommandBitsAreAnsweredUnknownFeatureAndStaySet) {
  for (unsigned bit = 2; bit <= 7; ++bit) {
    give_up_t g{VEXA_ERROR_UNKNOWN_FEATURE, 1u << bit, 3};
    set_script(give_up, &g);
    forget();
    post(1u << bit);
    poll();
    set_script(nullptr);
    ASSERT_EQ(reasons(), reasons_t(3, VEXA_ERROR_UNKNOWN_FEATURE)) << "bit " << bit;
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(stop(i).config[VEXA_CONFIG_PENDING], 1u << bit) << "bit " << bit;
  }
}

// What a reset drops, shown by the detections it prevents. A task on
// another thread writes `shared` and opens `function`; while it is still
// alive, `between` runs on this thread; then a task on this thread reads
// `shared` and enters `function`. Returns the reasons the second task raised.
namespace {

int shared;

reasons_t detections_after(std::function<void()> const& between) {
  set_enable(VEXA_ENABLE_TSM | VEXA_ENABLE_RE);
  set_guard(VEXA_GUARD_TASK | VEXA_GUARD_MEMORY | VEXA_GUARD_FUNCTION);
  pthread_barrier_t opened, done;
  pthread_barrier_init(&opened, nullptr, 2);
  pthread_barrier_init(&done, nullptr, 2);
  void const* const other_frame = reinterpret_cast<void const*>(0x6000);
  std::thread first([&] {
    _VEXA_enterTask();
    _VEXA_writeMemory(&shared, 4);
    _VEXA_enterFunction(function, other_frame);
    pthread_barrier_wait(&opened);
    pthread_barrier_wait(&done);
    _VEXA_leaveFunction(function, other_frame);
    _VEXA_leaveTask();
  });
  pthread_barrier_wait(&opened);
  between();
  forget();
  _VEXA_enterTask();
  _VEXA_readMemory(&shared, 4);
  _VEXA_enterFunction(function, frame);
  reasons_t const seen = reasons();
  _VEXA_leaveFunction(function, frame);
  _VEXA_leaveTask();
  pthread_barrier_wait(&done);
  first.join();
  pthread_barrier_destroy(&opened);
  pthread_barrier_destroy(&done);
  return seen;
}

// Posts reset bits and returns the reasons of the exchange.
reasons_t reset(std::uint32_t bits) {
  forget();
  post(bits);
  poll();
  return reasons();
}

}  // namespace

TEST(Protocol, WithoutAResetBothDetectorsReport) {
  EXPECT_EQ(detections_after([] {}), (reasons_t{VEXA_EVENT_DATA_SHARING, VEXA_EVENT_REENTRANT_CALL}));
}

TEST(Protocol, ResetTsmDropsOnlyTheLoggedAccesses) {
  reasons_t answers;
  EXPECT_EQ(detections_after([&] { answers = reset(VEXA_PENDING_RESET_TSM); }),
            reasons_t{VEXA_EVENT_REENTRANT_CALL});
  EXPECT_EQ(answers, reasons_t{VEXA_EVENT_CONFIGURED});
}

TEST(Protocol, ResetReDropsOnlyTheOpenActivations) {
  reasons_t answers;
  EXPECT_EQ(detections_after([&] { answers = reset(VEXA_PENDING_RESET_RE); }), reasons_t{VEXA_EVENT_DATA_SHARING});
  EXPECT_EQ(answers, reasons_t{VEXA_EVENT_CONFIGURED});
}

TEST(Protocol, ResetOfBothDetectorsIsOneCommand) {
  reasons_t answers;
  EXPECT_EQ(detections_after([&] { answers = reset(VEXA_PENDING_RESET_TSM | VEXA_PENDING_RESET_RE); }), reasons_t{});
  EXPECT_EQ(answers, reasons_t{VEXA_EVENT_CONFIGURED});
  EXPECT_EQ(pending(), 0u);
}

TEST(Protocol, PendingSevenResetsBothAndAnswersUnknownFeature) {
  give_up_t g{VEXA_ERROR_UNKNOWN_FEATURE, 0x4, 1};
  reasons_t answers;
  std::uint32_t pending_at_stop = 0;
  EXPECT_EQ(detections_after([&] {
              set_script(give_up, &g);
              answers = reset(0x7);
              set_script(nullptr);
              if (!answers.empty()) pending_at_stop = stop(0).config[VEXA_CONFIG_PENDING];
            }),
            reasons_t{});
  EXPECT_EQ(answers, reasons_t{VEXA_ERROR_UNKNOWN_FEATURE});
  EXPECT_EQ(pending_at_stop, 0x4u) << "both resets ran, bit 2 stays";
}
