/* Tasks made inside a target region update a mapped array, ordered among
 * themselves by their dependences. FIXED: the array is read after the
 * region, whose end completes the tasks made in it. In the racy program
 * the region reads it too, before the tasks are done. */
#include <stdio.h>

enum { n = 8 };
static int x[n];

int main(void) {
  int sum = 0;
#pragma omp target map(tofrom : x, sum)
  {
    for (int i = 0; i < n; ++i) {
#pragma omp task depend(inout : x[i])
      x[i] += 1;  // race
#pragma omp task depend(inout : x[i])
      x[i] *= 2;  // race
    }
#ifndef FIXED
    sum = x[0];  // race
#endif
  }
  for (int i = 0; i < n; ++i) sum += x[i];
  printf("sum: %d\n", sum);
  return 0;
}
