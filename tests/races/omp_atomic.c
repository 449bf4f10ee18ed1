/* Every thread adds to x with an atomic update. In the racy program one
 * thread reads x plainly while the others update it atomically. */
#include <omp.h>
#include <stdio.h>

static int x, seen;

int main(void) {
#pragma omp parallel num_threads(2)
  {
#ifndef FIXED
    if (omp_get_thread_num() == 0) seen = x;
#endif
#pragma omp atomic
    x += 1;
  }
  printf("x: %d\n", x);
  return 0;
}
