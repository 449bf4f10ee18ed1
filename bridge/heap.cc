// Freed heap memory, in the race view: its accesses are forgotten, since
// the next allocation that reuses it is a new object, which a task that may
// run beside the freeing one would otherwise race with. (A task finishing
// keeps its accesses until it is ordered; without this, a block that one
// task frees and another allocates would look shared between them.)
//
// The program's free (and operator delete, which calls it) resolves here;
// the C library's own is __libc_free, which needs no look-up, so nothing
// here can recurse into an allocation.
#include <malloc.h>

#include "bridge.h"

extern "C" void __libc_free(void*);

using namespace vexa_bridge;

BRIDGE_EXPORT void free(void* block) {
  if (block != nullptr && !hooks_off(VEXA_GUARD_MEMORY) && race_view.load(std::memory_order_relaxed)) {
    auto const begin = static_cast<char const*>(block);
    _VEXA_forgetMemory(begin, begin + malloc_usable_size(block));
  }
  __libc_free(block);
}
