/* A chain of N tasks ordered by dependences alone: each one depends
 * (inout) on the one before and adds to one counter, with no taskwait
 * until the end. The order of any two tasks of the chain is exact, so
 * the cost per task must not grow with N.
 *
 *   chain N
 *
 * Prints the counter and the number of tasks. */
#include <stdio.h>
#include <stdlib.h>

static long counter;

static void add(long i) { counter += i % 7; }

int main(int argc, char** argv) {
  long n = argc > 1 ? atol(argv[1]) : 1000;
  if (n < 1 || n > 100000000) {
    fprintf(stderr, "chain: N must be between 1 and 100000000\n");
    return 2;
  }
#pragma omp parallel
#pragma omp single
  for (long i = 0; i < n; ++i) {
#pragma omp task depend(inout : counter)
    add(i);
  }
  printf("checksum %ld work %ld\n", counter, n);
  return 0;
}
