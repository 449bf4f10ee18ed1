// What real processes do to the library: run out of memory at any
// allocation, fork while other threads are inside hooks, exit while a
// thread is inside one, and call hooks from a signal handler that
// interrupted a hook. Each case runs in a process of its own.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "support/debugger.h"
#include "vexa/hook_frame.h"

// ---- allocations, counted and failed on demand (this thread only)

namespace {
thread_local bool armed = false;     // count this thread's allocations
thread_local long allocations = 0;   // counted while armed
thread_local long fail_at = -1;      // the allocation (from 0) that fails
bool take_allocation() {
  if (!armed) return true;
  return allocations++ != fail_at;
}
}  // namespace

extern "C" void* __real_malloc(std::size_t n);
// The library's own malloc calls (the filter buffer) come here: the test is
// linked with --wrap=malloc.
extern "C" void* __wrap_malloc(std::size_t n) { return take_allocation() ? __real_malloc(n) : nullptr; }

[[gnu::noinline]] void* operator new(std::size_t n) {
  if (!take_allocation()) throw std::bad_alloc();
  if (void* p = __real_malloc(n != 0 ? n : 1)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

using namespace vexa_test;
using thread_model_t = vexa::thread_model_t;
vexa::vexa_t& rt = vexa::vexa;
using reasons_t = std::vector<vexa_event_reason_t>;

namespace {

std::uint32_t shared_words[8];
void const* frame(int depth) { return &shared_words[7 - depth]; }  // deeper is lower
void const* const f = reinterpret_cast<void const*>(&frame);

// Exit status of a child, 128 + signal when killed, -1 when it had to be
// killed after `seconds` (a hang).
int wait_for(pid_t pid, int seconds) {
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    int status = 0;
    pid_t const r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (r < 0 || std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    usleep(2000);
  }
}

// Every lock of the library, taken and released from another thread: true
// unless one of them stays held (then the taker is left stuck, and the
// test fails).
bool no_lock_held() {
  struct state_t {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
  };
  auto* s = new state_t;  // leaked if the taker never finishes
  std::thread([s] {
    rt.lock.lock();
    rt.lock_features();
    rt.tsm.lock_for_fork();
    vexa::arena_pool_t::get().lock.lock();
    vexa::arena_pool_t::get().lock.unlock();
    rt.tsm.unlock_after_fork();
    rt.unlock_features();
    rt.lock.unlock();
    std::lock_guard<std::mutex> held(s->m);
    s->done = true;
    s->cv.notify_all();
  }).detach();
  std::unique_lock<std::mutex> held(s->m);
  return s->cv.wait_for(held, std::chrono::seconds(60), [s] { return s->done; });
}

// Enters a task, exercises every hook, and leaves; churned by the threads
// of the fork and exit cases.
void one_task(int i) {
  _VEXA_enterTask();
  _VEXA_writeMemory(&shared_words[i % 8], 4);
  _VEXA_readMemory(&shared_words[(i + 1) % 8], 4);
  _VEXA_enterFunction(f, frame(1));
  _VEXA_leaveFunction(f, frame(1));
  _VEXA_suspendTask();
  _VEXA_resumeTask();
  _VEXA_leaveTask();
}

void switch_everything_on() {
  set_enable(VEXA_ENABLE_TSM | VEXA_ENABLE_RE | VEXA_ENABLE_SUSPEND_MARKING);
  set_guard(VEXA_GUARD_TASK | VEXA_GUARD_MEMORY | VEXA_GUARD_FUNCTION);
}

// ---- out of memory

template <class Hook>
void call(Hook hook) {
  try {
    hook();
  } catch (std::bad_alloc const&) {
    // Passed into the program, as documented; the program goes on.
  }
}

void post_and_serve(std::uint32_t bits, std::uint32_t count = 0) {
  __vexa_config[VEXA_CONFIG_COUNT] = count;
  post(bits);
  call(_VEXA_suspendTask);  // polls; this thread runs no task here
}

// Built before the allocations are counted: only the library's count.
std::vector<vexa_filter_t> const records = {
    filter_record(VEXA_FEATURE_RE, VEXA_FILTER_CODE, VEXA_FILTER_CLEAR, 0, 0),
    filter_record(VEXA_FEATURE_RE, VEXA_FILTER_CODE, VEXA_FILTER_ADD, reinterpret_cast<std::uintptr_t>(f), 1),
    filter_record(VEXA_FEATURE_TSM, VEXA_FILTER_DATA, VEXA_FILTER_CLEAR, 0, 0),
    filter_record(VEXA_FEATURE_TSM, VEXA_FILTER_DATA, VEXA_FILTER_ADD, 0x10, 0x10),
    filter_record(VEXA_FEATURE_TSM, VEXA_FILTER_THREAD, VEXA_FILTER_CLEAR, 0, 0),
    filter_record(VEXA_FEATURE_TSM, VEXA_FILTER_THREAD, VEXA_FILTER_ADD, 0, 12345),
};

// Every hook and every command, with a detection of each kind.
void scenario() {
  post_and_serve(VEXA_PENDING_PING);
  post_and_serve(VEXA_PENDING_ALLOCATE_FILTERS, records.size());
  if (vexa::filter_buffer != nullptr && vexa::__vexa_filter_space_size >= records.size()) {
    std::copy(records.begin(), records.end(), vexa::filter_buffer);
    post_and_serve(VEXA_PENDING_APPLY_FILTERS, records.size());
  }
  post_and_serve(VEXA_PENDING_RESET_TSM | VEXA_PENDING_RESET_RE);

  call(_VEXA_enterTask);
  call([] { _VEXA_writeMemory(&shared_words[0], 4); });
  call([] { _VEXA_enterFunction(f, frame(1)); });
  call(_VEXA_enterTask);  // nested: a second live task on this thread
  call([] { _VEXA_readMemory(&shared_words[0], 4); });  // 256
  call([] { _VEXA_enterFunction(f, frame(2)); });       // 257
  call([] { _VEXA_leaveFunction(f, frame(2)); });
  call(_VEXA_suspendTask);
  call([] { _VEXA_writeMemory(&shared_words[1], 4); });
  call(_VEXA_resumeTask);
  call([] { _VEXA_writeMemory(&shared_words[2], 8); });
  call(_VEXA_leaveTask);
  call([] { _VEXA_leaveFunction(f, frame(1)); });
  call(_VEXA_leaveTask);
}

// The scenario's core without failures: both detections must come.
reasons_t detections() {
  forget();
  _VEXA_enterTask();
  _VEXA_writeMemory(&shared_words[0], 4);
  _VEXA_enterFunction(f, frame(1));
  _VEXA_enterTask();
  _VEXA_readMemory(&shared_words[0], 4);
  _VEXA_enterFunction(f, frame(2));
  _VEXA_leaveFunction(f, frame(2));
  _VEXA_leaveTask();
  _VEXA_leaveFunction(f, frame(1));
  _VEXA_leaveTask();
  return reasons();
}

[[noreturn]] void fail_child(long k, char const* what) {
  std::fprintf(stderr, "allocation %ld failed: %s\n", k, what);
  _exit(1);
}

// In a fresh copy of the process (a child that has never run the
// scenario, so first-use allocations are there too): the scenario with
// allocation k failing, then the checks. Exits 0, or 2 when the scenario
// made no allocation k, which ends the sweep.
[[noreturn]] void fail_one(long k) {
  allocations = 0;
  fail_at = k;
  armed = true;
  scenario();
  armed = false;
  bool const reached = allocations > k;
  if (__vexa_config[VEXA_CONFIG_PENDING] != 0) post_and_serve(0);  // a command the failure left pending

  if (!no_lock_held()) fail_child(k, "a lock stays held");
  if (vexa::current.in_hook) fail_child(k, "the thread is still inside a hook");
  // A failed entry leaves the task around it current, so the scenario's
  // leaves end every task it entered: the count and the map must agree.
  if (vexa::current.record != nullptr) fail_child(k, "a task is left current");
  if (rt.live_tasks.load() != rt.threads.size()) fail_child(k, "live tasks and the thread model disagree");
  if (!rt.threads.empty()) fail_child(k, "a task is left registered: a failed entry orphaned the one around it");
  for (auto const& entry : rt.threads) {
    if (entry.second != vexa::self_identity()) fail_child(k, "a task of no thread");
    rt.tsm.discard(entry.first);
    rt.re.leave(entry.first);
  }
  rt.threads.clear();
  rt.live_tasks = 0;
  reasons_t const seen = detections();
  if (seen != reasons_t{VEXA_EVENT_DATA_SHARING, VEXA_EVENT_REENTRANT_CALL}) {
    for (vexa_event_reason_t r : seen) std::fprintf(stderr, "seen %d\n", r);
    fail_child(k, "no longer detects");
  }
  _exit(reached ? 0 : 2);
}

// Each allocation of one scenario fails in turn; the sweep ends at the
// first index the scenario no longer reaches, so it follows whatever the
// detectors allocate.
TEST(OutOfMemory, EveryAllocationOfEveryHookAndCommandMayFail) {
  switch_everything_on();
  long k = 0;
  for (;; ++k) {
    pid_t const pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) fail_one(k);
    int const status = wait_for(pid, 90);
    if (status == 2) break;
    ASSERT_EQ(status, 0) << "allocation " << k << " (status -1: the child hung)";
  }
  EXPECT_GT(k, 20) << "the scenario allocates more than this";
  RecordProperty("allocations", static_cast<int>(k));
}

// A task entered inside another fails: its record cannot be allocated
// (-998), the thread model cannot grow (std::bad_alloc passes out), or no
// handle is free (-993). The task around it stays current, the failed
// task's leave closes the failure alone (-992), and the outer task's leave
// then leaves it: nothing stays counted or registered, and the memory hooks
// switch themselves off again.
TEST(OutOfMemory, AFailedEntryLeavesTheTaskAroundItCurrent) {
  switch_everything_on();
  for (int how = 0; how < 3; ++how) {
    SCOPED_TRACE(how == 0 ? "record" : how == 1 ? "thread model" : "no handle");
    _VEXA_enterTask();
    vexa::task_record_t* const outer = vexa::current.record;
    ASSERT_NE(outer, nullptr);
    forget();
    thread_model_t::threadid_t const elsewhere{0, 12345};
    if (how < 2) {
      // The thread model allocates at the first handle of a block of 256:
      // the entry gets handle 256, in a block made anew.
      if (how == 1) {
        for (unsigned h = 2; h <= 255; ++h) rt.threads[static_cast<unsigned short>(h)] = elsewhere;
        rt.threads.release_empty_blocks();
      }
      allocations = 0;
      fail_at = how;  // the entry allocates its record, then the thread model's block
      armed = true;
      call(_VEXA_enterTask);
      armed = false;
      if (how == 1)
        for (unsigned h = 2; h <= 255; ++h) rt.threads.erase(static_cast<unsigned short>(h));
      EXPECT_EQ(reasons(), how == 0 ? reasons_t{VEXA_ERROR_OUT_OF_MEMORY} : reasons_t{});
    } else {
      for (unsigned h = 2; h <= 65535; ++h) rt.threads.emplace_hint(rt.threads.end(), static_cast<unsigned short>(h), elsewhere);
      _VEXA_enterTask();
      for (unsigned h = 2; h <= 65535; ++h) rt.threads.erase(static_cast<unsigned short>(h));
      EXPECT_EQ(reasons(), reasons_t{VEXA_ERROR_TASK_HANDLE_OVERFLOW});
    }
    EXPECT_EQ(vexa::current.record, outer);
    EXPECT_EQ(rt.live_tasks.load(), 1u);  // a refused entry counts no task either

    forget();
    _VEXA_writeMemory(&shared_words[3], 4);  // still the outer task's, and logged
    _VEXA_leaveTask();                       // the failed task's
    EXPECT_EQ(reasons(), reasons_t{VEXA_ERROR_TASK_NESTING});
    EXPECT_EQ(vexa::current.record, outer);
    _VEXA_leaveTask();                       // the outer task's
    EXPECT_EQ(reasons(), reasons_t{VEXA_ERROR_TASK_NESTING});
    EXPECT_EQ(vexa::current.record, nullptr);
    EXPECT_EQ(rt.live_tasks.load(), 0u);
    EXPECT_TRUE(rt.threads.empty());
    _VEXA_readMemory(&shared_words[3], 4);  // no live task: the memory hooks switch off
    EXPECT_EQ(__VEXA_isGuardedCall, VEXA_GUARD_TASK | VEXA_GUARD_FUNCTION);
    set_guard(VEXA_GUARD_TASK | VEXA_GUARD_MEMORY | VEXA_GUARD_FUNCTION);
  }
}

// ---- fork

TEST(Fork, ChildrenOfAProcessWhoseThreadsChurnTasksNeitherHangNorCrash) {
  switch_everything_on();
  std::atomic<bool> stop{false};
  std::vector<std::thread> churn;
  for (int t = 0; t < 3; ++t)
    churn.emplace_back([&stop, t] {
      for (int i = t; !stop.load(std::memory_order_relaxed); ++i) one_task(i);
    });
  _VEXA_enterTask();  // the forking thread's own task goes on in the child
  unsigned short const mine = vexa::current.record->handle;

  for (int i = 0; i < 100; ++i) {
    pid_t const pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // Only this thread's task is left, and it runs normally.
      bool ok = rt.threads.size() == 1 && rt.threads.count(mine) == 1 && rt.live_tasks == 1;
      one_task(i);
      _VEXA_leaveTask();
      ok = ok && rt.threads.empty() && rt.live_tasks == 0 && vexa::current.record == nullptr;
      _exit(ok ? 0 : 1);
    }
    ASSERT_EQ(wait_for(pid, 30), 0) << "child " << i << " (status -1: it hung)";
  }
  stop = true;
  for (auto& t : churn) t.join();
  _VEXA_leaveTask();
}

// Each thread holds one of these while the other forks: the table of
// places grows its blocks under its own lock, the bridge's locks are the
// library's lock_t with a bridge rank, and an access log's lock is in no
// registry at all. The prepare handler must wait for them, or the child
// inherits them held and spins on them for ever.
TEST(Fork, LocksOfThePlaceTableTheBridgeAndALogHeldAcrossAForkAreFreeInTheChild) {
  switch_everything_on();
  vexa::lock_t bridge_lock{vexa::lock_rank::bridge_list};
  static int logged = 0;
  _VEXA_enterTask();
  vexa::access_log_t* const log =
      rt.tsm.log({vexa::to_address(&logged), sizeof logged}, TSM_WRITE, vexa::current.record->handle, nullptr);
  _VEXA_leaveTask();
  ASSERT_NE(log, nullptr);
  for (vexa::basic_lock_t* held : {static_cast<vexa::basic_lock_t*>(&rt.tsm.places_lock()),
                                   static_cast<vexa::basic_lock_t*>(&bridge_lock), &log->lock}) {
    std::atomic<int> phase{0};
    std::thread holder([held, &phase] {
      held->lock();
      phase = 1;
      usleep(100000);
      held->unlock();
    });
    while (phase.load() == 0) sched_yield();
    pid_t const pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // The first place of the process allocates the table's first block.
      int where = 0;
      _VEXA_enterTask();
      _VEXA_placeTask(&where, 1);
      _VEXA_leaveTask();
      held->lock();
      held->unlock();
      _exit(0);
    }
    EXPECT_EQ(wait_for(pid, 20), 0) << "status -1: the child hung on a lock held at the fork";
    holder.join();
  }
}

// A checking build keeps the one lock order (lock.h): a lock taken while a
// lock of its own rank or a later one is held ends the process with a line
// that names both.
TEST(LockOrder, ALockTakenOutOfOrderAbortsACheckingBuild) {
#ifndef VEXA_CHECKING
  GTEST_SKIP() << "only a checking build (-DVEXA_CHECKING=ON) checks the lock order";
#else
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  vexa::lock_t log_lock{vexa::lock_rank::access_log};
  EXPECT_DEATH(
      {
        vexa::lock_scope inner(log_lock);
        vexa::lock_scope outer(rt.lock);
      },
      "vexa: check failed: lock order: runtime lock taken while holding access log lock");
  vexa::lock_t other_log{vexa::lock_rank::access_log};
  EXPECT_DEATH(
      {
        vexa::lock_scope one(log_lock);
        vexa::lock_scope two(other_log);
      },
      "access log lock taken while holding access log lock");
  // In order, nothing happens.
  vexa::lock_scope outer(rt.lock);
  vexa::lock_scope inner(log_lock);
#endif
}

// ---- exit

int unload_pipe = -1;
void report_unload(stop_t const& s, std::size_t, void*) {
  if (s.reason == VEXA_EVENT_UNLOADED) {
    char const c = '2';
    (void)!write(unload_pipe, &c, 1);
  }
}

TEST(Exit, AThreadInsideHooksWhileTheProcessExitsDoesNotCrashIt) {
  for (int run = 0; run < 100; ++run) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t const pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      unload_pipe = fds[1];
      set_script(&report_unload);
      switch_everything_on();
      std::atomic<int> done{0};
      std::thread([&done] {
        for (int i = 0;; ++i) {
          one_task(i);
          done.store(i, std::memory_order_relaxed);
        }
      }).detach();
      while (done.load(std::memory_order_relaxed) < 3) sched_yield();
      std::exit(0);
    }
    close(fds[1]);
    EXPECT_EQ(wait_for(pid, 30), 0) << "run " << run;
    char c = 0;
    EXPECT_EQ(read(fds[0], &c, 1), 1) << "run " << run << ": no unload stop";
    close(fds[0]);
    if (HasFailure()) break;
  }
}

// ---- signals

volatile sig_atomic_t handled = 0;

void hooks_in_handler(int) {
  one_task(0);
  _VEXA_readMemory(&shared_words[0], 4);
  _VEXA_enterFunction(f, frame(1));
  handled = 1;
}

// The stop holds the runtime lock; the handler's hooks would wait for it
// for ever. They must return at once and change nothing.
TEST(Signals, HooksInAHandlerThatInterruptedAHookReturnAtOnce) {
  alarm(60);  // a hang ends the test instead of the suite's timeout
  switch_everything_on();
  struct sigaction sa {};
  sa.sa_handler = &hooks_in_handler;
  sigaction(SIGUSR1, &sa, nullptr);
  set_script([](stop_t const& s, std::size_t, void*) {
    if (s.reason == VEXA_EVENT_ALIVE) raise(SIGUSR1);
  });
  _VEXA_enterTask();
  vexa::task_record_t const* const task = vexa::current.record;
  forget();
  post(VEXA_PENDING_PING);
  _VEXA_writeMemory(&shared_words[0], 4);  // serves the ping: the stop raises the signal
  EXPECT_EQ(handled, 1);
  EXPECT_EQ(reasons(), reasons_t{VEXA_EVENT_ALIVE});
  EXPECT_EQ(vexa::current.record, task);
  EXPECT_EQ(rt.threads.size(), 1u);
  set_script(nullptr);
  // Outside a hook, the handler's hooks work as anywhere else.
  handled = 0;
  raise(SIGUSR1);
  EXPECT_EQ(handled, 1);
  _VEXA_leaveTask();
  EXPECT_TRUE(rt.threads.empty());
  alarm(0);
}

}  // namespace
