// The atomic operations of instrumented code. The compilers replace every
// atomic operation by a call, so the bridge performs it, with the memory
// order it was given.
//
// In the sharing view atomic accesses are not passed to the detector: an
// atomic operation is how a program says that tasks share a location on
// purpose (a counter, a flag, a lock word), and reporting each one would
// bury the accidental sharing the detector is for. In the race view they
// are passed as atomic accesses, which race with plain accesses of the same
// memory but never with each other. A read-modify-write, and a
// compare-exchange whether or not it succeeds, counts as a write.
//
// The builtins want the order as a constant, so each operation dispatches
// on the order at run time to an instance compiled with a constant one. On
// x86 most orders compile to the same instructions, but a sequentially
// consistent store (xchg) and fence (mfence) do differ from the others.
#include <cstdint>
#include <type_traits>

#include "bridge.h"
#include "sync_order.h"

namespace vexa_bridge {
namespace {

template <int order>
using order_t = std::integral_constant<int, order>;

// Calls f with the first of `orders` equal to mo; the last one, the
// strongest, takes any other value (GCC may add HLE bits above the order).
template <int first, int... rest, class F>
inline decltype(auto) dispatch(int mo, F&& f) {
  if constexpr (sizeof...(rest) == 0) {
    (void)mo;
    return f(order_t<first>{});
  } else {
    if (mo == first) return f(order_t<first>{});
    return dispatch<rest...>(mo, static_cast<F&&>(f));
  }
}

template <class F>
inline decltype(auto) load_order(int mo, F&& f) {
  return dispatch<__ATOMIC_RELAXED, __ATOMIC_CONSUME, __ATOMIC_ACQUIRE, __ATOMIC_SEQ_CST>(mo, f);
}
template <class F>
inline decltype(auto) store_order(int mo, F&& f) {
  return dispatch<__ATOMIC_RELAXED, __ATOMIC_RELEASE, __ATOMIC_SEQ_CST>(mo, f);
}
template <class F>
inline decltype(auto) any_order(int mo, F&& f) {
  return dispatch<__ATOMIC_RELAXED, __ATOMIC_CONSUME, __ATOMIC_ACQUIRE, __ATOMIC_RELEASE, __ATOMIC_ACQ_REL,
                  __ATOMIC_SEQ_CST>(mo, f);
}

// A compare-exchange that fails only loads: its order may not be stronger
// than the load part of the success order, nor a release.
constexpr int failure_order(int success, int failure) {
  int const load_part = success == __ATOMIC_RELEASE   ? __ATOMIC_RELAXED
                        : success == __ATOMIC_ACQ_REL ? __ATOMIC_ACQUIRE
                                                      : success;
  return failure < load_part ? failure : load_part;
}

[[gnu::noinline]] void note_slow(void const volatile* a, unsigned size, bool write, void const* code) {
  if (state.ignore != 0 || !race_view.load(std::memory_order_relaxed)) return;
  void const* const address = const_cast<void const*>(a);
  if (write) _VEXA_writeAtomicAt(address, size, code);
  else _VEXA_readAtomicAt(address, size, code);
}

inline void note(void const volatile* a, unsigned size, bool write, void const* code) {
  if (BRIDGE_LIKELY(hooks_off(VEXA_GUARD_MEMORY))) return;
  note_slow(a, size, write, code);
}

// Whether an operation of order mo releases or acquires its object
// (sync_order.h), and whether order is followed at all: in the race view,
// with the memory hooks on. A consume is taken as the acquire that every
// compiler makes of it.
constexpr bool releases(int mo) {
  mo &= 0xffff;
  return mo == __ATOMIC_RELEASE || mo == __ATOMIC_ACQ_REL || mo == __ATOMIC_SEQ_CST;
}
constexpr bool acquires(int mo) {
  mo &= 0xffff;
  return mo == __ATOMIC_CONSUME || mo == __ATOMIC_ACQUIRE || mo == __ATOMIC_ACQ_REL || mo == __ATOMIC_SEQ_CST;
}
inline bool synchronises(bool either) {
  return either && !hooks_off(VEXA_GUARD_MEMORY) && state.ignore == 0 && race_view.load(std::memory_order_relaxed);
}

template <class T>
T load(T const volatile* a, int mo) {
  auto op = [&] { return load_order(mo, [&](auto o) { return __atomic_load_n(a, decltype(o)::value); }); };
  if (BRIDGE_LIKELY(!synchronises(acquires(mo) || fenced_loads()))) return op();
  atomic_sync_scope sync(a, false, acquires(mo), false, true);
  return op();
}

template <class T>
void store(T volatile* a, T v, int mo) {
  auto op = [&] { store_order(mo, [&](auto o) { __atomic_store_n(a, v, decltype(o)::value); }); };
  if (BRIDGE_LIKELY(!synchronises(releases(mo) || fenced_stores()))) return op();
  atomic_sync_scope sync(a, releases(mo), false, true, false);
  op();
}

enum class rmw { exchange, add, sub, and_, or_, xor_, nand };

template <rmw op, class T>
T modify(T volatile* a, T v, int mo) {
  auto operation = [&] {
    return any_order(mo, [&](auto o) -> T {
      constexpr int order = decltype(o)::value;
      if constexpr (op == rmw::exchange) return __atomic_exchange_n(a, v, order);
      else if constexpr (op == rmw::add) return __atomic_fetch_add(a, v, order);
      else if constexpr (op == rmw::sub) return __atomic_fetch_sub(a, v, order);
      else if constexpr (op == rmw::and_) return __atomic_fetch_and(a, v, order);
      else if constexpr (op == rmw::or_) return __atomic_fetch_or(a, v, order);
      else if constexpr (op == rmw::xor_) return __atomic_fetch_xor(a, v, order);
      else return __atomic_fetch_nand(a, v, order);
    });
  };
  if (BRIDGE_LIKELY(!synchronises(releases(mo) || acquires(mo) || fenced_stores() || fenced_loads())))
    return operation();
  atomic_sync_scope sync(a, releases(mo), acquires(mo), true, true);
  return operation();
}

// Updates *expected with the value found when the exchange fails, which
// then only loads: it releases nothing.
template <bool weak, class T>
bool compare_exchange(T volatile* a, T* expected, T desired, int mo, int failure_mo) {
  auto op = [&] {
    return any_order(mo, [&](auto s) {
      return load_order(failure_mo, [&](auto f) {
        constexpr int failure = failure_order(decltype(s)::value, decltype(f)::value);
        return __atomic_compare_exchange_n(a, expected, desired, weak, decltype(s)::value, failure);
      });
    });
  };
  if (BRIDGE_LIKELY(!synchronises(releases(mo) || acquires(mo) || acquires(failure_mo) || fenced_stores() ||
                                  fenced_loads())))
    return op();
  atomic_sync_scope sync(a, releases(mo), acquires(mo) || acquires(failure_mo), true, true);
  bool const exchanged = op();
  sync.released(exchanged && releases(mo));
  return exchanged;
}

// clang's form: returns the value found, whether or not it was replaced.
template <class T>
T compare_exchange_value(T volatile* a, T expected, T desired, int mo, int failure_mo) {
  compare_exchange<false>(a, &expected, desired, mo, failure_mo);
  return expected;
}

}  // namespace
}  // namespace vexa_bridge

using namespace vexa_bridge;

// The operations for one size; T is the unsigned type of that width.
#define BRIDGE_ATOMICS(bits, T)                                                                            \
  BRIDGE_EXPORT T __tsan_atomic##bits##_load(T const volatile* a, int mo) {                                \
    note(a, sizeof(T), false, BRIDGE_RETURN_ADDRESS());                                                    \
    return load(a, mo);                                                                                    \
  }                                                                                                        \
  BRIDGE_EXPORT void __tsan_atomic##bits##_store(T volatile* a, T v, int mo) {                             \
    note(a, sizeof(T), true, BRIDGE_RETURN_ADDRESS());                                                     \
    store(a, v, mo);                                                                                       \
  }                                                                                                        \
  BRIDGE_EXPORT T __tsan_atomic##bits##_exchange(T volatile* a, T v, int mo) {                             \
    note(a, sizeof(T), true, BRIDGE_RETURN_ADDRESS());                                                     \
    return modify<rmw::exchange>(a, v, mo);                                                                \
  }                                                                                                        \
  BRIDGE_EXPORT T __tsan_atomic##bits##_fetch_add(T volatile* a, T v, int mo) {                            \
    note(a, sizeof(T), true, BRIDGE_RETURN_ADDRESS());                                                     \
    return modify<rmw::add>(a, v, mo);                                                                     \
  }                                                                                                        \
  BRIDGE_EXPORT T __tsan_atomic##bits##_fetch_sub(T volatile* a, T v, int mo) {                            \
    note(a, sizeof(T), true, BRIDGE_RETURN_ADDRESS());                                                     \
    return modify<rmw::sub>(a, v, mo);                                                                     \
  }                                                                                                        \
  BRIDGE_EXPORT T __tsan_atomic##bits##_fetch_and(T volatile* a, T v, int mo) {                            \
    note(a, sizeof(T), true, BRIDGE_RETURN_ADDRESS());                                                     \
    return modify<rmw::and_>(a, v, mo);                                                                    \
  }                                                                                                        \
  BRIDGE_EXPORT T __tsan_atomic##bits##_fetch_or(T volatile* a, T v, int mo) {                             \
    note(a, sizeof(T), true, BRIDGE_RETURN_ADDRESS());                                                     \
    return modify<rmw::or_>(a, v, mo);                                                                     \
  }                                                                                                        \
  BRIDGE_EXPORT T __tsan_atomic##bits##_fetch_xor(T volatile* a, T v, int mo) {                            \
    note(a, sizeof(T), true, BRIDGE_RETURN_ADDRESS());                                                     \
    return modify<rmw::xor_>(a, v, mo);                                                                    \
  }                                                                                                        \
  BRIDGE_EXPORT T __tsan_atomic##bits##_fetch_nand(T volatile* a, T v, int mo) {                           \
    note(a, sizeof(T), true, BRIDGE_RETURN_ADDRESS());                                                     \
    return modify<rmw::nand>(a, v, mo);                                                                    \
  }                                                                                                        \
  BRIDGE_EXPORT int __tsan_atomic##bits##_compare_exchange_strong(T volatile* a, T* expected, T desired,   \
                                                                  int mo, int failure_mo) {                \
    note(a, sizeof(T), true, BRIDGE_RETURN_ADDRESS());                                                     \
    return compare_exchange<false>(a, expected, desired, mo, failure_mo);                                  \
  }                                                                                                        \
  BRIDGE_EXPORT int __tsan_atomic##bits##_compare_exchange_weak(T volatile* a, T* expected, T desired,     \
                                                                int mo, int failure_mo) {                  \
    note(a, sizeof(T), true, BRIDGE_RETURN_ADDRESS());                                                     \
    return compare_exchange<true>(a, expected, desired, mo, failure_mo);                                   \
  }                                                                                                        \
  BRIDGE_EXPORT T __tsan_atomic##bits##_compare_exchange_val(T volatile* a, T expected, T desired, int mo, \
                                                             int failure_mo) {                             \
    note(a, sizeof(T), true, BRIDGE_RETURN_ADDRESS());                                                     \
    return compare_exchange_value(a, expected, desired, mo, failure_mo);                                   \
  }

BRIDGE_ATOMICS(8, std::uint8_t)
BRIDGE_ATOMICS(16, std::uint16_t)
BRIDGE_ATOMICS(32, std::uint32_t)
BRIDGE_ATOMICS(64, std::uint64_t)
// Only where the compilers have a 128-bit integer (x86_64, not i386); these
// operations are calls into libatomic.
#ifdef __SIZEOF_INT128__
BRIDGE_ATOMICS(128, unsigned __int128)
#endif

#undef BRIDGE_ATOMICS

BRIDGE_EXPORT void __tsan_atomic_thread_fence(int mo) {
  if (synchronises(releases(mo) || acquires(mo))) fence(releases(mo), acquires(mo));
  any_order(mo, [](auto o) { __atomic_thread_fence(decltype(o)::value); });
}

BRIDGE_EXPORT void __tsan_atomic_signal_fence(int mo) {
  any_order(mo, [](auto o) { __atomic_signal_fence(decltype(o)::value); });
}
