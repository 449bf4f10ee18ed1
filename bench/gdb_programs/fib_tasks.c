/*
 * Recursive fib with a task per call, on THREADS threads (default 2), each
 * computing fib(N) (default 20). A child task runs nested on its parent's
 * thread while the parent is inside fib, so every call but the outermost is
 * a reentrant call of fib: thousands of detections of one function.
 * Calls the hooks itself, as an instrumenting compiler would.
 *
 *   fib_tasks [N] [THREADS]
 */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

#include "vexa.h"

static long fib(int n) {
  _VEXA_enterFunction((void const*)fib, __builtin_frame_address(0));
  long result = n;
  if (n >= 2) {
    long a, b;
    _VEXA_enterTask();
    a = fib(n - 1);
    _VEXA_writeMemory(&a, sizeof a);
    _VEXA_leaveTask();
    _VEXA_enterTask();
    b = fib(n - 2);
    _VEXA_writeMemory(&b, sizeof b);
    _VEXA_leaveTask();
    _VEXA_readMemory(&a, sizeof a);
    _VEXA_readMemory(&b, sizeof b);
    result = a + b;
  }
  _VEXA_leaveFunction((void const*)fib, __builtin_frame_address(0));
  return result;
}

static int n = 20;

static void* worker(void* out) {
  _VEXA_enterTask();
  *(long*)out = fib(n);
  _VEXA_leaveTask();
  return NULL;
}

int main(int argc, char** argv) {
  if (argc > 1) n = atoi(argv[1]);
  int threads = argc > 2 ? atoi(argv[2]) : 2;
  pthread_t t[64];
  long results[64];
  if (threads < 1 || threads > 64) return 64;
  for (int i = 0; i < threads; ++i) pthread_create(&t[i], NULL, worker, &results[i]);
  for (int i = 0; i < threads; ++i) pthread_join(t[i], NULL);
  printf("fib(%d) = %ld\n", n, results[0]);
  return 0;
}
