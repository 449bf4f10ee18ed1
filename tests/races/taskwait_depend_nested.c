/* A wait inside a wait: while the single thread waits with depend for a
 * task, that task waits with depend for a child of its own. The outer
 * wait is inout, so it waits for the reader of y too, and the write after
 * it is ordered. Without FIXED the inner wait names another variable: the
 * task's read races with its child's write. */
#include <stdio.h>

static int x, y, z, other;

int main(void) {
#pragma omp parallel num_threads(2)
#pragma omp single
  {
#pragma omp task depend(out : y)
    {
#pragma omp task depend(out : x)
      x = 1;  // race
#ifdef FIXED
#pragma omp taskwait depend(in : x)
#else
#pragma omp taskwait depend(in : other)
#endif
      y = x + 1;  // race
    }
#pragma omp task depend(in : y)
    z = y;
#pragma omp taskwait depend(inout : y)
    y = 0;
  }
  printf("z %d\n", z);
  return 0;
}
