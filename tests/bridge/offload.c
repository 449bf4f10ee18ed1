/* Device constructs in a program built without offload targets: every one
 * runs on the host. A deferrable target region must still wait for the
 * task it depends on; a league of teams takes a sum; a target region asks
 * what device it is on and changes its firstprivate copy of a structure,
 * whose original must keep its value. The dependent region comes first:
 * clang's programs hang in libomp 14 (with or without vexa) when a parallel
 * region runs a deferred target task after a league has run. */
#include <omp.h>
#include <stdio.h>
#include <unistd.h>

#define N 1000

struct quad {
  int v[4];
};

int main(void) {
  int late = 0;
#pragma omp parallel num_threads(2)
#pragma omp single
  {
#pragma omp task depend(out: late) shared(late)
    {
      usleep(100000);
      late = 41;
    }
#pragma omp target map(tofrom: late) nowait depend(inout: late)
    late += 1;
#pragma omp taskwait
  }

  static double a[N];
  double sum = 0;
  for (int i = 0; i < N; ++i) a[i] = i;
#pragma omp target data map(tofrom: a[0:N])
  {
#pragma omp target teams distribute parallel for map(to: a[0:N]) reduction(+: sum)
    for (int i = 0; i < N; ++i) sum += a[i];
#pragma omp target update from(a[0:N])
  }

  int teams = 0, initial = 0;
  struct quad original = {{1, 2, 3, 4}};
#pragma omp target enter data map(to: a[0:N])
#pragma omp target map(from: teams, initial) firstprivate(original)
  {
    teams = omp_get_num_teams();
    initial = omp_is_initial_device();
    original.v[0] = 100;
  }
#pragma omp target exit data map(release: a[0:N])

  printf("late %d sum %.0f teams %d initial %d firstprivate %d\n", late, sum, teams, initial, original.v[0]);
  return 0;
}
