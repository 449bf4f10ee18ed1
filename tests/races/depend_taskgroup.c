/* B writes x and is never waited for itself; C, in a taskgroup, depends on
 * B; the taskgroup waits for C, so what follows it is ordered after B too.
 * Without FIXED C has no dependence: B's write races with C's read and
 * with the read after the taskgroup. */
#include <stdio.h>

static int x, y, z;

int main(void) {
#pragma omp parallel num_threads(2)
#pragma omp single
  {
#pragma omp task depend(out : x)
    x = 1;  // race
#pragma omp taskgroup
    {
#ifdef FIXED
#pragma omp task depend(in : x)
#else
#pragma omp task
#endif
      y = x;  // race
    }
    z = x;  // race
  }
  printf("y %d z %d\n", y, z);
  return 0;
}
