/* A task created outside any parallel region, and no other OpenMP call:
 * GCC's code calls only GOMP_task, which the bridge defines and forwards to
 * the OpenMP runtime. The task is undeferred, so the value is set when it
 * is printed. */
#include <stdio.h>

int main(void) {
  int value = 0;
#pragma omp task if (0) shared(value)
  value = 42;
  printf("value %d\n", value);
  return 0;
}
