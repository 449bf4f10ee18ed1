/* Rounds of the same conflicts between two worker tasks, for tests that
 * change vexa's settings between rounds and watch what is reported.
 *
 *   scenarios ROUNDS [EXIT_STATUS]
 *
 * Every round, worker A (GDB thread 2) runs a task that writes x and y and
 * then holds shared_fn open; worker B (GDB thread 3) runs a task that then
 * reads x and y and enters shared_fn. Each round thus gives two data
 * sharing reports (B's reads of x and y against A's writes) and one
 * reentrant call (B's entry of shared_fn), unless settings say otherwise.
 * Barriers, which vexa cannot see, fix the order. round_start() (main,
 * before a round) and round_midpoint() (A, after its writes, inside
 * shared_fn) are places for breakpoints. Markers in comments name the lines
 * that tests look for.
 */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

#include "vexa.h"

int x;
int y;
static int rounds;
static pthread_barrier_t all;  /* main, A and B: start and end of a round */
static pthread_barrier_t pair; /* A and B inside a round */

__attribute__((noinline)) void round_start(int r) { __asm__ __volatile__("" ::"r"(r) : "memory"); }
__attribute__((noinline)) void round_midpoint(int r) { __asm__ __volatile__("" ::"r"(r) : "memory"); }

__attribute__((noinline)) static void writer(void) {
  _VEXA_writeMemory(&x, sizeof x); /* @write-x */
  x += 1;
  _VEXA_writeMemory(&y, sizeof y); /* @write-y */
  y += 1;
}

__attribute__((noinline)) static int reader(void) {
  _VEXA_readMemory(&x, sizeof x); /* @read-x */
  int sum = x;
  _VEXA_readMemory(&y, sizeof y); /* @read-y */
  return sum + y;
}

/* Never called by the workers: a function for filters that name another. */
__attribute__((noinline)) void other_fn(void) { __asm__ __volatile__("" ::: "memory"); }

__attribute__((noinline)) static void shared_fn(int holder, int r) {
  _VEXA_enterFunction((void const*)shared_fn, __builtin_frame_address(0)); /* @enter-shared */
  if (holder) {
    round_midpoint(r);
    pthread_barrier_wait(&pair); /* B may enter now */
    pthread_barrier_wait(&pair); /* B has left */
  }
  _VEXA_leaveFunction((void const*)shared_fn, __builtin_frame_address(0));
}

static void* worker_a(void* unused) {
  for (int r = 0; r < rounds; ++r) {
    pthread_barrier_wait(&all);
    _VEXA_enterTask();
    writer();
    shared_fn(1, r);
    _VEXA_leaveTask();
    pthread_barrier_wait(&all);
  }
  return unused;
}

static void* worker_b(void* unused) {
  for (int r = 0; r < rounds; ++r) {
    pthread_barrier_wait(&all);
    _VEXA_enterTask();
    pthread_barrier_wait(&pair); /* A has written and holds shared_fn */
    reader();        /* @call-reader */
    shared_fn(0, r); /* @call-shared */
    pthread_barrier_wait(&pair);
    _VEXA_leaveTask();
    pthread_barrier_wait(&all);
  }
  return unused;
}

int main(int argc, char** argv) {
  rounds = argc > 1 ? atoi(argv[1]) : 1;
  int const status = argc > 2 ? atoi(argv[2]) : 0;
  pthread_barrier_init(&all, NULL, 3);
  pthread_barrier_init(&pair, NULL, 2);
  pthread_t a, b;
  pthread_create(&a, NULL, worker_a, NULL);
  pthread_create(&b, NULL, worker_b, NULL);
  for (int r = 0; r < rounds; ++r) {
    round_start(r);
    pthread_barrier_wait(&all);
    pthread_barrier_wait(&all);
  }
  pthread_join(a, NULL);
  pthread_join(b, NULL);
  printf("rounds: %d\n", rounds);
  return status;
}
