/* Iteration i of a loop with chunks of one reads a[i + 1], which iteration
 * i + 1 writes: whichever thread takes each chunk, nothing orders the two,
 * even when one thread takes both (at one thread the runtime hands out the
 * whole loop at once). The twin writes b instead. What the implicit task
 * keeps for itself (a private value, the reduction's copy, the counter)
 * races with nothing. Every element holds 1, so the output does not depend
 * on the order. (Asking which thread runs would order the pieces of one
 * thread: see loop_thread_slots.c.) */
#include <omp.h>
#include <stdio.h>

enum { n = 16 };
static int a[n + 1], b[n];

int main(void) {
  for (int i = 0; i <= n; ++i) a[i] = 1;
  long sum = 0;
#pragma omp parallel
  {
    int const zero = omp_get_num_threads() * 0;
#pragma omp for schedule(dynamic, 1) reduction(+ : sum)
    for (int i = 0; i < n; ++i) {
      int const v = a[i + 1] + zero;  // race
#ifdef FIXED
      b[i] = v;
#else
      a[i] = v;  // race
#endif
      sum += v;
    }
  }
  printf("sum: %ld\n", sum);
  return 0;
}
