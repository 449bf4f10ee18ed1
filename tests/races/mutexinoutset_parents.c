/* mutexinoutset makes sibling tasks exclude each other, not the tasks of
 * two different parents: FIXED makes both from one task, which is race
 * free; without FIXED each comes from a task of its own, and they race. */
#include <stdio.h>

static int x, z;

static void add(void) {
#pragma omp task depend(mutexinoutset : x)
  z += 1;  // race
}

int main(void) {
#pragma omp parallel num_threads(2)
#pragma omp single
  {
#ifdef FIXED
    add();
    add();
#else
#pragma omp task
    add();
#pragma omp task
    add();
#endif
  }
  printf("z %d\n", z);
  return 0;
}
