// Raises the event reasons given as arguments (decimal), one stop each,
// the way the library's own code raises them: under the runtime lock. It
// links the library's objects, because nothing outside the library can
// raise an arbitrary reason through libvexa.so. The addresses that the raw
// dumps print go to stdout as name=value lines.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "vexa/runtime.h"

int main(int argc, char** argv) {
  std::printf("config=0x%llx\n", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&__vexa_config)));
  std::printf("reason=0x%llx\n",
              static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&__vexa_event_reason)));
  for (int i = 1; i < argc; ++i) {
    auto const reason = static_cast<vexa_event_reason_t>(std::strtoll(argv[i], nullptr, 10));
    vexa::lock_scope held(vexa::vexa.lock);
    vexa::vexa.notify_debugger(reason);
  }
  return 0;
}
