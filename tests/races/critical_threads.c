/* The implicit tasks of a region add to a shared sum inside a critical
 * section. In the racy program thread 0 also reads the sum outside it. */
#include <omp.h>
#include <stdio.h>

static int sum, seen;

int main(void) {
#pragma omp parallel num_threads(2)
  {
#pragma omp critical
    sum += omp_get_thread_num() + 1;
#ifndef FIXED
    if (omp_get_thread_num() == 0) seen = sum;
#endif
  }
  printf("sum: %d\n", sum);
  return 0;
}
