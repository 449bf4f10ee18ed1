// Small things every part of vexa uses: the address type, the thread
// identity, branch hints and the unlocked accessors of the exported words.
#ifndef VEXA_BASE_H
#define VEXA_BASE_H

#include <cstdint>

#define VEXA_LIKELY(x) __builtin_expect(!!(x), 1)
#define VEXA_UNLIKELY(x) __builtin_expect(!!(x), 0)
#define VEXA_EXPORT extern "C" __attribute__((visibility("default")))
#define VEXA_RETURN_ADDRESS() __builtin_return_address(0)

namespace vexa {

// Every address, object size and range bound inside the library: the
// unsigned 32-bit word the detectors compare on the i386 reference target,
// 64 bits on x86_64. Only this line knows the difference; the debugger's
// fields are 64 bits wide on both.
using address_t = std::uintptr_t;
static_assert(sizeof(address_t) == sizeof(void*) && sizeof(address_t) <= sizeof(std::uint64_t),
              "an address fits the debugger's 64-bit fields");

inline address_t to_address(void const* p) { return reinterpret_cast<address_t>(p); }

struct thread_model_t {
  // The identity of the thread that runs a task: pthread_self() of the
  // entering thread, and the task_id its caller gave (_VEXA_enterTaskAs),
  // 0 from every other task hook.
  struct threadid_t {
    std::uint64_t task_id;
    unsigned long thread;

    friend bool operator==(threadid_t const& a, threadid_t const& b) {
      return a.task_id == b.task_id && a.thread == b.thread;
    }
    friend bool operator!=(threadid_t const& a, threadid_t const& b) { return !(a == b); }
    friend bool operator<(threadid_t const& a, threadid_t const& b) {
      return a.task_id < b.task_id || (a.task_id == b.task_id && a.thread < b.thread);
    }
  };
};

// The exported words (__vexa_config, __VEXA_isGuardedCall) are read on
// every hook call without a lock and written by the debugger, by
// configure() and by the task hooks. Relaxed atomics keep those reads plain
// loads on x86 while making the races defined; every reader tolerates a
// stale value (the next hook call sees the new one).
inline std::uint32_t load_word(std::uint32_t const& w) { return __atomic_load_n(&w, __ATOMIC_RELAXED); }
inline void store_word(std::uint32_t& w, std::uint32_t v) { __atomic_store_n(&w, v, __ATOMIC_RELAXED); }
inline void set_bits(std::uint32_t& w, std::uint32_t bits) { __atomic_fetch_or(&w, bits, __ATOMIC_RELAXED); }
inline void clear_bits(std::uint32_t& w, std::uint32_t bits) { __atomic_fetch_and(&w, ~bits, __ATOMIC_RELAXED); }

}  // namespace vexa

#endif  // VEXA_BASE_H
