/* One thread writes x in a single construct, then every thread reads x.
 * The barrier at the end of single orders them; with nowait the reads
 * race with the write. */
#include <omp.h>
#include <stdio.h>

static int x = 1, seen[2];

int main(void) {
#pragma omp parallel num_threads(2)
  {
#ifdef FIXED
#pragma omp single
#else
#pragma omp single nowait
#endif
    x = 1;
    seen[omp_get_thread_num()] = x;
  }
  printf("seen: %d %d\n", seen[0], seen[1]);
  return 0;
}
