/* Iteration i of a loop with a guided schedule reads a[i + 1], which
 * iteration i + 1 writes. Where one chunk ends and the next begins, nothing
 * orders the two, whichever threads take them; a guided schedule's chunks
 * shrink to its smallest size (here one iteration) as the loop goes on, and
 * how large each is depends on the team, so every iteration stands alone.
 * The twin writes b instead. The last value goes out through lastprivate,
 * from whichever thread ran the last iteration. */
#include <stdio.h>

enum { n = 16 };
static int a[n + 1], b[n];

int main(void) {
  for (int i = 0; i <= n; ++i) a[i] = 1;
  int last = 0;
#pragma omp parallel
  {
#pragma omp for schedule(guided) lastprivate(last)
    for (int i = 0; i < n; ++i) {
#ifdef FIXED
      b[i] = a[i + 1];
#else
      a[i] = a[i + 1];  // race
#endif
      last = i;
    }
  }
  printf("last: %d\n", last);
  return 0;
}
