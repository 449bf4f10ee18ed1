/* A task-parallel program as an instrumenting compiler hands it to vexa:
 * two threads each run a task, and every task, shared access and call is
 * framed by the hook calls the compiler inserted. It has two bugs:
 *
 *  - both tasks add to `hits` without a lock: data sharing;
 *  - both tasks are inside pick() at the same time, and pick() draws from
 *    rand(), whose hidden state makes it unfit to run twice at once: a
 *    reentrant call.
 *
 * The barriers only make every run show both: they hold the first task
 * inside pick() until the second task has made its accesses and its call.
 *
 *   VEXA_LOGGING=9 VEXA_ENABLE=3 VEXA_GUARD=7 ./task_parallel
 *
 * prints each detection on stderr as a full report and a compact line. */
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "vexa.h"

static long hits; /* every task adds its roll here, without a lock */

static pthread_barrier_t first_inside; /* the first task has entered pick() */
static pthread_barrier_t second_done;  /* the second task has done its work */

/* Out of line, as an instrumenting compiler sees them: an inlined copy
 * would pass its caller's frame. */
__attribute__((noinline)) static int pick(int task) {
  _VEXA_enterFunction((void const*)pick, __builtin_frame_address(0));
  int roll = rand() % 6 + 1;
  if (task == 0) {
    pthread_barrier_wait(&first_inside);
    pthread_barrier_wait(&second_done);
  }
  _VEXA_leaveFunction((void const*)pick, __builtin_frame_address(0));
  return roll;
}

__attribute__((noinline)) static void add_hits(long n) {
  _VEXA_enterFunction((void const*)add_hits, __builtin_frame_address(0));
  _VEXA_readMemory(&hits, sizeof hits);
  long const old = hits;
  _VEXA_writeMemory(&hits, sizeof hits);
  hits = old + n;
  _VEXA_leaveFunction((void const*)add_hits, __builtin_frame_address(0));
}

static void* worker(void* arg) {
  int const task = (int)(intptr_t)arg;
  _VEXA_enterTask();
  if (task == 0) {
    add_hits(1);
    pick(task);
  } else {
    pthread_barrier_wait(&first_inside);
    add_hits(2);
    pick(task);
    pthread_barrier_wait(&second_done);
  }
  _VEXA_leaveTask();
  return NULL;
}

int main(void) {
  pthread_barrier_init(&first_inside, NULL, 2);
  pthread_barrier_init(&second_done, NULL, 2);
  pthread_t threads[2];
  for (intptr_t i = 0; i < 2; ++i) pthread_create(&threads[i], NULL, worker, (void*)i);
  for (int i = 0; i < 2; ++i) pthread_join(threads[i], NULL);
  pthread_barrier_destroy(&first_inside);
  pthread_barrier_destroy(&second_done);
  printf("hits: %ld\n", hits);
  return 0;
}
