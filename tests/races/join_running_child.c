/* A task writes x, then makes a child that reads x, and ends while the
 * child may still run; the parent's taskwait (or the task ending as an
 * if(0) task) waits for the task, not for the child. The write came before
 * the child was made, so nothing races whenever the child runs. Without
 * FIXED the task writes x after making the child: that races. */
#include <stdio.h>

static int x, y, seen_x, seen_y;

static void writer(int* v, int* seen) {
#ifdef FIXED
  *v = 1;
#endif
#pragma omp task
  *seen += *v;  // race
#ifndef FIXED
  *v = 2;  // race
#endif
}

int main(void) {
#pragma omp parallel num_threads(2)
#pragma omp single
  {
#pragma omp task
    writer(&x, &seen_x);
#pragma omp taskwait
#pragma omp task if(0)
    writer(&y, &seen_y);
  }
  printf("x %d y %d\n", x, y);
  return 0;
}
