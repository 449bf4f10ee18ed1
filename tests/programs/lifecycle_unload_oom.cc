// Its own debugger: installs a tsm filter at the load stop, then answers the
// unload stop with another filter batch while every allocation fails. The
// library must finish its last stop and let the process exit normally
// rather than terminate it from the runtime object's destructor.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "vexa.h"

namespace {

bool fail_new = false;  // plain data: set and read only during stops
int phase = 0;

void write_record(std::uint64_t base) {
  auto* r = reinterpret_cast<vexa_filter_t*>(static_cast<std::uintptr_t>(__vexa_filter_space));
  *r = vexa_filter_t{};
  r->feature = VEXA_FEATURE_TSM;
  r->kind = VEXA_FILTER_CODE;
  r->action = VEXA_FILTER_ADD;
  r->first = base;
  r->second = 0x10;
  __vexa_config[VEXA_CONFIG_COUNT] = 1;
  __vexa_config[VEXA_CONFIG_PENDING] |= VEXA_PENDING_APPLY_FILTERS;
}

}  // namespace

void* operator new(std::size_t n) {
  if (fail_new) throw std::bad_alloc();
  if (void* p = std::malloc(n != 0 ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

extern "C" __attribute__((noinline)) void __vexa_switch_to_debugger(void) {
  vexa_event_reason_t const reason = __vexa_event_reason;
  if (reason == VEXA_EVENT_LOADED) {
    __vexa_config[VEXA_CONFIG_COUNT] = 1;
    __vexa_config[VEXA_CONFIG_PENDING] |= VEXA_PENDING_ALLOCATE_FILTERS;
    phase = 1;
  } else if (reason == VEXA_EVENT_CONFIGURED && phase == 1) {
    write_record(0x1000);
    phase = 2;
  } else if (reason == VEXA_EVENT_UNLOADED) {
    write_record(0x2000);
    fail_new = true;
  }
}

int main() {
  std::printf("filter installed: %s\n", phase == 2 ? "yes" : "no");
  return 0;
}
