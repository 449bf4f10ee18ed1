/* Threads read a table that pthread_once fills. In the racy program one
 * thread reads it without calling pthread_once. */
#include <pthread.h>
#include <stdio.h>

static int table[8];
static pthread_once_t filled = PTHREAD_ONCE_INIT;

static void fill(void) {
  for (int i = 0; i < 8; ++i) table[i] = i * i; // race
}

static void* reader(void* p) {
#ifndef FIXED
  if (p == NULL) return (void*)(long)table[3]; // race
#endif
  pthread_once(&filled, fill);
  return (void*)(long)table[3];
}

int main(void) {
  pthread_t t[3];
  for (long i = 0; i < 3; ++i) pthread_create(&t[i], NULL, reader, (void*)i);
  long sum = 0;
  for (int i = 0; i < 3; ++i) {
    void* r;
    pthread_join(t[i], &r);
    sum += (long)r;
  }
  printf("%ld\n", sum);
  return 0;
}
