/* Readers read a value under a read lock while a writer changes it under
 * the write lock. In the racy program a second writer takes only the read
 * lock, so it writes beside the other "reader". */
#include <pthread.h>
#include <stdio.h>

static int value;
static pthread_rwlock_t lock = PTHREAD_RWLOCK_INITIALIZER;

static void* reader(void* unused) {
  (void)unused;
  int seen = 0;
  for (int i = 0; i < 100; ++i) {
    pthread_rwlock_rdlock(&lock);
    seen += value; // race
    pthread_rwlock_unlock(&lock);
  }
  return (void*)(long)seen;
}

static void* writer(void* unused) {
  (void)unused;
  for (int i = 0; i < 100; ++i) {
#ifdef FIXED
    pthread_rwlock_wrlock(&lock);
#else
    pthread_rwlock_rdlock(&lock);
#endif
    value = value + 1; // race
    pthread_rwlock_unlock(&lock);
  }
  return NULL;
}

int main(void) {
  pthread_t t[3];
  pthread_create(&t[0], NULL, reader, NULL);
  pthread_create(&t[1], NULL, writer, NULL);
  pthread_create(&t[2], NULL, writer, NULL);
  for (int i = 0; i < 3; ++i) pthread_join(t[i], NULL);
  printf("%d\n", value);
  return 0;
}
