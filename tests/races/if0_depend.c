/* The idiom of waiting for one task: an empty if(0) task that depends on
 * it, here two tasks deep, while the other thread may run tasks inside its
 * barrier. A reader that depends on the writer too may run after the wait;
 * its dependence orders it. Without FIXED the reader has none: it races. */
#include <stdio.h>

static int x, y;

static void wait_for_writer(void) {
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

int main(void) {
  for (int round = 0; round < 20; ++round) {
#pragma omp parallel num_threads(2)
#pragma omp single
    {
#pragma omp task
      {
#pragma omp task
        wait_for_writer();
      }
    }
  }
  printf("y %d\n", y);
  return 0;
}
