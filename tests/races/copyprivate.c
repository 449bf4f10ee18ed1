/* A value computed by one thread in a single construct reaches every
 * thread's private copy through copyprivate; each thread then writes its
 * own element. */
#include <omp.h>
#include <stdio.h>

static int out[2];

int main(void) {
#pragma omp parallel num_threads(2)
  {
    int value;
#pragma omp single copyprivate(value)
    value = 21;
    out[omp_get_thread_num()] = 2 * value;
  }
  printf("out: %d %d\n", out[0], out[1]);
  return 0;
}
