/* A task reads x. Its parent wrote x before creating it, which orders the
 * write first (FIXED); in the racy program the parent writes x after
 * creating the task, while the task may be running. */
#include <stdio.h>

static int x = 1, seen;

int main(void) {
#pragma omp parallel
#pragma omp single
  {
#ifdef FIXED
    x = 1;
#endif
#pragma omp task
    seen = x;
#ifndef FIXED
    x = 1;
#endif
  }
  printf("x: %d\n", x);
  return 0;
}
