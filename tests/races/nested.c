/* Nested regions: each outer implicit task passes its own array to an
 * inner region whose threads each write their element (FIXED). In the
 * racy program the inner threads of both outer tasks write one shared
 * variable. */
#include <omp.h>
#include <stdio.h>

static int flag, total;

int main(void) {
  omp_set_max_active_levels(2);
#pragma omp parallel num_threads(2) reduction(+ : total)
  {
    int parts[2] = {0, 0};
#pragma omp parallel num_threads(2) shared(parts)
    {
      parts[omp_get_thread_num()] = omp_get_thread_num() + 1;
#ifndef FIXED
      flag = 1;
#endif
    }
    total += parts[0] + parts[1];
  }
  printf("total: %d\n", total);
  return 0;
}
