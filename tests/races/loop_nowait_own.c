/* After a loop with nowait, each thread reads a[0] without waiting for the
 * chunk that writes it: another thread may run that chunk, or this one
 * may, as at one thread; either way nothing orders them. The twin's loop
 * ends in a barrier. */
#include <omp.h>
#include <stdio.h>

enum { n = 8 };
static int a[n], seen[64];

int main(void) {
#pragma omp parallel
  {
#ifdef FIXED
#pragma omp for schedule(dynamic)
#else
#pragma omp for schedule(dynamic) nowait
#endif
    for (int i = 0; i < n; ++i) a[i] = 1;  // race
    seen[omp_get_thread_num() % 64] = a[0];  // race
  }
  printf("seen %d\n", seen[0]);
  return 0;
}
