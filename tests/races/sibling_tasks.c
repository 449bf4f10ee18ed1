/* Two sibling tasks touch x: one writes it, the other reads it. Nothing
 * orders them, so they race whatever the schedule, also when one thread
 * runs them one after the other. FIXED: a taskwait between them. */
#include <stdio.h>

static int x, seen;

int main(void) {
#pragma omp parallel
#pragma omp single
  {
#pragma omp task
    x = 1;
#ifdef FIXED
#pragma omp taskwait
#endif
#pragma omp task
    seen = x;
  }
  printf("x: %d\n", x);
  return 0;
}
