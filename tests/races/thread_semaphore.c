/* A producer writes an item and posts a semaphore; the consumer waits for
 * it and reads the item. In the racy program the producer writes the item
 * again after posting. */
#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>

static int item;
static sem_t full;

static void* producer(void* unused) {
  (void)unused;
  item = 42;
  sem_post(&full);
#ifndef FIXED
  item = 43; // race
#endif
  return NULL;
}

int main(void) {
  pthread_t thread;
  sem_init(&full, 0, 0);
  pthread_create(&thread, NULL, producer, NULL);
  sem_wait(&full);
  int seen = item; // race
  pthread_join(thread, NULL);
  sem_destroy(&full);
  printf("%d\n", seen);
  return 0;
}
