/* A loop that names no schedule gets the implementation's, which says
 * nothing of which thread runs which iteration: iterations 0 and 1 both
 * write a[0], and nothing orders them, though a static schedule would give
 * both to one thread at any team size here. The twin has iteration 1 write
 * a[1]. The directive spans two lines and ends in a comment, as directives
 * in programs do. */
#include <stdio.h>

enum { n = 16 };
static int a[n];

int main(void) {
#pragma omp parallel for \
    shared(a)  // no schedule
  for (int i = 0; i < n; ++i) {
    a[i] = i;  // race
#ifdef FIXED
    if (i == 1) a[1] = 0;
#else
    if (i == 1) a[0] = 1;  // race
#endif
  }
  printf("a[0]: %d\n", a[0]);
  return 0;
}
