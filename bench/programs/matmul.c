/* Blocked matrix product, a task per block of the result.
 *
 *   matmul N
 *
 * C = A * B for N x N matrices of doubles in blocks of 32 x 32. Each task
 * computes one block of C, reading a row of blocks of A and a column of
 * blocks of B: dense code that reads every element of its inputs many
 * times from the same place, as the kernels of real numerical programs do.
 * Prints a checksum of C and the number of multiply-adds. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

enum { block = 32 };

static void product(double const* a, double const* b, double* c, long n, long bi, long bj) {
  for (long i = bi; i < bi + block && i < n; i++)
    for (long j = bj; j < bj + block && j < n; j++) {
      double s = 0;
      for (long k = 0; k < n; k++) s += a[i * n + k] * b[k * n + j];
      c[i * n + j] = s;
    }
}

int main(int argc, char** argv) {
  long n = argc > 1 ? atol(argv[1]) : 256;
  if (n < 1) {
    fprintf(stderr, "matmul: N must be positive\n");
    return 2;
  }
  double* a = malloc(n * n * sizeof *a);
  double* b = malloc(n * n * sizeof *b);
  double* c = malloc(n * n * sizeof *c);
  if (!a || !b || !c) return 1;
  for (long i = 0; i < n * n; i++) {
    a[i] = (double)((i * 2654435761u) % 1000) / 100;
    b[i] = (double)((i * 40503u) % 1000) / 100;
  }
#pragma omp parallel
#pragma omp single
  for (long bi = 0; bi < n; bi += block)
    for (long bj = 0; bj < n; bj += block) {
#pragma omp task firstprivate(bi, bj)
      product(a, b, c, n, bi, bj);
    }
  uint64_t sum = 0;
  for (long i = 0; i < n * n; i++) sum = sum * 31 + (uint64_t)(c[i] * 100);
  printf("checksum %016llx work %ld\n", (unsigned long long)sum, n * n * n);
  free(a);
  free(b);
  free(c);
  return 0;
}
