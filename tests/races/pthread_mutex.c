/* Tasks add to a shared sum holding a POSIX mutex, and one more reads it.
 * In the racy program the reader takes no mutex. */
#include <pthread.h>
#include <stdio.h>

static int sum, seen;
static pthread_mutex_t sum_mutex = PTHREAD_MUTEX_INITIALIZER;

static void visit(int i) {
#ifndef FIXED
  if (i == 0) {
    seen = sum;
    return;
  }
#endif
  pthread_mutex_lock(&sum_mutex);
  if (i == 0)
    seen = sum;
  else
    sum += i;
  pthread_mutex_unlock(&sum_mutex);
}

int main(void) {
#pragma omp parallel
#pragma omp single
  for (int i = 0; i <= 3; ++i) {
#pragma omp task firstprivate(i)
    visit(i);
  }
  printf("sum: %d\n", sum);
  return 0;
}
