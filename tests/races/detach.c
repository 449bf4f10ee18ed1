/* A detached task completes when another task fulfils its event; a task
 * that depends on it runs after that, so what the fulfiller did before
 * fulfilling is ordered before it. Without FIXED the fulfiller writes
 * after fulfilling: that races with the dependent task's read. */
#include <omp.h>
#include <stdio.h>

static int x, y;

int main(void) {
  // A team of one runs tasks at once, which libomp cannot do with a
  // detached one (it aborts): two threads at least, else the team asked for.
  int const threads = omp_get_max_threads() > 1 ? omp_get_max_threads() : 2;
#pragma omp parallel num_threads(threads)
#pragma omp single
  {
    omp_event_handle_t event;
#pragma omp task depend(out : y) detach(event)
    {
    }
#pragma omp task
    {
#ifdef FIXED
      x = 1;
#endif
      omp_fulfill_event(event);
#ifndef FIXED
      x = 2;  // race
#endif
    }
#pragma omp task depend(in : y)
    y = x;  // race
  }
  printf("y %d\n", y);
  return 0;
}
