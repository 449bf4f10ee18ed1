/* Tasks add to a shared sum holding an OpenMP lock, and one more reads
 * it. In the racy program the reader holds a different lock, which
 * excludes nothing. */
#include <omp.h>
#include <stdio.h>

static int sum, seen;
static omp_lock_t sum_lock, other_lock;

static void visit(int i) {
#ifdef FIXED
  omp_lock_t* lock = &sum_lock;
#else
  omp_lock_t* lock = i == 0 ? &other_lock : &sum_lock;
#endif
  omp_set_lock(lock);
  if (i == 0)
    seen = sum;
  else
    sum += i;
  omp_unset_lock(lock);
}

int main(void) {
  omp_init_lock(&sum_lock);
  omp_init_lock(&other_lock);
#pragma omp parallel
#pragma omp single
  for (int i = 0; i <= 3; ++i) {
#pragma omp task firstprivate(i)
    visit(i);
  }
  omp_destroy_lock(&sum_lock);
  omp_destroy_lock(&other_lock);
  printf("sum: %d\n", sum);
  return 0;
}
