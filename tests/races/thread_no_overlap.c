/* Two threads write one variable and never run at once: the first has
 * ended before the second starts, yet nothing in the program orders them
 * (the main thread waits on a relaxed flag and a sleep). The race-free
 * program joins the first before it starts the second. */
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static int shared;
static int done;

static void* first(void* unused) {
  (void)unused;
  shared = 1; // race
  __atomic_store_n(&done, 1, __ATOMIC_RELAXED);
  return NULL;
}

static void* second(void* unused) {
  (void)unused;
  shared = 2; // race
  return NULL;
}

int main(void) {
  pthread_t a, b;
  pthread_create(&a, NULL, first, NULL);
#ifdef FIXED
  pthread_join(a, NULL);
#else
  pthread_detach(a);
  while (!__atomic_load_n(&done, __ATOMIC_RELAXED)) usleep(100);
  usleep(10000);
#endif
  pthread_create(&b, NULL, second, NULL);
  pthread_join(b, NULL);
  printf("%d\n", shared); // race
  return 0;
}
