/* Atomic read-modify-writes of the compiler's builtins in every thread.
 * In the racy program thread 0 resets x with a plain write first; the
 * program prints only what holds whatever the order. */
#include <omp.h>
#include <stdio.h>

static int x;

int main(void) {
#pragma omp parallel num_threads(2)
  {
#ifndef FIXED
    if (omp_get_thread_num() == 0) x = 0;
#endif
    __atomic_fetch_add(&x, 2, __ATOMIC_RELAXED);
  }
  printf("x: %s\n", x >= 2 && x % 2 == 0 ? "even" : "odd");
  return 0;
}
