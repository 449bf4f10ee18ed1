/* A taskloop writes a[i] and the code after it sums the array. The
 * taskloop's own taskgroup waits for its tasks; with nogroup nothing does
 * before the sum. The tasks write what is already there, so the sum does
 * not depend on the order. */
#include <stdio.h>

enum { n = 32 };
static int a[n];

int main(void) {
  long sum = 0;
  for (int i = 0; i < n; ++i) a[i] = i;
#pragma omp parallel
#pragma omp single
  {
#ifdef FIXED
#pragma omp taskloop grainsize(4)
#else
#pragma omp taskloop grainsize(4) nogroup
#endif
    for (int i = 0; i < n; ++i) a[i] = i;
    for (int i = 0; i < n; ++i) sum += a[i];
  }
  printf("sum: %ld\n", sum);
  return 0;
}
