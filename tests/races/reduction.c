/* A parallel loop adds into a reduction variable; each implicit task adds
 * into a private copy that the runtime combines at the end. The racy
 * program adds into one shared variable (one it does not print: the
 * printed sum is computed after the loop). Eight threads: libomp combines
 * the copies of more than four in a tree, inside its barrier. */
#include <stdio.h>

static long sum, seen;

int main(void) {
#ifdef FIXED
#pragma omp parallel for reduction(+ : sum) num_threads(8)
  for (int i = 1; i <= 100; ++i) sum += i;
#else
#pragma omp parallel for num_threads(8)
  for (int i = 1; i <= 100; ++i) seen += i;
  for (int i = 1; i <= 100; ++i) sum += i;
#endif
  printf("sum: %ld\n", sum);
  return 0;
}
