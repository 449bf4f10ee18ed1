/* Two sections write x. Nothing orders them, whichever threads the runtime
 * gives them to: one thread running both (as at one thread) changes
 * nothing. The twin's sections write x and y. */
#include <stdio.h>

static int x, y;

int main(void) {
#pragma omp parallel
  {
#pragma omp sections
    {
#pragma omp section
      x = 1;  // race
#pragma omp section
#ifdef FIXED
      y = 1;
#else
      x = 1;  // race
#endif
    }
  }
  printf("x %d y %d\n", x, y);
  return 0;
}
