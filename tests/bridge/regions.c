/* Two parallel regions that run the same outlined body at once: each
 * implicit task of the outer region calls region(), which starts an inner
 * region. The implicit tasks of one region entering its body is how a
 * region runs; the two inner regions entering theirs at once, and the
 * outer tasks both inside region(), are reentrant calls. */
#include <omp.h>
#include <stdio.h>
#include <unistd.h>

static void region(void) {
#pragma omp parallel num_threads(2)
  usleep(20000);
}

int main(void) {
  omp_set_max_active_levels(2);
#pragma omp parallel num_threads(2)
  region();
  printf("done\n");
  return 0;
}
