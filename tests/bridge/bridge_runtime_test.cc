// The bridge seen from an instrumented program. This file is compiled with
// the instrumentation vexa-cc adds and linked with libvexa_threads.so, so
// every thread is a task (the main thread too) and the library's stops land
// in the in-process debugger. Both detectors and all hook groups are on from
// load (VEXA_ENABLE=3, VEXA_GUARD=7 in the test's environment).
//
// Threads are ordered with barriers of the C library, which vexa does not
// see. The debugger's recorder is read only outside stops: code here is
// instrumented and must not run inside one.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <setjmp.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/child.h"
#include "support/debugger.h"

using namespace vexa_test;

namespace {

// --- where a code address points ------------------------------------------

// The line of this file that `snippet` first appears on.
int line_of(char const* snippet) {
  std::ifstream source(__FILE__);
  std::string text;
  for (int line = 1; std::getline(source, text); ++line)
    if (text.find(snippet) != std::string::npos) return line;
  return -1;
}

// The source line a hook's return address belongs to ("file:line" -> line).
int line_at(std::uint64_t code) {
  Dl_info info;
  auto* address = reinterpret_cast<void*>(static_cast<std::uintptr_t>(code));
  if (dladdr(address, &info) == 0) return -1;
  char offset[32];
  std::snprintf(offset, sizeof offset, "0x%lx",
                static_cast<unsigned long>(static_cast<char*>(address) - static_cast<char*>(info.dli_fbase) - 1));
  char self[4096];
  ssize_t const n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return -1;
  self[n] = '\0';
  child_result r = run_child({VEXA_ADDR2LINE, "-e", self, offset});
  if (r.out.empty()) return -1;
  std::string const& where = r.out[0];
  return std::atoi(where.substr(where.rfind(':') + 1).c_str());
}

// --- threads that vexa sees as tasks ----------------------------------------

// Runs `body` in a new thread, which is a task of its own, and waits for it.
class task_thread {
 public:
  explicit task_thread(std::function<void()> body) : body_(std::move(body)) {
    pthread_create(&thread_, nullptr, run, this);
  }
  ~task_thread() { pthread_join(thread_, nullptr); }
  pthread_t id() const { return thread_; }

 private:
  static void* run(void* self) {
    static_cast<task_thread*>(self)->body_();
    return nullptr;
  }
  std::function<void()> body_;
  pthread_t thread_;
};

class two_party {
 public:
  two_party() { pthread_barrier_init(&barrier_, nullptr, 2); }
  ~two_party() { pthread_barrier_destroy(&barrier_); }
  void meet() { pthread_barrier_wait(&barrier_); }

 private:
  pthread_barrier_t barrier_;
};

// The instrumented helpers around the code under test (std::function, the
// lambdas) are shared between tasks too, so each test looks only at the
// detections about its own object or function.
std::vector<stop_t> sharing_of(void const* object, std::size_t size) {
  auto const begin = reinterpret_cast<std::uintptr_t>(object);
  std::vector<stop_t> found;
  for (std::size_t i = 0; i < recorded(); ++i) {
    stop_t const& s = stop(i);
    tsm_access_desc_t const& a = s.detection.u.tsm.offender;
    if (s.reason == VEXA_EVENT_DATA_SHARING && a.base < begin + size && begin < a.base + a.size) found.push_back(s);
  }
  return found;
}

template <class F>
std::vector<stop_t> reentry_of(F* function) {
  std::vector<stop_t> found;
  for (std::size_t i = 0; i < recorded(); ++i) {
    stop_t const& s = stop(i);
    if (s.reason == VEXA_EVENT_REENTRANT_CALL &&
        s.detection.u.re.function == reinterpret_cast<std::uintptr_t>(function))
      found.push_back(s);
  }
  return found;
}

// --- instrumented code under test -------------------------------------------

int shared_value;
[[gnu::noinline]] void store_shared(int v) { shared_value = v; }
[[gnu::noinline]] int load_shared() { return shared_value; }
[[gnu::noinline]] void add_shared_atomically(int v) { __atomic_fetch_add(&shared_value, v, __ATOMIC_RELAXED); }

// vexa-cc links programs with --wrap=memcpy and friends. This test cannot:
// the in-process debugger copies with memcpy inside its stops. It calls the
// wrappers by name instead, as the wrapped program does.
extern "C" void* wrapped_memcpy(void*, void const*, std::size_t) __asm__("__wrap_memcpy");
extern "C" void* wrapped_memmove(void*, void const*, std::size_t) __asm__("__wrap_memmove");
extern "C" void* wrapped_memset(void*, int, std::size_t) __asm__("__wrap_memset");

char buffer[64];
char copy_of_buffer[64];
[[gnu::noinline]] void fill_buffer() { wrapped_memset(buffer, 1, sizeof buffer); }
[[gnu::noinline]] void copy_buffer() { wrapped_memcpy(copy_of_buffer, buffer, sizeof buffer); }
[[gnu::noinline]] void move_within_buffer() { wrapped_memmove(buffer + 8, buffer, 16); }

struct record_t {
  int fields[8];
};
record_t shared_record;
[[gnu::noinline]] void assign_record(record_t const& r) { shared_record = r; }
[[gnu::noinline]] int read_record_field() { return shared_record.fields[5]; }

[[gnu::noinline]] void descend(int depth, std::function<void()> const& at_bottom) {
  if (depth == 0) at_bottom();
  else descend(depth - 1, at_bottom);
  __asm__ __volatile__("");  // keeps the recursion from becoming a loop
}

// Called like jump_out from the same place, so its frame is that of
// jump_out's outermost activation (noipa keeps GCC from passing arguments
// in registers to one of them). It touches memory, or the compilers would
// leave it without function hooks.
int sibling_calls;
[[gnu::noipa]] void sibling(int calls) { sibling_calls += calls; }

// Never returns: every activation is left by the longjmp at the bottom,
// which GCC counts as infinite recursion.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winfinite-recursion"
jmp_buf escape;
[[gnu::noipa]] void jump_out(int depth) {
  if (depth == 0) longjmp(escape, 1);
  jump_out(depth - 1);
  __asm__ __volatile__("");
}
#pragma GCC diagnostic pop

[[gnu::noinline]] void throw_out(int depth) {
  if (depth == 0) throw std::runtime_error("out");
  throw_out(depth - 1);
  __asm__ __volatile__("");
}

// Realigns its stack like main does on i386: its frame pointer is not its
// CFA minus two words, so its frames come from the unwinder.
[[gnu::noinline, gnu::force_align_arg_pointer]] void realigned(int depth, std::function<void()> const& at_bottom) {
  if (depth == 0) at_bottom();
  else realigned(depth - 1, at_bottom);
  __asm__ __volatile__("");
}

// --- tests -----------------------------------------------------------------

TEST(BridgeAccesses, PlainAccessesOfTwoTasksAreReportedAtTheirLines) {
  two_party both;
  forget();
  {
    task_thread writer([&] {
      store_shared(1);
      both.meet();
      both.meet();
    });
    both.meet();
    EXPECT_EQ(load_shared(), 1);
    both.meet();
  }
  std::vector<stop_t> found = sharing_of(&shared_value, sizeof shared_value);
  ASSERT_EQ(found.size(), 1u);
  tsm_access_desc_t const& offender = found[0].detection.u.tsm.offender;
  EXPECT_EQ(offender.access, TSM_READ);
  EXPECT_EQ(offender.size, 4u);
  EXPECT_EQ(offender.base, reinterpret_cast<std::uintptr_t>(&shared_value));
  EXPECT_EQ(offender.thread, static_cast<std::uint64_t>(pthread_self()));
  EXPECT_EQ(line_at(offender.code), line_of("{ return shared_value; }"));
  EXPECT_EQ(found[0].detection.code, offender.code);
  ASSERT_EQ(found[0].entries, 1u);
  EXPECT_EQ(found[0].offended[0].access, TSM_WRITE);
  EXPECT_EQ(line_at(found[0].offended[0].code), line_of("{ shared_value = v; }"));
}

TEST(BridgeAccesses, AtomicAccessesAreNotReported) {
  two_party both;
  forget();
  {
    task_thread other([&] {
      add_shared_atomically(1);
      both.meet();
      both.meet();
    });
    both.meet();
    add_shared_atomically(2);
    both.meet();
  }
  EXPECT_TRUE(sharing_of(&shared_value, sizeof shared_value).empty());
  EXPECT_EQ(load_shared(), 3);
}

TEST(BridgeAccesses, MemoryFunctionsAccessTheirWholeRanges) {
  two_party both;
  forget();
  {
    task_thread filler([&] {
      fill_buffer();
      both.meet();
      both.meet();
    });
    both.meet();
    copy_buffer();
    move_within_buffer();
    both.meet();
  }
  std::vector<stop_t> found = sharing_of(buffer, sizeof buffer);
  ASSERT_GE(found.size(), 2u);
  tsm_access_desc_t const& copy = found[0].detection.u.tsm.offender;
  EXPECT_EQ(copy.access, TSM_READ);
  EXPECT_EQ(copy.base, reinterpret_cast<std::uintptr_t>(buffer));
  EXPECT_EQ(copy.size, sizeof buffer);
  EXPECT_EQ(line_at(copy.code), line_of("void copy_buffer()"));
  EXPECT_EQ(found[0].offended[0].size, sizeof buffer);
  EXPECT_EQ(line_at(found[0].offended[0].code), line_of("void fill_buffer()"));
  // memmove reads 16 bytes at the start and writes 16 bytes at offset 8.
  bool saw_move_write = false;
  for (stop_t const& s : found) {
    tsm_access_desc_t const& a = s.detection.u.tsm.offender;
    if (a.access == TSM_WRITE && a.base == reinterpret_cast<std::uintptr_t>(buffer + 8) && a.size == 16)
      saw_move_write = line_at(a.code) == line_of("void move_within_buffer()");
  }
  EXPECT_TRUE(saw_move_write);
}

TEST(BridgeAccesses, StructureCopyIsOneAccessOfTheWholeStructure) {
  two_party both;
  forget();
  {
    task_thread writer([&] {
      assign_record(record_t{{1, 2, 3, 4, 5, 6, 7, 8}});
      both.meet();
      both.meet();
    });
    both.meet();
    EXPECT_EQ(read_record_field(), 6);
    both.meet();
  }
  std::vector<stop_t> found = sharing_of(&shared_record, sizeof shared_record);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].detection.u.tsm.offender.size, 4u);
  ASSERT_EQ(found[0].entries, 1u);
  EXPECT_EQ(found[0].offended[0].access, TSM_WRITE);
  EXPECT_EQ(found[0].offended[0].base, reinterpret_cast<std::uintptr_t>(&shared_record));
  EXPECT_EQ(found[0].offended[0].size, sizeof(record_t));
}

template <class T>
class BridgeAtomics : public ::testing::Test {};
#ifdef __SIZEOF_INT128__  // x86_64: 16-byte atomics have calls of their own
using atomic_widths = ::testing::Types<std::uint8_t, std::uint16_t, std::uint32_t, std::uint64_t, unsigned __int128>;
#else
using atomic_widths = ::testing::Types<std::uint8_t, std::uint16_t, std::uint32_t, std::uint64_t>;
#endif
TYPED_TEST_SUITE(BridgeAtomics, atomic_widths);

// Every operation goes through the bridge (the compiler replaced it by a
// call), which must perform it and return what the operation returns.
TYPED_TEST(BridgeAtomics, OperationsReturnTheOldValueAndStoreTheNewOne) {
  using T = TypeParam;
  T const high = static_cast<T>(T(1) << (sizeof(T) * 8 - 1));
  volatile T a = 0;
  __atomic_store_n(&a, T(0x5a), __ATOMIC_RELEASE);
  EXPECT_EQ(__atomic_load_n(&a, __ATOMIC_ACQUIRE), T(0x5a));
  EXPECT_EQ(__atomic_fetch_add(&a, T(6), __ATOMIC_RELAXED), T(0x5a));
  EXPECT_EQ(__atomic_fetch_sub(&a, T(0x20), __ATOMIC_ACQ_REL), T(0x60));
  EXPECT_EQ(__atomic_fetch_or(&a, high, __ATOMIC_SEQ_CST), T(0x40));
  EXPECT_EQ(__atomic_fetch_and(&a, T(high | 0x0f), __ATOMIC_SEQ_CST), T(high | 0x40));
  EXPECT_EQ(__atomic_fetch_xor(&a, T(0x0f), __ATOMIC_CONSUME), high);
  EXPECT_EQ(__atomic_fetch_nand(&a, T(0xff), __ATOMIC_SEQ_CST), T(high | 0x0f));
  T const nand = static_cast<T>(~((high | 0x0f) & 0xff));
  EXPECT_EQ(__atomic_load_n(&a, __ATOMIC_SEQ_CST), nand);
  EXPECT_EQ(__atomic_exchange_n(&a, T(7), __ATOMIC_SEQ_CST), nand);

  T expected = 8;
  EXPECT_FALSE(__atomic_compare_exchange_n(&a, &expected, T(9), false, __ATOMIC_SEQ_CST, __ATOMIC_RELAXED));
  EXPECT_EQ(expected, T(7));  // a failed exchange reports what it found
  EXPECT_TRUE(__atomic_compare_exchange_n(&a, &expected, T(9), false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE));
  EXPECT_EQ(__atomic_load_n(&a, __ATOMIC_RELAXED), T(9));
  while (!__atomic_compare_exchange_n(&a, &expected, T(10), true, __ATOMIC_RELEASE, __ATOMIC_RELAXED)) {
  }
  EXPECT_EQ(__atomic_load_n(&a, __ATOMIC_RELAXED), T(10));
}

TEST(BridgeFunctions, FunctionOpenInAnotherTaskIsReportedWithItsStartAndTheCallSite) {
  two_party both;
  forget();
  {
    task_thread inside([&] { descend(3, [&] { both.meet(); both.meet(); }); });
    both.meet();
    descend(0, [] {});  // the second task's call
    both.meet();
  }
  std::vector<stop_t> found = reentry_of(&descend);
  ASSERT_GE(found.size(), 1u);
  EXPECT_EQ(line_at(found[0].detection.code), line_of("descend(0, [] {});  // the second"));
  ASSERT_EQ(found[0].entries, 2u);
  EXPECT_EQ(found[0].offenses[1].thread, static_cast<std::uint64_t>(pthread_self()));  // the caller, last
}

TEST(BridgeFunctions, RecursionInOneTaskIsNeverReported) {
  forget();
  {
    task_thread deep([] { descend(1000, [] {}); });  // well past the shadow stack's first size
  }
  descend(20, [] {});
  EXPECT_TRUE(reentry_of(&descend).empty());
}

// A longjmp skips the exits of the functions it leaves. Their activations
// must be closed by the task's next instrumented call, or another task
// entering them later would be reported against a task that left them.
TEST(BridgeFunctions, LongjmpLeavesNoActivationOpen) {
  two_party both;
  forget();
  {
    task_thread jumper([&] {
      if (setjmp(escape) == 0) jump_out(3);
      sibling(3);  // closes the activations the jump left behind
      both.meet();
      both.meet();
    });
    both.meet();
    if (setjmp(escape) == 0) jump_out(0);
    both.meet();
  }
  EXPECT_TRUE(reentry_of(&jump_out).empty());
}

TEST(BridgeFunctions, ExceptionLeavesNoActivationOpen) {
  two_party both;
  forget();
  {
    task_thread thrower([&] {
      try {
        throw_out(3);
      } catch (std::runtime_error const&) {
      }
      both.meet();
      both.meet();
    });
    both.meet();
    try {
      throw_out(0);
    } catch (std::runtime_error const&) {
    }
    both.meet();
  }
  EXPECT_TRUE(reentry_of(&throw_out).empty());
}

TEST(BridgeFunctions, RealignedFunctionMatchesItsEntriesAndExits) {
  two_party both;
  forget();
  {
    task_thread inside([&] { realigned(3, [&] { both.meet(); both.meet(); }); });
    both.meet();
    realigned(0, [] {});
    both.meet();
  }
  EXPECT_FALSE(reentry_of(&realigned).empty());
  // Every activation was closed: a later entry finds it open nowhere.
  forget();
  {
    task_thread again([] { realigned(2, [] {}); });
  }
  realigned(1, [] {});
  EXPECT_TRUE(reentry_of(&realigned).empty());
}

TEST(BridgeThreads, ThreadExitEndsTheThreadsTask) {
  forget();
  pthread_t thread;
  pthread_create(
      &thread, nullptr,
      [](void*) -> void* {
        store_shared(5);
        pthread_exit(nullptr);
      },
      nullptr);
  pthread_join(thread, nullptr);
  store_shared(6);  // the writer has left: nothing is shared
  EXPECT_TRUE(sharing_of(&shared_value, sizeof shared_value).empty());
}

TEST(BridgeThreads, EachThreadIsATaskOfItsOwn) {
  two_party both;
  forget();
  pthread_t writer_id;
  {
    task_thread writer([&] {
      store_shared(1);
      both.meet();
      both.meet();
    });
    writer_id = writer.id();
    both.meet();
    store_shared(2);
    both.meet();
  }
  std::vector<stop_t> found = sharing_of(&shared_value, sizeof shared_value);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].detection.u.tsm.offender.thread, static_cast<std::uint64_t>(pthread_self()));
  ASSERT_EQ(found[0].entries, 1u);
  EXPECT_EQ(found[0].offended[0].thread, static_cast<std::uint64_t>(writer_id));
}

}  // namespace
