/* Task-parallel merge sort whose merge copies back with memcpy.
 *
 *   mergesort N
 *
 * Sorts N pseudo-random ints. Each call above the cut-off sorts its halves
 * in two tasks, waits for them, merges into a scratch array and copies the
 * merged run back with memcpy. A task touches its own range only before its
 * children start or after they have ended, so no two live tasks share a
 * word. Prints a checksum of the sorted array and the number of elements. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { cutoff = 32 };

static void insertion_sort(int* a, long n) {
  for (long i = 1; i < n; i++) {
    int v = a[i];
    long j = i;
    for (; j > 0 && a[j - 1] > v; j--) a[j] = a[j - 1];
    a[j] = v;
  }
}

static void merge(int const* a, long half, long n, int* out) {
  long i = 0, j = half, k = 0;
  while (i < half && j < n) out[k++] = a[i] <= a[j] ? a[i++] : a[j++];
  while (i < half) out[k++] = a[i++];
  while (j < n) out[k++] = a[j++];
}

static void sort(int* a, int* scratch, long n) {
  if (n <= cutoff) {
    insertion_sort(a, n);
    return;
  }
  long half = n / 2;
#pragma omp task
  sort(a, scratch, half);
#pragma omp task
  sort(a + half, scratch + half, n - half);
#pragma omp taskwait
  merge(a, half, n, scratch);
  memcpy(a, scratch, n * sizeof *a);
}

int main(int argc, char** argv) {
  long n = argc > 1 ? atol(argv[1]) : 4096;
  if (n < 1) {
    fprintf(stderr, "mergesort: N must be positive\n");
    return 2;
  }
  int* a = malloc(n * sizeof *a);
  int* scratch = malloc(n * sizeof *scratch);
  if (!a || !scratch) return 1;
  uint32_t x = 12345;
  for (long i = 0; i < n; i++) {
    x = x * 1103515245u + 12345u;
    a[i] = (int)(x >> 8);
  }
#pragma omp parallel
#pragma omp single
  sort(a, scratch, n);
  uint64_t sum = 0;
  int sorted = 1;
  for (long i = 0; i < n; i++) {
    sum = sum * 31 + (uint32_t)a[i];
    if (i > 0 && a[i - 1] > a[i]) sorted = 0;
  }
  printf("checksum %016llx%s work %ld\n", (unsigned long long)sum, sorted ? "" : " UNSORTED", n);
  free(a);
  free(scratch);
  return sorted ? 0 : 1;
}
