// The debugger's breakpoint, alone in its unit so that a program (or the
// test suite's in-process debugger) can define its own and receive every
// stop. noipa and the empty asm keep the compiler from inlining, cloning or
// folding it; the library calls it through the exported symbol.
#include "base.h"

#ifdef __clang__
#define VEXA_NOT_FOLDED __attribute__((noinline, optnone))
#else
#define VEXA_NOT_FOLDED __attribute__((noipa, noinline))
#endif

VEXA_EXPORT VEXA_NOT_FOLDED void __vexa_switch_to_debugger(void) {
  __asm__ __volatile__("" ::: "memory");
}
