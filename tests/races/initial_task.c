/* A task created outside any parallel region, by the initial task, writes
 * x; the code after it reads x, before the taskwait in the racy program
 * and after it when FIXED. */
#include <stdio.h>

static int x, seen;

int main(void) {
#pragma omp task
  x = 1;
#ifdef FIXED
#pragma omp taskwait
#endif
  seen = x;
#ifndef FIXED
#pragma omp taskwait
#endif
  printf("x: %d\n", x);
  return 0;
}
