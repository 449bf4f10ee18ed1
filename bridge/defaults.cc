// The settings that programs built with the wrappers start with, where they
// differ from the library's own defaults (which stay those of programs that
// call the hooks themselves):
//
//   VEXA_ENABLE=1         data sharing only: a reentrant call is reported
//                         only when asked for (VEXA_ENABLE=3), since an
//                         ordinary program enters its pure functions from
//                         every task, which is harmless
//   VEXA_DISTINCT=1       each distinct detection once, repeats counted
//   VEXA_PRINT_LIMIT=100  after 100 printed reports, counted only
//
// What the environment sets wins. libvexa.so reads its settings in its
// initialiser, which runs before the bridge's (the bridge depends on it), so
// nothing can be put into the environment in time. Instead the bridge's
// getenv, which comes before the C library's in the program's search order,
// answers for these names while they are unset, until the bridge's own
// initialiser has run; from then on it answers as the C library's does, and
// the program sees the environment it was given.
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "bridge.h"

namespace vexa_bridge {
namespace {

char const* const defaults[][2] = {
    {"VEXA_ENABLE", "1"},
    {"VEXA_DISTINCT", "1"},
    {"VEXA_PRINT_LIMIT", "100"},
};

// Set once the library has read its settings. Relaxed: the initialisers run
// on one thread, before any the program starts.
std::atomic<bool> library_configured{false};

__attribute__((constructor)) void end_defaults() { library_configured.store(true, std::memory_order_relaxed); }

}  // namespace
}  // namespace vexa_bridge

using namespace vexa_bridge;

// The C library's getenv, plus the defaults while the library loads. The
// C library's own is not called: it is a look-up in environ, done the same
// way here, and finding it through dlsym could itself read the environment.
BRIDGE_EXPORT char* getenv(char const* name) {
  std::size_t const length = std::strlen(name);
  if (environ != nullptr && std::strchr(name, '=') == nullptr) {
    for (char** entry = environ; *entry != nullptr; ++entry)
      if (std::strncmp(*entry, name, length) == 0 && (*entry)[length] == '=') return *entry + length + 1;
  }
  if (!library_configured.load(std::memory_order_relaxed)) {
    for (auto const& d : defaults)
      if (std::strcmp(name, d[0]) == 0) return const_cast<char*>(d[1]);
  }
  return nullptr;
}
