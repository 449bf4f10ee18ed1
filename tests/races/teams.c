/* A target region's teams share out a loop over a mapped array, each
 * iteration writing its own element (FIXED). In the racy program every
 * iteration also writes one mapped counter. Two teams of two threads
 * whatever OMP_NUM_THREADS says: the race needs more than one implicit
 * task. */
#include <stdio.h>

enum { n = 64 };
static int a[n], hits;

int main(void) {
#pragma omp target teams distribute parallel for num_teams(2) num_threads(2) map(tofrom : a, hits)
  for (int i = 0; i < n; ++i) {
    a[i] = 2 * i;
#ifndef FIXED
    hits = 1;
#endif
  }
  long sum = 0;
  for (int i = 0; i < n; ++i) sum += a[i];
  printf("sum: %ld\n", sum);
  return 0;
}
