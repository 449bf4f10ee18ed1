/* Untied tasks: each writes its slot, makes children that read it, yields
 * and waits for them. clang's builds may resume such a task on another
 * thread after each of those points. A child is ordered after what its
 * parent did before making it, and the taskwait orders the children before
 * what follows it; without FIXED the parent reads what a child writes
 * after the taskyield but before the taskwait. */
#include <stdio.h>

enum { n = 16, kids = 4 };
static int slot[n], seen[n][kids], told[n];

int main(void) {
#pragma omp parallel
#pragma omp single
  for (int i = 0; i < n; ++i) {
#pragma omp task untied firstprivate(i)
    {
      slot[i] = i + 1;
      for (int k = 0; k < kids; ++k) {
#pragma omp task firstprivate(i, k)
        {
          seen[i][k] = slot[i];
          if (k == 0) told[i] = 1;  // race
        }
      }
#pragma omp taskyield
#ifdef FIXED
#pragma omp taskwait
#endif
      int const t = told[i];  // race
#pragma omp taskwait
      slot[i] = -slot[i] * t;
    }
  }
  long sum = 0;
  for (int i = 0; i < n; ++i)
    for (int k = 0; k < kids; ++k) sum += seen[i][k] - slot[i];
  printf("sum: %ld\n", sum);
  return 0;
}
