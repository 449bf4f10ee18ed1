/* Recursive Fibonacci with one task per call.
 *
 *   fib N
 *
 * Each call creates a task for each of its two sub-calls and waits for both.
 * A child writes its result into its parent's frame, which the parent reads
 * only after the taskwait: the child has ended by then, so no two live tasks
 * touch the same word. Prints the result and the number of tasks created. */
#include <stdio.h>
#include <stdlib.h>

static long fib(int n) {
  long x, y;
  if (n < 2) return n;
#pragma omp task shared(x)
  x = fib(n - 1);
#pragma omp task shared(y)
  y = fib(n - 2);
#pragma omp taskwait
  return x + y;
}

int main(int argc, char** argv) {
  int n = argc > 1 ? atoi(argv[1]) : 20;
  long result = 0, calls = 1, a = 0, b = 1;
  if (n < 0 || n > 40) {
    fprintf(stderr, "fib: N must be between 0 and 40\n");
    return 2;
  }
#pragma omp parallel
#pragma omp single
  result = fib(n);
  /* calls(n) = 2 fib(n + 1) - 1; every call but the first is a task. */
  for (int i = 0; i < n + 1; i++) {
    long t = a + b;
    a = b;
    b = t;
  }
  calls = 2 * a - 1;
  printf("checksum %ld work %ld\n", result, calls - 1);
  return 0;
}
