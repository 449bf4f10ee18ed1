/* A task writes x and its parent reads x before the taskwait that waits
 * for it. FIXED: the parent reads after the taskwait. */
#include <stdio.h>

static int x, seen;

int main(void) {
#pragma omp parallel
#pragma omp single
  {
#pragma omp task
    x = 1;
#ifndef FIXED
    seen = x;
#endif
#pragma omp taskwait
#ifdef FIXED
    seen = x;
#endif
  }
  printf("x: %d\n", x);
  return 0;
}
