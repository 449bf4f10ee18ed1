/*
 * N-queens (default 8), the queens of the first row shared out over
 * THREADS threads (default 2), each thread one task. Every task counts the
 * squares it tries in one shared counter without a lock: data sharing at
 * the same two lines, thousands of times. Calls the hooks itself, as an
 * instrumenting compiler would.
 *
 *   queens [N] [THREADS]
 */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

#include "vexa.h"

static int n = 8;
static int threads = 2;
static long tried;  /* shared by every task, on purpose */
static long solutions[64];
static pthread_barrier_t start;  /* the threads' tasks run side by side */

static int safe(int const* rows, int row, int col) {
  for (int r = 0; r < row; ++r) {
    int c = rows[r];
    if (c == col || c - col == r - row || c - col == row - r) return 0;
  }
  return 1;
}

static long place(int* rows, int row) {
  if (row == n) return 1;
  long found = 0;
  for (int col = 0; col < n; ++col) {
    _VEXA_readMemory(&tried, sizeof tried);
    _VEXA_writeMemory(&tried, sizeof tried);
    ++tried;
    if (!safe(rows, row, col)) continue;
    rows[row] = col;
    found += place(rows, row + 1);
  }
  return found;
}

static void* worker(void* arg) {
  long self = (long)arg;
  /* One task per thread, live from the first barrier to the second, so
   * that the threads' tasks overlap whatever the scheduler does. */
  _VEXA_enterTask();
  pthread_barrier_wait(&start);
  for (int col = (int)self; col < n; col += threads) {
    int rows[64];
    rows[0] = col;
    solutions[col] = place(rows, 1);
  }
  pthread_barrier_wait(&start);
  _VEXA_leaveTask();
  return NULL;
}

int main(int argc, char** argv) {
  if (argc > 1) n = atoi(argv[1]);
  if (argc > 2) threads = atoi(argv[2]);
  if (n < 1 || n > 64 || threads < 1 || threads > 64) return 64;
  pthread_t t[64];
  pthread_barrier_init(&start, NULL, (unsigned)threads);
  for (long i = 0; i < threads; ++i) pthread_create(&t[i], NULL, worker, (void*)i);
  for (int i = 0; i < threads; ++i) pthread_join(t[i], NULL);
  long total = 0;
  for (int col = 0; col < n; ++col) total += solutions[col];
  printf("%d-queens: %ld solutions, %ld squares tried\n", n, total, tried);
  return 0;
}
