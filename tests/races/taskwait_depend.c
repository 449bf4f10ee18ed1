/* A writer and a reader that depends on it; a taskwait with depend waits
 * for the writer only, and the reader may still run after it. The reader
 * is ordered after the writer by its dependence. Without FIXED the reader
 * has no dependence: it races with the writer. */
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
#pragma omp taskwait depend(in : x)
  }
  printf("y %d\n", y);
  return 0;
}
