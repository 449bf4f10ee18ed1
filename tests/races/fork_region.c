/* A program forks after a parallel region and the child opens regions of
 * its own: what came before the fork is ordered before the child's work.
 * In the racy program two of the child's tasks write one element. */
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

static int a[64];
static int in_child;

static void work(void) {
#pragma omp parallel
  {
#pragma omp for
    for (int i = 0; i < 64; ++i) a[i] += i;
#pragma omp single
    for (int i = 0; i < 8; ++i) {
#pragma omp task firstprivate(i)
#ifdef FIXED
      a[i] += 1;
#else
      a[in_child ? 0 : i] += 1; // race
#endif
    }
  }
}

int main(void) {
  work();
  pid_t const pid = fork();
  if (pid == 0) {
    in_child = 1;
    work();
    printf("child %d\n", a[5]);
    return 0;
  }
  waitpid(pid, NULL, 0);
  work();
  printf("parent %d\n", a[5]);
  return 0;
}
