/* Lock sets are exact at any number of locks. Two tasks each take twelve
 * locks, let the first eight go and write z under the last four: a common
 * lock, no race. Then one task writes w holding the first 32 locks the
 * program made, the other holding a 40th; without FIXED that one is all it
 * holds, so the two writes race; FIXED it also takes the first lock. */
#include <omp.h>
#include <stdio.h>

static omp_lock_t locks[40];
static int z, w;

static void under_the_last_four(void) {
  for (int i = 0; i < 12; ++i) omp_set_lock(&locks[i]);
  for (int i = 0; i < 8; ++i) omp_unset_lock(&locks[i]);
  z += 1;
  for (int i = 8; i < 12; ++i) omp_unset_lock(&locks[i]);
}

int main(void) {
  for (int i = 0; i < 40; ++i) omp_init_lock(&locks[i]);
#pragma omp parallel num_threads(2)
#pragma omp single
  {
#pragma omp task
    {
      under_the_last_four();
      for (int i = 0; i < 32; ++i) omp_set_lock(&locks[i]);
      w += 1;  // race
      for (int i = 0; i < 32; ++i) omp_unset_lock(&locks[i]);
    }
#pragma omp task
    {
      under_the_last_four();
#ifdef FIXED
      omp_set_lock(&locks[0]);
#endif
      omp_set_lock(&locks[39]);
      w += 2;  // race
      omp_unset_lock(&locks[39]);
#ifdef FIXED
      omp_unset_lock(&locks[0]);
#endif
    }
  }
  for (int i = 0; i < 40; ++i) omp_destroy_lock(&locks[i]);
  printf("z %d w %d\n", z, w);
  return 0;
}
