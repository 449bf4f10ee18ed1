/* Calls every hook that runs the task id check from a thread that has no
 * task, once each, while the main thread keeps a task alive (so the memory
 * hooks stay on); then the main thread calls some of them inside its own
 * task. Prints the task-less thread's pthread_self() on stdout. */
#include <pthread.h>
#include <stdio.h>

#include "vexa.h"

static int object;
static void const* const function = (void const*)0x8000;
static void const* const frame = (void const*)0x4000;
static void const* const site = (void const*)0x7000;

static void* without_task(void* unused) {
  (void)unused;
  printf("thread %lu\n", (unsigned long)pthread_self());
  fflush(stdout);
  _VEXA_suspendTask();
  _VEXA_resumeTask();
  _VEXA_readMemory(&object, sizeof object);
  _VEXA_writeMemory(&object, sizeof object);
  _VEXA_enterFunction(function, frame);
  _VEXA_leaveFunction(function, frame);
  _VEXA_suspendTaskAt(site);
  _VEXA_resumeTaskAt(site);
  _VEXA_readMemoryAt(&object, sizeof object, site);
  _VEXA_writeMemoryAt(&object, sizeof object, site);
  _VEXA_enterFunctionAt(function, frame, site);
  _VEXA_leaveFunctionAt(function, frame, site);
  return NULL;
}

int main(void) {
  pthread_t thread;
  _VEXA_enterTask();
  if (pthread_create(&thread, NULL, without_task, NULL) != 0) return 1;
  pthread_join(thread, NULL);
  _VEXA_suspendTask();
  _VEXA_resumeTask();
  _VEXA_readMemory(&object, sizeof object);
  _VEXA_enterFunction(function, frame);
  _VEXA_leaveFunction(function, frame);
  _VEXA_leaveTask();
  return 0;
}
