// Memory accesses: every plain, unaligned, volatile and compound access the
// compilers instrument, ranges (struct copies) and vptr updates, passed to
// the library's memory hooks with the program's code address.
//
// The compilers emit one symbol per access kind and size, so the bridge
// must define each of them (a missing one fails the program's link); the
// size is the only thing they add, and the macros below spell that out once.
#include "bridge.h"

namespace vexa_bridge {
namespace {

[[gnu::noinline]] void read_slow(void const* address, unsigned size, void const* code) {
  if (state.ignore != 0) return;
  _VEXA_readMemoryAt(address, size, code);
}

[[gnu::noinline]] void write_slow(void const* address, unsigned size, void const* code) {
  if (state.ignore != 0 || task_argument(address)) return;
  _VEXA_writeMemoryAt(address, size, code);
}

inline void report_read(void const* address, unsigned size, void const* code) {
  if (BRIDGE_LIKELY(hooks_off(VEXA_GUARD_MEMORY))) return;
  read_slow(address, size, code);
}

inline void report_write(void const* address, unsigned size, void const* code) {
  if (BRIDGE_LIKELY(hooks_off(VEXA_GUARD_MEMORY))) return;
  write_slow(address, size, code);
}

// A read-modify-write (x += 1 with clang's compound instrumentation) is a
// read and a write from the same place.
inline void report_read_write(void const* address, unsigned size, void const* code) {
  if (BRIDGE_LIKELY(hooks_off(VEXA_GUARD_MEMORY))) return;
  read_slow(address, size, code);
  write_slow(address, size, code);
}

}  // namespace
}  // namespace vexa_bridge

using namespace vexa_bridge;

// Every family comes in the five sizes the compilers use.
#define BRIDGE_SIZES(family, action) \
  BRIDGE_ACCESS(family, 1, action)   \
  BRIDGE_ACCESS(family, 2, action)   \
  BRIDGE_ACCESS(family, 4, action)   \
  BRIDGE_ACCESS(family, 8, action)   \
  BRIDGE_ACCESS(family, 16, action)
#define BRIDGE_ACCESS(family, size, action) \
  BRIDGE_EXPORT void family##size(void* address) { action(address, size, BRIDGE_RETURN_ADDRESS()); }

BRIDGE_SIZES(__tsan_read, report_read)
BRIDGE_SIZES(__tsan_write, report_write)
BRIDGE_SIZES(__tsan_unaligned_read, report_read)
BRIDGE_SIZES(__tsan_unaligned_write, report_write)
// Volatile accesses are ordinary accesses to the sharing rule (GCC with
// --param tsan-distinguish-volatile=1, clang with -tsan-distinguish-volatile).
BRIDGE_SIZES(__tsan_volatile_read, report_read)
BRIDGE_SIZES(__tsan_volatile_write, report_write)
BRIDGE_SIZES(__tsan_unaligned_volatile_read, report_read)
BRIDGE_SIZES(__tsan_unaligned_volatile_write, report_write)
BRIDGE_SIZES(__tsan_read_write, report_read_write)
BRIDGE_SIZES(__tsan_unaligned_read_write, report_read_write)

#undef BRIDGE_ACCESS
#undef BRIDGE_SIZES

// GCC turns copies of structures larger than 16 bytes into ranges. An empty
// range touches nothing.
BRIDGE_EXPORT void __tsan_read_range(void* address, unsigned long size) {
  if (size != 0) report_read(address, hook_size(size), BRIDGE_RETURN_ADDRESS());
}

BRIDGE_EXPORT void __tsan_write_range(void* address, unsigned long size) {
  if (size != 0) report_write(address, hook_size(size), BRIDGE_RETURN_ADDRESS());
}

// A constructor or destructor stores the vptr of the object it builds. When
// the value does not change (a base class destructor of an object whose
// vptr already points there) the store is a read in effect; counting it as
// a write would report every object destroyed in another task than the one
// that last called through it.
BRIDGE_EXPORT void __tsan_vptr_update(void** vptr, void* value) {
  if (BRIDGE_LIKELY(hooks_off(VEXA_GUARD_MEMORY))) return;
  if (*vptr != value) write_slow(vptr, sizeof *vptr, BRIDGE_RETURN_ADDRESS());
  else read_slow(vptr, sizeof *vptr, BRIDGE_RETURN_ADDRESS());
}

// A virtual call reads the vptr (clang only; GCC reports it as a plain read).
BRIDGE_EXPORT void __tsan_vptr_read(void** vptr) { report_read(vptr, sizeof *vptr, BRIDGE_RETURN_ADDRESS()); }
