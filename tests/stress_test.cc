// Eight threads enter and leave thousands of tasks, some nested, touching a
// shared and a private region and entering shared functions, while a
// scripted debugger resets the detectors and switches them at random stops.
// Afterwards nothing is left behind, every handle was unique among the live
// tasks, and every stop carried a well-formed detection record.
//
// STRESS_TASKS sets the number of tasks per thread (tools/valgrind-check.sh
// runs a few under valgrind).
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/debugger.h"
#include "vexa/runtime.h"

using namespace vexa_test;

namespace {

constexpr unsigned thread_count = 8;
// Accesses are naturally aligned, so a region of n words holds at most
// 7.5 n distinct objects: every leave walks all logged objects, and a
// short chain keeps the run about the hooks rather than that walk.
constexpr unsigned shared_words = 32;
constexpr unsigned private_words = 16;
constexpr std::uintptr_t functions[] = {0x7000, 0x7100, 0x7200, 0x7300};

unsigned tasks_per_thread() {
  if (char const* text = std::getenv("STRESS_TASKS")) return static_cast<unsigned>(std::strtoul(text, nullptr, 10));
  return 3000;
}

std::uint32_t shared_region[shared_words];
unsigned long known_threads[thread_count];

// Set while a task holds the handle. A worker claims its handle right after
// entering and gives it back right before leaving, both while the library
// still counts the handle as that task's, so two claims of one handle can
// only overlap if the library gave it to two live tasks. The exchange pairs
// with the store of the previous holder through the runtime lock that
// released and re-assigned the handle.
std::atomic<unsigned char> handle_taken[65536];

// Everything below is touched only by the script, which runs under the
// runtime lock, and read by the test after joining the workers.
struct observations_t {
  std::mt19937 random{20240611};
  unsigned sharing = 0, reentrant = 0, configured = 0, resets = 0, switches = 0, left_early = 0;
  std::vector<std::string> faults;

  void fault(std::string what) {
    if (faults.size() < 20) faults.push_back(std::move(what));
  }
} seen;

bool known(std::uint64_t task_id, std::uint64_t thread) {
  if (task_id != 0) return false;
  return std::find(std::begin(known_threads), std::end(known_threads), thread) != std::end(known_threads);
}

// An offense must share a byte with the offender (an empty offender lies
// inside objects that reach over its base) and, for a read, be a write.
bool conflicts(tsm_access_desc_t const& offender, tsm_access_desc_t const& o) {
  bool const overlaps = o.base <= offender.base ? offender.base < o.base + o.size
                                                : o.base < offender.base + offender.size;
  return overlaps && (offender.access == TSM_WRITE || o.access == TSM_WRITE);
}

void check_sharing(stop_t const& s, vexa_detection_t const& d) {
  ++seen.sharing;
  tsm_access_desc_t const& offender = d.u.tsm.offender;
  if (d.u.tsm.count < 1) seen.fault("256 without offenses");
  if (offender.access > 1) seen.fault("256 offender access not 0 or 1");
  if (offender.task != 0 || offender.thread != s.thread) seen.fault("256 offender is not the stopping thread");
  if (offender.code != d.code) seen.fault("256 offender code differs from the record's code");
  auto const* offenses = reinterpret_cast<tsm_access_desc_t const*>(static_cast<std::uintptr_t>(d.u.tsm.offended));
  for (std::uint64_t i = 0; i < d.u.tsm.count; ++i) {
    tsm_access_desc_t const& o = offenses[i];
    if (o.access > 1) seen.fault("256 offense access not 0 or 1");
    if (!conflicts(offender, o)) seen.fault("256 offense that does not conflict with the offender");
    if (o.task == 0 && o.thread == 0)
      ++seen.left_early;  // its task left between the check and the commit
    else if (!known(o.task, o.thread))
      seen.fault("256 offense of an unknown thread");
  }
}

void check_reentrant(stop_t const& s, vexa_detection_t const& d) {
  ++seen.reentrant;
  if (d.u.re.count < 2) {
    seen.fault("257 with fewer than two tasks");
    return;
  }
  if (std::find(std::begin(functions), std::end(functions), d.u.re.function) == std::end(functions))
    seen.fault("257 for a function nobody entered");
  auto const* tasks = reinterpret_cast<vexa_task_identity_t const*>(static_cast<std::uintptr_t>(d.u.re.offenses));
  vexa_task_identity_t const& caller = tasks[d.u.re.count - 1];
  if (caller.task_id != 0 || caller.thread != s.thread) seen.fault("257 whose last task is not the stopping thread");
  for (std::uint64_t i = 0; i + 1 < d.u.re.count; ++i)
    if (!(tasks[i].task_id == 0 && tasks[i].thread == 0) && !known(tasks[i].task_id, tasks[i].thread))
      seen.fault("257 listing an unknown thread");
}

// Never switches both detectors off: only their events give the script the
// chance to switch them on again. With one of them off, stops are rarer, so
// the script is then quicker to switch again.
constexpr std::uint32_t enables[] = {
    VEXA_ENABLE_TSM, VEXA_ENABLE_RE, VEXA_ENABLE_TSM | VEXA_ENABLE_RE,
    VEXA_ENABLE_TSM | VEXA_ENABLE_RE | VEXA_ENABLE_SUSPEND_MARKING, VEXA_ENABLE_TSM | VEXA_ENABLE_SUSPEND_MARKING};

void debugger_script(stop_t const& s, std::size_t, void*) {
  vexa_detection_t const& d = __vexa_current_detection;  // the arrays live only during this stop
  switch (s.reason) {
    case VEXA_EVENT_DATA_SHARING: check_sharing(s, d); break;
    case VEXA_EVENT_REENTRANT_CALL: check_reentrant(s, d); break;
    case VEXA_EVENT_CONFIGURED: ++seen.configured; return;
    default: seen.fault("unexpected event " + std::to_string(s.reason)); return;
  }
  bool const both_on = (s.config[VEXA_CONFIG_ENABLE] & 3) == 3;
  // The first two detections always reset and switch, so that a short run
  // (under valgrind) does both too.
  unsigned const detections = seen.sharing + seen.reentrant;
  unsigned const dice = detections == 1 ? 0 : detections == 2 ? 3 : seen.random() % 64;
  if (dice < 3) {
    post(1u + dice % 3);  // reset tsm, re, or both
    ++seen.resets;
  } else if (dice < (both_on ? 5 : 16)) {
    set_enable(enables[seen.random() % (sizeof enables / sizeof enables[0])]);
    ++seen.switches;
  }
}

struct worker_tally_t {
  unsigned entered = 0, bad_handle = 0, shared_handle = 0, wrong_identity = 0;
};

void const* frame_at(std::uintptr_t base, unsigned depth) { return reinterpret_cast<void const*>(base - 64 * depth); }

// One task: a few accesses, a call or two, maybe a suspension or a nested
// task (about 0.7 per top-level task). `depth` counts the tasks open on
// this thread.
void run_task(std::mt19937& random, std::uint32_t* mine, std::uintptr_t stack, unsigned depth, worker_tally_t& tally) {
  _VEXA_enterTask();
  ++tally.entered;
  vexa::task_record_t const* record = vexa::current.record;
  unsigned short const handle = record != nullptr ? record->handle : 0;
  if (handle == 0) {
    ++tally.bad_handle;
    _VEXA_leaveTask();
    return;
  }
  if (handle_taken[handle].exchange(1, std::memory_order_acq_rel) != 0) ++tally.shared_handle;
  {
    vexa::lock_scope held(vexa::vexa.lock);
    vexa::thread_model_t::threadid_t const self{0, static_cast<unsigned long>(pthread_self())};
    if (vexa::vexa.identity_of(handle) != self) ++tally.wrong_identity;
  }

  unsigned const steps = 4 + random() % 8;
  unsigned calls = 0;
  for (unsigned i = 0; i < steps; ++i) {
    unsigned const what = random() % 16;
    bool const shared = what < 6;
    unsigned const size = 1u << (random() % 4);
    unsigned const slots = (shared ? shared_words : private_words) * 4 / size;
    void const* const address = reinterpret_cast<char const*>(shared ? shared_region : mine) + size * (random() % slots);
    if (what < 12) {
      if (what % 2 == 0)
        _VEXA_readMemory(address, size);
      else
        _VEXA_writeMemory(address, size);
    } else if (what == 12 && calls < 4) {
      _VEXA_enterFunction(reinterpret_cast<void const*>(functions[random() % 4]), frame_at(stack, depth * 8 + ++calls));
    } else if (what == 13 && calls > 0) {
      --calls;  // leaves the newest open call, with the frame it was entered with
      // The function is not remembered: a leave that matches nothing is
      // checked like an entry, which is part of what this exercises.
      _VEXA_leaveFunction(reinterpret_cast<void const*>(functions[random() % 4]), frame_at(stack, depth * 8 + calls + 1));
    } else if (what == 14) {
      _VEXA_suspendTask();
      _VEXA_writeMemory(address, size);
      _VEXA_resumeTask();
    } else if (what == 15 && depth < 2) {
      run_task(random, mine, stack, depth + 1, tally);
    }
  }
  handle_taken[handle].store(0, std::memory_order_release);
  _VEXA_leaveTask();
}

TEST(Stress, TasksSharingMemoryAndFunctionsUnderAScriptedDebugger) {
  unsigned const tasks = tasks_per_thread();
  set_script(debugger_script);
  set_enable(VEXA_ENABLE_TSM | VEXA_ENABLE_RE | VEXA_ENABLE_SUSPEND_MARKING);
  set_guard(VEXA_GUARD_TASK | VEXA_GUARD_MEMORY | VEXA_GUARD_FUNCTION);

  pthread_barrier_t start;
  pthread_barrier_init(&start, nullptr, thread_count);
  std::vector<worker_tally_t> tally(thread_count);
  std::vector<std::thread> workers;
  for (unsigned t = 0; t < thread_count; ++t) {
    workers.emplace_back([t, tasks, &start, &tally] {
      known_threads[t] = static_cast<unsigned long>(pthread_self());
      std::mt19937 random(1000 + t);
      std::uint32_t mine[private_words];
      int anchor;
      auto const stack = reinterpret_cast<std::uintptr_t>(&anchor);
      pthread_barrier_wait(&start);  // every identity is known before the first stop
      for (unsigned i = 0; i < tasks; ++i) run_task(random, mine, stack, 0, tally[t]);
    });
  }
  for (std::thread& w : workers) w.join();
  pthread_barrier_destroy(&start);
  set_script(nullptr);

  unsigned entered = 0;
  for (unsigned t = 0; t < thread_count; ++t) {
    EXPECT_EQ(tally[t].bad_handle, 0u) << "thread " << t;
    EXPECT_EQ(tally[t].shared_handle, 0u) << "thread " << t;
    EXPECT_EQ(tally[t].wrong_identity, 0u) << "thread " << t;
    entered += tally[t].entered;
  }
  std::ostringstream list;
  for (std::string const& f : seen.faults) list << "\n  " << f;
  EXPECT_TRUE(seen.faults.empty()) << list.str();
  EXPECT_TRUE(vexa::vexa.threads.empty());
  EXPECT_EQ(vexa::vexa.live_tasks.load(), 0u);
  EXPECT_EQ(__VEXA_isGuardedCall & VEXA_GUARD_MEMORY, 0u);  // the last leave switched the memory hooks off
  // The run must have exercised what it claims to.
  EXPECT_GT(seen.sharing, 0u);
  EXPECT_GT(seen.reentrant, 0u);
  EXPECT_GT(seen.resets, 0u);
  EXPECT_GT(seen.switches, 0u);
  std::printf("%u tasks entered; stops: %u data sharing, %u reentrant, %u configured; %u resets, %u switches; %u offenses of tasks that had left\n",
              entered, seen.sharing, seen.reentrant, seen.configured, seen.resets, seen.switches, seen.left_early);
}

}  // namespace
