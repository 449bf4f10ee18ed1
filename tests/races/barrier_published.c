/* Tasks made in a single write one element each and then take and drop a
 * lock, which keeps their accesses their own past the barrier (a task that
 * let go of a lock may be ordered before tasks outside its parent's graph).
 * Every thread then reads all elements. Nothing orders the reads after the
 * tasks. FIXED: a barrier between them, which waits for every task. */
#include <omp.h>
#include <stdio.h>

static int x[4];
static omp_lock_t lock;

int main(void) {
  omp_init_lock(&lock);
  int bad = 0;
#pragma omp parallel num_threads(2) reduction(+ : bad)
  {
#pragma omp single nowait
    for (int i = 0; i < 4; ++i) {
#pragma omp task firstprivate(i)
      {
        x[i] = i;  // race
        omp_set_lock(&lock);
        omp_unset_lock(&lock);
      }
    }
#ifdef FIXED
#pragma omp barrier
#endif
    int sum = 0;
    for (int i = 0; i < 4; ++i) sum += x[i];  // race
    bad += sum > 6;
  }
  omp_destroy_lock(&lock);
  printf("bad: %d\n", bad);
  return 0;
}
