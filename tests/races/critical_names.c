/* Thread 0 updates a sum in one critical section, thread 1 reads it in
 * another. Critical sections of different names do not exclude each
 * other, so the racy program's accesses race; FIXED gives both the same
 * name. */
#include <omp.h>
#include <stdio.h>

static int sum, seen;

int main(void) {
#pragma omp parallel num_threads(2)
  {
    if (omp_get_thread_num() == 0) {
#pragma omp critical(deposit)
      sum += 2;
    } else {
#ifdef FIXED
#pragma omp critical(deposit)
#else
#pragma omp critical(audit)
#endif
      seen = sum;
    }
  }
  printf("sum: %d\n", sum);
  return 0;
}
