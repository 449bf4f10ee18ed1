/* An ordinary OpenMP program with a race between two tasks: one thread of
 * the region makes two tasks that each add half of an array into `total`,
 * and nothing orders the two updates (no depend clause, no atomic, no
 * taskwait between them). At one thread the tasks happen to run one after
 * the other and the sum comes out right, yet the program is wrong: with
 * more threads they may run at once and lose additions. vexa reports the
 * race at any number of threads, OMP_NUM_THREADS=1 included.
 *
 * Build it with the wrapper (-DFIXED gives the race-free program, where
 * the second task waits for the first through depend clauses):
 *   build/bin/vexa-cc -g -fopenmp examples/openmp/tasks.c -o tasks */
#include <omp.h>
#include <stdio.h>

#define N 1000

static double values[N];
static double total;

static void add_range(int begin, int end) {
  for (int i = begin; i < end; ++i) total += values[i];
}

int main(void) {
  for (int i = 0; i < N; ++i) values[i] = i;
#pragma omp parallel
#pragma omp single
  {
#ifdef FIXED
#pragma omp task depend(inout : total)
    add_range(0, N / 2);
#pragma omp task depend(inout : total)
    add_range(N / 2, N);
#else
#pragma omp task
    add_range(0, N / 2);
#pragma omp task
    add_range(N / 2, N);
#endif
  }
  printf("total %.0f with %d thread(s)\n", total, omp_get_max_threads());
  return 0;
}
