/* Many detections from many threads at once.
 *
 *   stress READS [THREADS]
 *
 * THREADS threads (8 by default) each run one task. Task 0 writes `shared`
 * and stays alive until the end; then the other tasks each read `shared`
 * READS times, all at the same time. Every read conflicts with task 0's
 * write and with nothing else (reads never conflict with reads), so the
 * library raises exactly (THREADS - 1) * READS detections, each with one
 * earlier access. The program prints that number for the test to compare
 * with what GDB saw.
 */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

#include "vexa.h"

#define MAX_THREADS 64

static int shared;
static int reads;
static pthread_barrier_t written, finished;

static void* task(void* arg) {
  long const id = (long)arg;
  _VEXA_enterTask();
  if (id == 0) {
    _VEXA_writeMemory(&shared, sizeof shared); /* @write-shared */
    shared = 1;
  }
  pthread_barrier_wait(&written);
  int sum = 0;
  if (id != 0) {
    for (int i = 0; i < reads; ++i) {
      _VEXA_readMemory(&shared, sizeof shared); /* @read-shared */
      sum += shared;
    }
  }
  pthread_barrier_wait(&finished);
  _VEXA_leaveTask();
  return (void*)(long)sum;
}

int main(int argc, char** argv) {
  reads = argc > 1 ? atoi(argv[1]) : 100;
  int const count = argc > 2 ? atoi(argv[2]) : 8;
  if (count < 2 || count > MAX_THREADS) {
    fprintf(stderr, "stress: THREADS must be 2 to %d\n", MAX_THREADS);
    return 64;
  }
  pthread_barrier_init(&written, NULL, count);
  pthread_barrier_init(&finished, NULL, count);
  pthread_t threads[MAX_THREADS];
  for (long i = 0; i < count; ++i) pthread_create(&threads[i], NULL, task, (void*)i);
  for (int i = 0; i < count; ++i) pthread_join(threads[i], NULL);
  printf("expected detections: %d\n", (count - 1) * reads);
  return 0;
}
