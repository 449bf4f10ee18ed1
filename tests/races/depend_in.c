/* Dependences: a depend(out) task writes x and a depend(in) task reads it
 * after it (FIXED). In the racy program both tasks write x and both say
 * depend(in), which orders nothing between them. */
#include <stdio.h>

static int x, seen;

int main(void) {
#pragma omp parallel
#pragma omp single
  {
#ifdef FIXED
#pragma omp task depend(out : x)
    x = 1;
#pragma omp task depend(in : x)
    seen = x;
#else
#pragma omp task depend(in : x)
    x = 1;
#pragma omp task depend(in : x)
    x = 1;
#endif
  }
  printf("x: %d\n", x);
  return 0;
}
