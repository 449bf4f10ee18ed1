// memcpy, memmove and memset called by the program, as accesses of their
// ranges. GCC does not instrument these calls and clang turns its own
// copies into calls of them, so the wrappers link the program with
// --wrap=memcpy (and the others): only the program's own calls come here,
// never those of the C++ library, the OpenMP runtime or vexa itself, and
// the code address is the program's call. The fortified variants
// (_FORTIFY_SOURCE) are wrapped the same way and keep their checks.
#include <cstring>

#include "bridge.h"

extern "C" void* __memcpy_chk(void* destination, void const* source, std::size_t size, std::size_t room);
extern "C" void* __memmove_chk(void* destination, void const* source, std::size_t size, std::size_t room);
extern "C" void* __memset_chk(void* destination, int value, std::size_t size, std::size_t room);

namespace vexa_bridge {
namespace {

// Reported before the copy, so that a debugger stopped at the report sees
// the memory as it was.
[[gnu::noinline]] void copy_slow(void* destination, void const* source, std::size_t size, void const* code) {
  if (state.ignore != 0 || size == 0) return;
  _VEXA_readMemoryAt(source, hook_size(size), code);
  if (!task_argument(destination)) _VEXA_writeMemoryAt(destination, hook_size(size), code);
}

[[gnu::noinline]] void fill_slow(void* destination, std::size_t size, void const* code) {
  if (state.ignore != 0 || size == 0 || task_argument(destination)) return;
  _VEXA_writeMemoryAt(destination, hook_size(size), code);
}

inline void copy(void* destination, void const* source, std::size_t size, void const* code) {
  if (BRIDGE_LIKELY(hooks_off(VEXA_GUARD_MEMORY))) return;
  copy_slow(destination, source, size, code);
}

inline void fill(void* destination, std::size_t size, void const* code) {
  if (BRIDGE_LIKELY(hooks_off(VEXA_GUARD_MEMORY))) return;
  fill_slow(destination, size, code);
}

}  // namespace
}  // namespace vexa_bridge

using namespace vexa_bridge;

BRIDGE_EXPORT void* __wrap_memcpy(void* destination, void const* source, std::size_t size) {
  copy(destination, source, size, BRIDGE_RETURN_ADDRESS());
  return std::memcpy(destination, source, size);
}

BRIDGE_EXPORT void* __wrap_memmove(void* destination, void const* source, std::size_t size) {
  copy(destination, source, size, BRIDGE_RETURN_ADDRESS());
  return std::memmove(destination, source, size);
}

BRIDGE_EXPORT void* __wrap_memset(void* destination, int value, std::size_t size) {
  fill(destination, size, BRIDGE_RETURN_ADDRESS());
  return std::memset(destination, value, size);
}

BRIDGE_EXPORT void* __wrap___memcpy_chk(void* destination, void const* source, std::size_t size,
                                        std::size_t room) {
  if (size <= room) copy(destination, source, size, BRIDGE_RETURN_ADDRESS());
  return __memcpy_chk(destination, source, size, room);
}

BRIDGE_EXPORT void* __wrap___memmove_chk(void* destination, void const* source, std::size_t size,
                                         std::size_t room) {
  if (size <= room) copy(destination, source, size, BRIDGE_RETURN_ADDRESS());
  return __memmove_chk(destination, source, size, room);
}

BRIDGE_EXPORT void* __wrap___memset_chk(void* destination, int value, std::size_t size, std::size_t room) {
  if (size <= room) fill(destination, size, BRIDGE_RETURN_ADDRESS());
  return __memset_chk(destination, value, size, room);
}
