/* A writer fills data and sets a flag with a release store; the reader
 * waits for the flag with acquire loads and reads the data. In the racy
 * program both use relaxed order, which orders nothing. */
#include <pthread.h>
#include <stdio.h>

#ifdef FIXED
#define STORE_ORDER __ATOMIC_RELEASE
#define LOAD_ORDER __ATOMIC_ACQUIRE
#else
#define STORE_ORDER __ATOMIC_RELAXED
#define LOAD_ORDER __ATOMIC_RELAXED
#endif

static int data[2];
static int flag;

static void* writer(void* unused) {
  (void)unused;
  data[0] = 1; // race
  data[1] = 2;
  __atomic_store_n(&flag, 1, STORE_ORDER);
  return NULL;
}

int main(void) {
  pthread_t thread;
  pthread_create(&thread, NULL, writer, NULL);
  while (!__atomic_load_n(&flag, LOAD_ORDER)) {
  }
  int sum = data[0]; // race
  pthread_join(thread, NULL);
  printf("%d\n", sum);
  return 0;
}
