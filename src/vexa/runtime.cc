#include "runtime.h"

#include "distinct.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <new>
#include <iostream>  // std::cerr is used while the runtime object is built

namespace vexa {

std::uint32_t logging_level = 0;
thread_local thread_info_t current __attribute__((tls_model("initial-exec")));

namespace {

// strtoul and strtol report a range error against the width of long, which
// on i386 is the 32 bits of every target. A native build has 64-bit longs,
// where a value past 32 bits would be truncated into its target instead of
// ignored; these give it the range error that i386 gives.
bool fits_32_bits(char const* text, unsigned long value) {
#if ULONG_MAX > 0xffffffffUL
  if (value <= 0xffffffffUL) return true;
  // strtoul negates after converting, so i386 accepts "-N" for any N that
  // fits in 32 bits and wraps it; accept the same texts here.
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  return *text == '-' && 0UL - value <= 0xffffffffUL;
#else
  (void)text;
  (void)value;
  return true;
#endif
}

bool fits_32_bits(long value) {
#if LONG_MAX > 0x7fffffffL
  return value >= -0x7fffffffL - 1 && value <= 0x7fffffffL;
#else
  (void)value;
  return true;
#endif
}

}  // namespace

bool read_environment(char const* name, int base, std::uint32_t& out) {
  char const* text = std::getenv(name);
  if (text == nullptr) return false;
  errno = 0;  // whatever an earlier call left must not veto this one
  unsigned long value = std::strtoul(text, nullptr, base);
  if (errno != 0 || !fits_32_bits(text, value)) return false;
  out = static_cast<std::uint32_t>(value);
  return true;
}

bool read_environment_signed(char const* name, int base, long& out) {
  char const* text = std::getenv(name);
  if (text == nullptr) return false;
  errno = 0;
  long value = std::strtol(text, nullptr, base);
  if (errno != 0 || !fits_32_bits(value)) return false;
  out = value;
  return true;
}

vexa_t::vexa_t() : live_tasks(0), features{&tsm, &re} {
  for (int i = 1; i >= 0; --i)
    if (features[i] != nullptr) features[i]->initialize_lock_order(lock);

  read_environment("VEXA_LOGGING", 16, logging_level);
  std::uint32_t word;
  if (read_environment("VEXA_ENABLE", 10, word)) store_word(__vexa_config[VEXA_CONFIG_ENABLE], word);
  if (read_environment("VEXA_GUARD", 10, word)) store_word(__VEXA_isGuardedCall, word);
  read_distinct_environment();

  lock_scope held(lock);
  notify_debugger(VEXA_EVENT_LOADED);
}

vexa_t::~vexa_t() {
  // Without the lock: a thread that still runs at exit may hold it forever.
  // There is no program frame to pass an exception to here (a destructor
  // would terminate the process): a command that runs out of memory during
  // the last stop ends that stop instead.
  try {
    notify_debugger(VEXA_EVENT_UNLOADED);
  } catch (std::bad_alloc const&) {
  }
  // A thread that still runs at exit must not reach the members destroyed
  // next: from here on every hook returns at its guard. (A hook already past
  // its guard is not stopped; the program's own exit races with it.)
  store_word(__VEXA_isGuardedCall, 0);
  store_word(__vexa_config[VEXA_CONFIG_ENABLE], 0);
}

void vexa_t::lock_features() {
  for (feature_t* f : features)
    if (f != nullptr) f->feature_lock.lock();
}

void vexa_t::unlock_features() {
  for (feature_t* f : features)
    if (f != nullptr) f->feature_lock.unlock();
}

// Built during the library's static initialisation; raises event 1 there.
vexa_t vexa;

}  // namespace vexa
