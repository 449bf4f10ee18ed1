/* The idiom of waiting for one task: an empty if(0) task that depends on
 * it. A reader that depends on the writer too may run after the wait; its
 * dependence orders it. Without FIXED the reader has none: it races. */
#include <stdio.h>

static int x, y;

int main(void) {
#pragma omp parallel num_threads(2)
#pragma omp single
  {
#pragma omp task depend(out : x)
    x = 1;  // race
#ifdef FIXED
#pragma omp task depend(in : x)
#else
#pragma omp task
#endif
    y = x;  // race
#pragma omp task if(0) depend(in : x)
    {
    }
  }
  printf("y %d\n", y);
  return 0;
}
