/* A loop over many distinct heap objects, 1,000 objects per task.
 *
 *   heap N
 *
 * One thread creates a task per chunk of 1,000 objects; each task allocates
 * its objects, writes them, reads them back and stores its sum in its own
 * slot. Nothing is freed until every task has ended, so all N objects have
 * distinct addresses. Prints a checksum and the number of objects. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

enum { chunk = 1000 };

typedef struct {
  uint32_t key, value, left, right;
} object_t;

static void fill(object_t** objects, long first, long count, uint64_t* sum) {
  for (long i = first; i < first + count; i++) {
    object_t* o = malloc(sizeof *o);
    if (!o) abort();
    o->key = (uint32_t)i;
    o->value = (uint32_t)(i * 2654435761u);
    o->left = o->key ^ o->value;
    o->right = o->key + o->value;
    objects[i] = o;
  }
  uint64_t s = 0;
  for (long i = first; i < first + count; i++) {
    object_t const* o = objects[i];
    s += o->value ^ (o->left + o->right);
  }
  *sum = s;
}

int main(int argc, char** argv) {
  long n = argc > 1 ? atol(argv[1]) : 1000000;
  if (n < 1) {
    fprintf(stderr, "heap: N must be positive\n");
    return 2;
  }
  long tasks = (n + chunk - 1) / chunk;
  object_t** objects = malloc(n * sizeof *objects);
  uint64_t* sums = malloc(tasks * sizeof *sums);
  if (!objects || !sums) return 1;
#pragma omp parallel
#pragma omp single
  for (long t = 0; t < tasks; t++) {
    long first = t * chunk;
    long count = n - first < chunk ? n - first : chunk;
#pragma omp task firstprivate(first, count, t)
    fill(objects, first, count, &sums[t]);
  }
  uint64_t sum = 0;
  for (long t = 0; t < tasks; t++) sum = sum * 31 + sums[t];
  for (long i = 0; i < n; i++) free(objects[i]);
  printf("checksum %016llx work %ld\n", (unsigned long long)sum, n);
  free(objects);
  free(sums);
  return 0;
}
