/* A producer that never waits for its tasks: all 66,000 stay unjoined
 * until the region's end, more than there are task handles. The first and
 * the last one write x; without FIXED nothing orders them. */
#include <stdio.h>

#define N 66000
static long x, cells[N];

int main(void) {
#pragma omp parallel num_threads(2)
#pragma omp single
  for (long i = 0; i < N; ++i) {
    if (i == 0 || i == N - 1) {
#ifdef FIXED
#pragma omp task depend(inout : x)
#else
#pragma omp task
#endif
      x += i;  // race
    } else {
#pragma omp task
      cells[i] = i;
    }
  }
  printf("x %ld\n", x);
  return 0;
}
