/* A producer fills a buffer, then sets a flag under a mutex and signals a
 * condition variable; the consumer waits for the flag under the mutex and
 * reads the buffer after it. In the racy program the producer writes the
 * buffer once more after it signalled. */
#include <pthread.h>
#include <stdio.h>

static int buffer[4];
static int ready;
static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;

static void* producer(void* unused) {
  (void)unused;
  for (int i = 0; i < 4; ++i) buffer[i] = i;
  pthread_mutex_lock(&mutex);
  ready = 1;
  pthread_cond_signal(&changed);
  pthread_mutex_unlock(&mutex);
#ifndef FIXED
  buffer[0] = 10; // race
#endif
  return NULL;
}

int main(void) {
  pthread_t thread;
  pthread_create(&thread, NULL, producer, NULL);
  pthread_mutex_lock(&mutex);
  while (!ready) pthread_cond_wait(&changed, &mutex);
  pthread_mutex_unlock(&mutex);
  int sum = buffer[0] + buffer[1]; // race
  pthread_join(thread, NULL);
  printf("%d\n", sum);
  return 0;
}
