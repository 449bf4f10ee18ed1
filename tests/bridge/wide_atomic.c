/* Two threads count in an atomic 16-byte structure with compare-and-swap.
 * It is wider than what either target can do without a lock (i386), or
 * than what clang does without one (x86_64), so the compiler calls
 * libatomic for its loads and swaps. */
#include <pthread.h>
#include <stdio.h>

#ifdef __clang__
#pragma clang diagnostic ignored "-Watomic-alignment" /* that cost is the point */
#endif

struct pair {
  long long count, twice;
};

#ifdef __cplusplus
#include <atomic>
static std::atomic<pair> shared_pair;
static pair load_pair(void) { return shared_pair.load(); }
static bool replace(pair* expected, pair desired) { return shared_pair.compare_exchange_weak(*expected, desired); }
#else
#include <stdatomic.h>
#include <stdbool.h>
static _Atomic struct pair shared_pair;
static struct pair load_pair(void) { return atomic_load(&shared_pair); }
static bool replace(struct pair* expected, struct pair desired) {
  return atomic_compare_exchange_weak(&shared_pair, expected, desired);
}
#endif

static void* add(void* unused) {
  (void)unused;
  for (int i = 0; i < 1000; ++i) {
    struct pair seen = load_pair(), next;
    do {
      next.count = seen.count + 1;
      next.twice = seen.twice + 2;
    } while (!replace(&seen, next));
  }
  return NULL;
}

int main(void) {
  pthread_t threads[2];
  for (int i = 0; i < 2; ++i) pthread_create(&threads[i], NULL, add, NULL);
  for (int i = 0; i < 2; ++i) pthread_join(threads[i], NULL);
  struct pair const p = load_pair();
  printf("count %lld twice %lld\n", p.count, p.twice);
  return 0;
}
