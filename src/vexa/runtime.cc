#include "runtime.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <iostream>  // std::cerr is used while the runtime object is built

#include "distinct.h"

namespace vexa {

thread_local thread_info_t current __attribute__((tls_model("initial-exec")));

namespace {

// How a variable's text read as a number.
enum class reading_t { absent, ok, trailing, empty, junk, negative, out_of_range };

// Converts the whole text from its start, as strtoul does, but refuses what
// strtoul would quietly turn into a number nobody meant: no digits at all
// (strtoul gives 0), a minus sign (strtoul wraps -1 to the largest value)
// and anything past `max`. Text after the number is reported, not refused:
// "24 and more" has always meant 24. Trailing blanks are no text.
reading_t read_number(char const* text, int base, unsigned long max, unsigned long& out) {
  if (text == nullptr) return reading_t::absent;
  char const* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  if (*p == '\0') return reading_t::empty;
  if (*p == '-') return reading_t::negative;
  errno = 0;  // whatever an earlier call left must not veto this one
  char* end = nullptr;
  unsigned long const value = std::strtoul(p, &end, base);
  if (end == p) return reading_t::junk;
  if (errno == ERANGE || value > max) return reading_t::out_of_range;
  out = value;
  while (std::isspace(static_cast<unsigned char>(*end))) ++end;
  return *end == '\0' ? reading_t::ok : reading_t::trailing;
}

// The one line a variable that was not taken as it stands earns, under the
// error bit. Its value is cut short: it is the program's environment, and
// one line should stay one line.
void complain(char const* name, char const* text, reading_t r, int base) {
  if (r == reading_t::ok || r == reading_t::absent || !(logging_level & log_errors)) return;
  std::string shown(text, std::min<std::size_t>(std::strlen(text), 40));
  if (shown.size() < std::strlen(text)) shown += "...";
  char const* kind = base == 16 ? "hexadecimal" : "decimal";
  std::cerr << "vexa: ";
  switch (r) {
    case reading_t::trailing:
      std::cerr << name << "=\"" << shown << "\": the text after the number is ignored" << std::endl;
      return;
    case reading_t::empty:
      std::cerr << "ignoring " << name << "=\"" << shown << "\": empty; the default stays" << std::endl;
      return;
    case reading_t::junk:
      std::cerr << "ignoring " << name << "=\"" << shown << "\": not a " << kind << " number; the default stays"
                << std::endl;
      return;
    case reading_t::negative:
      std::cerr << "ignoring " << name << "=\"" << shown << "\": negative; the default stays" << std::endl;
      return;
    default:
      std::cerr << "ignoring " << name << "=\"" << shown << "\": out of range; the default stays" << std::endl;
      return;
  }
}

bool read_checked(char const* name, int base, unsigned long max, unsigned long& out) {
  char const* text = std::getenv(name);
  unsigned long value = 0;
  reading_t const r = read_number(text, base, max, value);
  complain(name, text, r, base);
  if (r != reading_t::ok && r != reading_t::trailing) return false;
  out = value;
  return true;
}

// Read before everything else, the detectors' constructors included, so
// that every other variable's complaint is printed under its error bit.
// Its own complaints can only show when the text still gave a number.
std::uint32_t initial_logging_level() {
  unsigned long value = 0;
  char const* text = std::getenv("VEXA_LOGGING");
  reading_t const r = read_number(text, 16, 0xffffffffUL, value);
  if (r != reading_t::ok && r != reading_t::trailing) return 0;
  logging_level = static_cast<std::uint32_t>(value);
  complain("VEXA_LOGGING", text, r, 16);
  return logging_level;
}

}  // namespace

std::uint32_t logging_level = initial_logging_level();

bool read_environment(char const* name, int base, std::uint32_t& out) {
  unsigned long value;
  if (!read_checked(name, base, 0xffffffffUL, value)) return false;
  out = static_cast<std::uint32_t>(value);
  return true;
}

bool read_environment_address(char const* name, address_t& out) {
  unsigned long value;
  if (!read_checked(name, 16, std::numeric_limits<address_t>::max(), value)) return false;
  out = static_cast<address_t>(value);
  return true;
}

vexa_t::vexa_t()
    : lock(lock_rank::runtime), threads(), finished(), finished_lock(lock_rank::finished), live_tasks(0), tsm(), re(), features{&tsm, &re} {
  for (int i = 1; i >= 0; --i)
    if (features[i] != nullptr) features[i]->initialize_lock_order(lock);

  std::uint32_t word;
  if (read_environment("VEXA_ENABLE", 10, word)) store_word(__vexa_config[VEXA_CONFIG_ENABLE], word);
  if (read_environment("VEXA_GUARD", 10, word)) store_word(__VEXA_isGuardedCall, word);
  read_distinct_environment();

  install_fork_handlers();
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
  // From here on every hook returns at its guard. A hook already past it
  // finishes against members that are never destroyed (see runtime.h).
  store_word(__VEXA_isGuardedCall, 0);
  store_word(__vexa_config[VEXA_CONFIG_ENABLE], 0);
  // An unloaded library must not be called at a thread's end.
  arena_pool_t::close();
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
