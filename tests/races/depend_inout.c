/* A chain of depend(inout) tasks updates x one after the other. In the
 * racy program the last task names a dependence on another variable, so
 * nothing orders it after the chain. */
#include <stdio.h>

static int x, other, seen;

int main(void) {
#pragma omp parallel
#pragma omp single
  {
    for (int i = 1; i <= 3; ++i) {
#pragma omp task depend(inout : x) firstprivate(i)
      x += i;
    }
#ifdef FIXED
#pragma omp task depend(inout : x)
#else
#pragma omp task depend(inout : other)
#endif
    seen = x;
  }
  printf("x: %d\n", x);
  return 0;
}
