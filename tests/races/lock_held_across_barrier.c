/* Thread 0 writes x inside a lock, thread 1 takes and drops the same lock
 * and then writes x outside it. Who takes the lock first is the schedule's
 * choice, so the writes race. FIXED: thread 0 takes the lock before a
 * barrier that thread 1 passes before asking for it, so thread 1 cannot
 * have it before thread 0 lets go, in any schedule. */
#include <omp.h>
#include <stdio.h>

static int x;
static omp_lock_t lock;

int main(void) {
  omp_init_lock(&lock);
#pragma omp parallel num_threads(2)
  {
    int const me = omp_get_thread_num();
#ifdef FIXED
    if (me == 0) omp_set_lock(&lock);
#endif
#pragma omp barrier
    if (me == 0) {
#ifndef FIXED
      omp_set_lock(&lock);
#endif
      x = 1;  // race
      omp_unset_lock(&lock);
    } else {
      omp_set_lock(&lock);
      omp_unset_lock(&lock);
      x = 2;  // race
    }
  }
  omp_destroy_lock(&lock);
  printf("x: %d\n", x);
  return 0;
}
