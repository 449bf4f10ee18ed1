/* Tasks with mutexinoutset on one item exclude each other but order
 * nothing among themselves: M2 is not ordered after M1, so T, ordered
 * after M2 by w, is not ordered after M1 and races with it. FIXED: T
 * depends on x, after the whole mutexinoutset group. */
#include <stdio.h>

static int x, w, y, z;

int main(void) {
#pragma omp parallel num_threads(2)
#pragma omp single
  {
#pragma omp task depend(mutexinoutset : x)
    z = 1;  // race
#pragma omp task depend(mutexinoutset : x) depend(out : w)
    w = 1;
#ifdef FIXED
#pragma omp task depend(in : x)
#else
#pragma omp task depend(in : w)
#endif
    y = z;  // race
  }
  printf("y %d\n", y);
  return 0;
}
