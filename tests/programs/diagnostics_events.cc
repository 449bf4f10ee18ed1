// Drives libvexa.so through one scenario of events and plays the debugger
// itself: it defines the breakpoint function and answers stops by writing
// commands into the communication block. The scenario is named by the
// environment (DIAGNOSTICS_SCENARIO), because the load stop comes before
// main. What the test cannot know in advance (addresses of the block and of
// the detection arrays, thread identities) is printed on stdout as
// name=value lines; the library's text goes to stderr.
//
// Threads take turns on one counter the library cannot see, so every hook
// call, and so every line of text, comes in a fixed order. Code addresses
// are given explicitly (the ...At hooks) so that the text can be predicted.
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "vexa.h"

namespace {

void const* at(std::uintptr_t code) { return reinterpret_cast<void const*>(code); }

void fact(char const* name, std::uint64_t value) {
  std::printf("%s=0x%llx\n", name, static_cast<unsigned long long>(value));
}

void fact_thread(char const* name) { fact(name, static_cast<std::uint64_t>(pthread_self())); }

std::atomic<int> turn{0};

void wait_turn(int t) {
  while (turn.load(std::memory_order_acquire) != t) sched_yield();
}

void next_turn() { turn.fetch_add(1, std::memory_order_acq_rel); }

vexa_filter_t record(unsigned feature, unsigned kind, unsigned action, std::uint64_t first, std::uint64_t second) {
  vexa_filter_t r;
  std::memset(&r, 0, sizeof r);
  r.feature = static_cast<std::uint8_t>(feature);
  r.kind = static_cast<std::uint8_t>(kind);
  r.action = static_cast<std::uint8_t>(action);
  r.first = first;
  r.second = second;
  return r;
}

vexa_filter_t* buffer() { return reinterpret_cast<vexa_filter_t*>(static_cast<std::uintptr_t>(__vexa_filter_space)); }

// ---- status: load, ping, resets of both detectors, unload.

void status_stop(unsigned index) {
  if (index == 0) __vexa_config[VEXA_CONFIG_PENDING] = VEXA_PENDING_PING;
  if (index == 1) __vexa_config[VEXA_CONFIG_PENDING] = VEXA_PENDING_RESET_TSM | VEXA_PENDING_RESET_RE;
}

// ---- sharing: three tasks read one object, a fourth writes it.

constexpr std::uintptr_t shared_object = 0x5000;

void sharing_stop(unsigned) {
  if (__vexa_event_reason == VEXA_EVENT_DATA_SHARING) fact("offended", __vexa_current_detection.u.tsm.offended);
}

void sharing_reader(int k) {  // k = 1, 2, 3: tasks 1 to 3
  wait_turn(k - 1);
  char name[] = "r0";
  name[1] = static_cast<char>('0' + k);
  fact_thread(name);
  _VEXA_enterTaskAt(at(0x2000 + k));
  _VEXA_readMemoryAt(at(shared_object), 4, at(0x1000 + k));
  next_turn();
  wait_turn(3 + k);
  _VEXA_leaveTaskAt(at(0x2300 + k));
  next_turn();
}

void sharing() {
  std::thread readers[3] = {std::thread(sharing_reader, 1), std::thread(sharing_reader, 2),
                            std::thread(sharing_reader, 3)};
  wait_turn(3);
  fact_thread("m");
  _VEXA_enterTaskAt(at(0x2004));
  _VEXA_suspendTaskAt(at(0x2104));
  _VEXA_resumeTaskAt(at(0x2204));
  _VEXA_writeMemoryAt(at(shared_object), 4, at(0x1004));
  next_turn();
  wait_turn(7);
  _VEXA_leaveTaskAt(at(0x2304));
  next_turn();
  for (auto& t : readers) t.join();
}

// ---- reentrant: three tasks enter one function in turn.

constexpr std::uintptr_t function = 0x3000;
constexpr std::uintptr_t frame = 0x9000;
unsigned reentrant_events = 0;

void reentrant_stop(unsigned) {
  if (__vexa_event_reason != VEXA_EVENT_REENTRANT_CALL) return;
  fact(++reentrant_events == 1 ? "offenses1" : "offenses2", __vexa_current_detection.u.re.offenses);
}

void reentrant_task(int k, char const* name) {  // k = 1, 2, 3: tasks 1 to 3
  wait_turn(k - 1);
  fact_thread(name);
  _VEXA_enterTaskAt(at(0x2000 + k));
  _VEXA_enterFunctionAt(at(function), at(frame), at(0x1000 + k));
  next_turn();
  wait_turn(2 + k);
  _VEXA_leaveFunctionAt(at(function), at(frame), at(0x1100 + k));
  _VEXA_leaveTaskAt(at(0x2300 + k));
  next_turn();
}

void reentrant() {
  std::thread first(reentrant_task, 1, "r1");
  std::thread second(reentrant_task, 2, "r2");
  reentrant_task(3, "m");
  first.join();
  second.join();
}

// ---- commands: every error a command can meet, then a good batch.

void commands_stop(unsigned index) {
  std::uint32_t* config = __vexa_config;
  switch (index) {
    case 0:  // loaded: a bit that names no command
      config[VEXA_CONFIG_PENDING] |= 0x4;
      break;
    case 1:  // -996
      config[VEXA_CONFIG_PENDING] &= ~0x4u;
      config[VEXA_CONFIG_VERSION] = 2;
      if (sizeof(void*) == 8) {
        // A 64-bit process is refused 4 GiB only under a limit, whatever
        // the machine's memory.
        rlimit small{};
        getrlimit(RLIMIT_AS, &small);
        small.rlim_cur = rlim_t{1} << 30;
        setrlimit(RLIMIT_AS, &small);
      }
      break;
    case 2:  // -1000: a buffer whose byte size does not fit in 32 bits,
             // beyond the i386 address space
      config[VEXA_CONFIG_VERSION] = 1;
      config[VEXA_CONFIG_COUNT] = 178956971;
      config[VEXA_CONFIG_PENDING] = VEXA_PENDING_ALLOCATE_FILTERS;
      break;
    case 3:  // -997 (i386) or -998 (x86_64): the largest size that fits
             // in 32 bits, more than malloc gives
      config[VEXA_CONFIG_COUNT] = 178956970;
      break;
    case 4:  // -998
      config[VEXA_CONFIG_COUNT] = 3;
      break;
    case 5:  // 3, allocated: the second add lies inside the first
      fact("buffer", __vexa_filter_space);
      buffer()[0] = record(VEXA_FEATURE_TSM, VEXA_FILTER_CODE, VEXA_FILTER_ADD, 0x100, 0x10);
      buffer()[1] = record(VEXA_FEATURE_RE, VEXA_FILTER_THREAD, VEXA_FILTER_ADD, 0x7, 0x1234);
      buffer()[2] = record(VEXA_FEATURE_TSM, VEXA_FILTER_CODE, VEXA_FILTER_ADD, 0x104, 0x4);
      config[VEXA_CONFIG_COUNT] = 3;
      config[VEXA_CONFIG_PENDING] = VEXA_PENDING_APPLY_FILTERS;
      break;
    case 6:  // -994
      buffer()[0] = record(VEXA_FEATURE_RE, VEXA_FILTER_DATA, VEXA_FILTER_CLEAR, 0, 0);
      buffer()[1] = record(VEXA_FEATURE_TSM, 3, VEXA_FILTER_ADD, 0x10, 0x20);
      config[VEXA_CONFIG_COUNT] = 2;
      break;
    case 7:  // -995
      buffer()[0] = record(7, 3, 8, 0xabc, 0xdef);
      config[VEXA_CONFIG_COUNT] = 1;
      break;
    case 8:  // -996
      config[VEXA_CONFIG_COUNT] = 4;
      break;
    case 9:  // -997: now a batch that succeeds, and a reset with it
      buffer()[0] = record(VEXA_FEATURE_TSM, VEXA_FILTER_DATA, VEXA_FILTER_ADD, 0x5000, 0x40);
      buffer()[1] = record(VEXA_FEATURE_RE, VEXA_FILTER_CODE, VEXA_FILTER_ADD, 0x3000, 0x1);
      buffer()[2] = record(VEXA_FEATURE_RE, VEXA_FILTER_CODE, VEXA_FILTER_REMOVE, 0x3000, 0x1);
      config[VEXA_CONFIG_COUNT] = 3;
      config[VEXA_CONFIG_PENDING] |= VEXA_PENDING_RESET_TSM;
      break;
    default:
      break;
  }
}

void commands() {
  fact_thread("m");
  _VEXA_suspendTask();  // no task on this thread
  _VEXA_leaveTask();    // nothing to leave: -992
}

struct scenario_t {
  char const* name;
  void (*stop)(unsigned index);
  void (*run)();
};

scenario_t const scenarios[] = {
    {"status", status_stop, nullptr},
    {"sharing", sharing_stop, sharing},
    {"reentrant", reentrant_stop, reentrant},
    {"commands", commands_stop, commands},
};

scenario_t const* chosen() {
  static scenario_t const* s = [] {
    char const* name = std::getenv("DIAGNOSTICS_SCENARIO");
    for (auto const& candidate : scenarios)
      if (name != nullptr && std::strcmp(name, candidate.name) == 0) return &candidate;
    return static_cast<scenario_t const*>(nullptr);
  }();
  return s;
}

unsigned stops = 0;

}  // namespace

// Every stop of the library lands here; stops never overlap (the library
// holds its runtime lock through each of them).
extern "C" void __vexa_switch_to_debugger(void) {
  unsigned const index = stops++;
  if (index == 0) {
    fact("config", reinterpret_cast<std::uintptr_t>(&__vexa_config));
    fact("reason", reinterpret_cast<std::uintptr_t>(&__vexa_event_reason));
    fact("detection", reinterpret_cast<std::uintptr_t>(&__vexa_current_detection));
  }
  if (scenario_t const* s = chosen()) s->stop(index);
}

int main() {
  scenario_t const* s = chosen();
  if (s == nullptr) {
    std::fprintf(stderr, "usage: DIAGNOSTICS_SCENARIO=status|sharing|reentrant|commands diagnostics_events\n");
    return 2;
  }
  if (s->run != nullptr) s->run();
  return 0;
}
