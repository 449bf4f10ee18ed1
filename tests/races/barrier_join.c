/* Tasks made before a barrier are ordered before everything after it,
 * even when a taskwait after the barrier, or a task that depends on one of
 * them, takes them over later. Without FIXED there is neither barrier nor
 * taskwait between them and the writes of the second single: those race. */
#include <stdio.h>

static int x, y;

int main(void) {
#pragma omp parallel num_threads(2)
  {
#ifdef FIXED
#pragma omp single
#else
#pragma omp single nowait
#endif
    {
#pragma omp task
      x = 1;  // race
#pragma omp task depend(inout : y)
      y = 1;  // race
    }
#ifdef FIXED
#pragma omp taskwait
#endif
#pragma omp single
    {
#pragma omp task depend(inout : y)
      {
      }
      x = 2;  // race
      y = 2;  // race
    }
  }
  printf("x %d y %d\n", x, y);
  return 0;
}
