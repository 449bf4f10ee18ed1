// Invariants that a checking build (cmake -DVEXA_CHECKING=ON) asserts and
// a normal build does not even evaluate. A failed check prints one line
// naming the condition and aborts: past a broken invariant the detectors'
// answers mean nothing, and a core file is worth more than going on.
#ifndef VEXA_LOCK_CHECK_H
#define VEXA_LOCK_CHECK_H

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace vexa {
// "vexa: check failed: WHAT (FILE:LINE)" on stderr, then abort(). Written
// with write(2): it may run under any lock, inside a hook, with no memory
// left. Inline, so that the bridge, which shares this header, has it too.
[[noreturn, gnu::cold, gnu::noinline]] inline void check_failed(char const* what, char const* file,
                                                                  int line) noexcept {
  char number[12];
  int n = 0;
  char digits[12];
  unsigned v = line < 0 ? 0u : static_cast<unsigned>(line);
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  for (int i = 0; i < n; ++i) number[i] = digits[n - 1 - i];
  char const* const parts[] = {"vexa: check failed: ", what, " (", file, ":"};
  for (char const* part : parts) (void)!write(2, part, std::strlen(part));
  (void)!write(2, number, static_cast<std::size_t>(n));
  (void)!write(2, ")\n", 2);
  std::abort();
}
}  // namespace vexa

#ifdef VEXA_CHECKING
#define VEXA_CHECK(cond)                                                         \
  do {                                                                           \
    if (__builtin_expect(!(cond), 0)) ::vexa::check_failed(#cond, __FILE__, __LINE__); \
  } while (0)
#else
#define VEXA_CHECK(cond) \
  do {                   \
  } while (0)
#endif

#endif  // VEXA_LOCK_CHECK_H
