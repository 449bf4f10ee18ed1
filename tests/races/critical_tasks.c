/* Tasks add to a shared sum inside a critical section. In the racy
 * program one more task reads the sum outside it. */
#include <stdio.h>

static int sum, seen;

int main(void) {
#pragma omp parallel
#pragma omp single
  {
    for (int i = 1; i <= 4; ++i) {
#pragma omp task firstprivate(i)
      {
#pragma omp critical
        sum += i;
      }
    }
#ifndef FIXED
#pragma omp task
    seen = sum;
#endif
  }
  printf("sum: %d\n", sum);
  return 0;
}
