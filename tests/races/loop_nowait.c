/* A worksharing loop writes a[i], the next one reads a[i + 1]: with static
 * chunks, thread 0's last read is of thread 1's first write. The first
 * loop's barrier orders them; with nowait they race. The loop writes
 * what is already there, so the output does not depend on the order. */
#include <stdio.h>

enum { n = 16 };
static int a[n], b[n];

int main(void) {
  for (int i = 0; i < n; ++i) a[i] = i;
#pragma omp parallel num_threads(2)
  {
#ifdef FIXED
#pragma omp for schedule(static)
#else
#pragma omp for schedule(static) nowait
#endif
    for (int i = 0; i < n; ++i) a[i] = i;
#pragma omp for schedule(static)
    for (int i = 0; i < n - 1; ++i) b[i] = a[i + 1];
  }
  long sum = 0;
  for (int i = 0; i < n; ++i) sum += b[i];
  printf("sum: %ld\n", sum);
  return 0;
}
