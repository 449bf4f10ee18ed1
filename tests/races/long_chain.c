/* A chain of 2,000 inout tasks, each adding to x: every one is ordered
 * after the one before, at any length. Without FIXED one task in the
 * middle has no dependence and races with its neighbours. */
#include <stdio.h>

static long x;

static void add(long i) { x += i; }  // race

int main(void) {
#pragma omp parallel num_threads(2)
#pragma omp single
  for (long i = 0; i < 2000; ++i) {
#ifndef FIXED
    if (i == 1000) {
#pragma omp task
      add(i);
      continue;
    }
#endif
#pragma omp task depend(inout : x)
    add(i);
  }
  printf("x %ld\n", x);
  return 0;
}
