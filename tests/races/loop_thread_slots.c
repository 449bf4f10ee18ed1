/* Pieces of a loop that ask which thread runs them (or whose implicit task
 * asked) count into their thread's own slot, or act on thread 0 only: in
 * any schedule the pieces on one thread run one after the other, and those
 * on two threads touch two slots, so none of that races, at one thread as
 * at four. In the racy twin the second loop counts into slot 0 without
 * asking: its pieces race, whatever the first region's implicit tasks
 * asked. */
#include <omp.h>
#include <stdio.h>

enum { n = 64, threads = 64 };
static int slots[threads], owned[threads];
static int last_on_zero;

int main(void) {
#pragma omp parallel
  {
    int const me = omp_get_thread_num();
#pragma omp for
    for (int i = 0; i < n; ++i) owned[me] += 1;
  }
#pragma omp parallel for
  for (int i = 0; i < n; ++i) {
#ifdef FIXED
    slots[omp_get_thread_num()] += 1;
    if (omp_get_thread_num() == 0) last_on_zero = i;
#else
    slots[0] += 1;  // race
#endif
  }
  int total = 0;
  for (int t = 0; t < threads; ++t) total += slots[t] + owned[t];
  printf("total: %d, last on thread 0: %d\n", total, last_on_zero >= 0);
  return 0;
}
