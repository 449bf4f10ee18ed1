/* Loops whose chunks are tasks of their own, in what orders them anyway:
 * an ordered loop keeps its chunks whole; a chunk waits for the task it
 * makes; a chunk starts a region of its own; the implicit task's private
 * copies (the counter, a reduction's) are its own in every chunk. */
#include <stdio.h>

enum { n = 16 };
static int a[n], b[n], c[n], d[n];

int main(void) {
  long sum = 0;
#pragma omp parallel
  {
#pragma omp for schedule(dynamic) ordered
    for (int i = 0; i < n; ++i) {
#pragma omp ordered
      a[i] = i == 0 ? 1 : a[i - 1] + 1;
    }
#pragma omp for schedule(dynamic)
    for (int i = 0; i < n; ++i) b[i] = a[n - 1 - i];
#pragma omp for schedule(guided) reduction(+ : sum)
    for (int i = 0; i < n; ++i) {
      int x = a[i];
#pragma omp task shared(x)
      x *= 2;
#pragma omp taskwait
      c[i] = x;
      sum += x;
    }
#pragma omp for schedule(dynamic, 4)
    for (int i = 0; i < n; i += 4) {
#pragma omp parallel for schedule(dynamic) num_threads(2)
      for (int j = i; j < i + 4; ++j) d[j] = c[j] + b[n - 1];
    }
  }
  printf("sum %ld, d %d\n", sum, d[n - 1]);
  return 0;
}
