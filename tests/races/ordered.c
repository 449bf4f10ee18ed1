/* An ordered loop appends to a shared list inside its ordered construct,
 * which runs the appends one after the other, in the iterations' order. */
#include <stdio.h>

enum { n = 8 };
static int list[n], length;

int main(void) {
#pragma omp parallel for ordered schedule(static, 1) num_threads(2)
  for (int i = 0; i < n; ++i) {
    int const square = i * i;
#pragma omp ordered
    list[length++] = square;
  }
  printf("length %d, last %d\n", length, list[n - 1]);
  return 0;
}
