/* Each thread writes its slot, passes a barrier, reads its neighbour's
 * slot, passes the barrier again and writes its slot for the next round.
 * The racy program leaves out the second barrier: a thread's next write
 * races with its neighbour's read. */
#include <pthread.h>
#include <stdio.h>

enum { threads = 3, rounds = 3 };
static int slot[threads];
static int seen[threads];
static pthread_barrier_t barrier;

static void* work(void* p) {
  int const me = (int)(long)p;
  for (int r = 0; r < rounds; ++r) {
    slot[me] = r * 10 + me; // race
    pthread_barrier_wait(&barrier);
    seen[me] += slot[(me + 1) % threads]; // race
#ifdef FIXED
    pthread_barrier_wait(&barrier);
#endif
  }
  return NULL;
}

int main(void) {
  pthread_t t[threads];
  pthread_barrier_init(&barrier, NULL, threads);
  for (long i = 0; i < threads; ++i) pthread_create(&t[i], NULL, work, (void*)i);
  for (int i = 0; i < threads; ++i) pthread_join(t[i], NULL);
  pthread_barrier_destroy(&barrier);
  printf("%d %d %d\n", seen[0], seen[1], seen[2]);
  return 0;
}
