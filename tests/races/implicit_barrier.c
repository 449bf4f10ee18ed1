/* The implicit tasks of a region: thread 0 writes x, the others read it
 * with nothing between. FIXED: a barrier between the write and the reads.
 * The team has two threads whatever OMP_NUM_THREADS says: the race needs
 * two implicit tasks. */
#include <omp.h>
#include <stdio.h>

static int x, seen[2];

int main(void) {
#pragma omp parallel num_threads(2)
  {
    int const me = omp_get_thread_num();
    if (me == 0) x = 1;
#ifdef FIXED
#pragma omp barrier
#endif
    if (me != 0) seen[me] = x;
  }
  printf("x: %d\n", x);
  return 0;
}
