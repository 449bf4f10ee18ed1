/* One task writes x and then takes and drops a lock; its sibling takes
 * and drops the same lock and then reads x. When the writer's lock comes
 * first, the lock carries the write to the reader, but nothing makes it
 * come first: the accesses themselves hold no lock, so they race. FIXED:
 * both accesses inside the lock. */
#include <omp.h>
#include <stdio.h>

static int x, seen;
static omp_lock_t lock;

int main(void) {
  omp_init_lock(&lock);
#pragma omp parallel
#pragma omp single
  {
#pragma omp task
    {
#ifndef FIXED
      x = 1;
#endif
      omp_set_lock(&lock);
#ifdef FIXED
      x = 1;
#endif
      omp_unset_lock(&lock);
    }
#pragma omp task
    {
      omp_set_lock(&lock);
#ifdef FIXED
      seen = x;
#endif
      omp_unset_lock(&lock);
#ifndef FIXED
      seen = x;
#endif
    }
  }
  omp_destroy_lock(&lock);
  printf("x: %d\n", x);
  return 0;
}
