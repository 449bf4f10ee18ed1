/* The child task starts a grandchild that writes x and does not wait for
 * it; the grandparent's taskwait waits for its child only, so its read of
 * x races with the grandchild. FIXED: a taskgroup, which waits for all
 * descendants. */
#include <stdio.h>

static int x, seen;

static void child(void) {
#pragma omp task
  x = 1;
}

int main(void) {
#pragma omp parallel
#pragma omp single
  {
#ifdef FIXED
#pragma omp taskgroup
#endif
    {
#pragma omp task
      child();
#ifndef FIXED
#pragma omp taskwait
#endif
    }
    seen = x;
  }
  printf("x: %d\n", x);
  return 0;
}
