// Freed heap memory, in the race view: its accesses are forgotten, since
// the next allocation that reuses it is a new object, which a task that may
// run beside the freeing one would otherwise race with. (A task finishing
// keeps its accesses until it is ordered; without this, a block that one
// task frees and another allocates would look shared between them.) So are
// the synchronisation objects that lived in it (sync_order.h).
//
// The program's free and realloc (and operator delete, which calls free)
// resolve here; the C library's own are __libc_free and __libc_malloc /
// __libc_realloc, which need no look-up, so nothing here can recurse into
// an allocation.
#include <malloc.h>

#include <cstring>

#include "bridge.h"
#include "sync_order.h"

extern "C" void __libc_free(void*);
extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);

using namespace vexa_bridge;

namespace {

bool forgets() {
  return state.own_memory == 0 && !hooks_off(VEXA_GUARD_MEMORY) && race_view.load(std::memory_order_relaxed);
}

void forget(void* block, std::size_t size) {
  auto const begin = static_cast<char const*>(block);
  forget_sync(begin, begin + size);
  _VEXA_forgetMemory(begin, begin + size);
}

}  // namespace

BRIDGE_EXPORT void free(void* block) {
  if (block != nullptr && forgets()) forget(block, malloc_usable_size(block));
  __libc_free(block);
}

// A block that moves is freed at its old place, which the next allocation
// may take at once: it is forgotten before that can happen, so a block that
// grows is moved here (allocate, copy, forget, free) rather than by the C
// library, which would free the old place before telling anyone.
BRIDGE_EXPORT void* realloc(void* block, std::size_t size) {
  if (block == nullptr || size == 0 || !forgets()) return __libc_realloc(block, size);
  std::size_t const old_size = malloc_usable_size(block);
  if (size <= old_size) {  // shrinks where it is, but for a mapped block the C library may move
    void* const kept = __libc_realloc(block, size);
    if (kept != nullptr && kept != block) forget(block, old_size);
    return kept;
  }
  void* const moved = __libc_malloc(size);
  if (moved == nullptr) return nullptr;  // the old block stays, as realloc's contract says
  std::memcpy(moved, block, old_size);
  forget(block, old_size);
  __libc_free(block);
  return moved;
}
