/* A writer fills data, passes a release fence and sets a flag with a
 * relaxed store; the reader waits for the flag with relaxed loads and
 * passes an acquire fence before it reads the data. The racy program has
 * no fences. */
#include <pthread.h>
#include <stdio.h>

static int data;
static int flag;

static void* writer(void* unused) {
  (void)unused;
  data = 42; // race
#ifdef FIXED
  __atomic_thread_fence(__ATOMIC_RELEASE);
#endif
  __atomic_store_n(&flag, 1, __ATOMIC_RELAXED);
  return NULL;
}

int main(void) {
  pthread_t thread;
  pthread_create(&thread, NULL, writer, NULL);
  while (!__atomic_load_n(&flag, __ATOMIC_RELAXED)) {
  }
#ifdef FIXED
  __atomic_thread_fence(__ATOMIC_ACQUIRE);
#endif
  int seen = data; // race
  pthread_join(thread, NULL);
  printf("%d\n", seen);
  return 0;
}
