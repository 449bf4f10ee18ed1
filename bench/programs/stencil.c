/* Three-point stencil over a large array, one parallel loop per sweep.
 *
 *   stencil N [SWEEPS]
 *
 * Each sweep is a parallel for that reads one array and writes the other;
 * the barrier that closes it ends the sweep's tasks before the next sweep
 * reads what they wrote. SWEEPS defaults to 16. Prints a checksum of the
 * final array and the number of cell updates. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  long n = argc > 1 ? atol(argv[1]) : 65536;
  int sweeps = argc > 2 ? atoi(argv[2]) : 16;
  if (n < 3 || sweeps < 1) {
    fprintf(stderr, "stencil: N must be at least 3 and SWEEPS positive\n");
    return 2;
  }
  uint32_t* a = malloc(n * sizeof *a);
  uint32_t* b = malloc(n * sizeof *b);
  if (!a || !b) return 1;
  for (long i = 0; i < n; i++) a[i] = b[i] = (uint32_t)(i * 2654435761u) >> 4;
  for (int s = 0; s < sweeps; s++) {
#pragma omp parallel for schedule(static)
    for (long i = 1; i < n - 1; i++) b[i] = (a[i - 1] + 2 * a[i] + a[i + 1]) >> 2;
    uint32_t* t = a;
    a = b;
    b = t;
  }
  uint64_t sum = 0;
  for (long i = 0; i < n; i++) sum = sum * 31 + a[i];
  printf("checksum %016llx work %ld\n", (unsigned long long)sum, (long)sweeps * (n - 2));
  free(a);
  free(b);
  return 0;
}
