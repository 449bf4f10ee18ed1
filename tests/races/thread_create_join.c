/* A thread reads what its creator wrote before pthread_create, and the
 * creator reads what the thread wrote after pthread_join. In the racy
 * program the creator writes again while the thread may still read. */
#include <pthread.h>
#include <stdio.h>

static int input, output;

static void* worker(void* unused) {
  (void)unused;
  output = input * 2; // race
  return NULL;
}

int main(void) {
  pthread_t thread;
  input = 21;
  pthread_create(&thread, NULL, worker, NULL);
#ifndef FIXED
  input = 22; // race
#endif
  pthread_join(thread, NULL);
  printf("%d\n", output);
  return 0;
}
