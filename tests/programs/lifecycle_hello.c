/* A program linked with libvexa.so: one task that writes a variable, and on
 * request a command posted into the block as a debugger would post it.
 * Marks the start and end of main on stderr, so that the library's lines
 * can be ordered against them, and prints its thread on stdout.
 *
 *   lifecycle_hello           run the task
 *   lifecycle_hello ping      then post an are-you-there and a tsm reset */
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "vexa.h"

static int answer;

int main(int argc, char** argv) {
  fprintf(stderr, "hello: main starts\n");
  _VEXA_enterTask();
  _VEXA_writeMemory(&answer, sizeof answer);
  answer = 42;
  _VEXA_leaveTask();
  if (argc > 1 && strcmp(argv[1], "ping") == 0) {
    /* As a debugger posts it; served by the next hook, on this thread, so
       program order pairs it with the library's read. */
    __atomic_fetch_or(&__vexa_config[VEXA_CONFIG_PENDING], VEXA_PENDING_PING | VEXA_PENDING_RESET_TSM,
                      __ATOMIC_SEQ_CST);
    _VEXA_suspendTask(); /* any hook serves it */
    fprintf(stderr, "hello: reason %d, pending %u\n", (int)__vexa_event_reason,
            (unsigned)__vexa_config[VEXA_CONFIG_PENDING]);
  }
  printf("thread %lu\n", (unsigned long)pthread_self());
  fprintf(stderr, "hello: main ends\n");
  return 0;
}
