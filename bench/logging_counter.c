/* One counter shared by THREADS tasks, UPDATES updates in all, each a read
 * and a write reported through the hooks as an instrumenting compiler
 * would. Every access of one task conflicts with the other tasks' earlier
 * ones, so each is a detection (two per update): the program measures what
 * a report costs.
 *
 *   logging_counter [UPDATES] [THREADS]
 *
 * Run with VEXA_ENABLE=1 VEXA_GUARD=3 and the VEXA_LOGGING / VEXA_DISTINCT
 * under test; prints the number of stops (detections raised) on stdout. */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

#include "vexa.h"

static volatile unsigned counter;
static unsigned per_thread;
static pthread_barrier_t all_entered; /* the library does not see it */
static unsigned long stops; /* written inside stops, which the runtime lock serialises */

/* The library's breakpoint, defined here to count the stops; empty
 * otherwise, as without a debugger. */
void __vexa_switch_to_debugger(void) {
  if (__vexa_event_reason == VEXA_EVENT_DATA_SHARING) ++stops;
}

static void* work(void* unused) {
  unsigned i;
  (void)unused;
  _VEXA_enterTask();
  /* All tasks live before the first update: every access then conflicts,
   * however the threads are scheduled. */
  pthread_barrier_wait(&all_entered);
  for (i = 0; i < per_thread; ++i) {
    unsigned v;
    _VEXA_readMemory((void const*)&counter, sizeof counter);
    v = counter;
    _VEXA_writeMemory((void const*)&counter, sizeof counter);
    counter = v + 1;
  }
  _VEXA_leaveTask();
  return 0;
}

int main(int argc, char** argv) {
  unsigned long const updates = argc > 1 ? strtoul(argv[1], 0, 10) : 1000000;
  unsigned const threads = argc > 2 ? (unsigned)strtoul(argv[2], 0, 10) : 4;
  pthread_t t[64];
  unsigned i;
  if (threads == 0 || threads > 64) return 2;
  per_thread = (unsigned)(updates / threads);
  pthread_barrier_init(&all_entered, 0, threads);
  /* The counter's first access comes before the threads: racing first
   * accesses may leave detections out (the detector's business, not what
   * is measured here). */
  _VEXA_enterTask();
  _VEXA_writeMemory((void const*)&counter, sizeof counter);
  counter = 0;
  for (i = 0; i < threads; ++i) pthread_create(&t[i], 0, work, 0);
  for (i = 0; i < threads; ++i) pthread_join(t[i], 0);
  _VEXA_leaveTask();
  printf("stops: %lu\n", stops);
  return 0;
}
