/* Two threads update one balance: one deposits, one withdraws. Nothing
 * orders their updates, so the balance is shared between two tasks and
 * updates get lost. Built with -DFIXED, the updates are atomic, which is
 * how a program shares a location on purpose, and vexa reports nothing.
 *
 * The barrier only makes sure that both threads are running before either
 * starts and until both have finished, so that the sharing shows on every
 * run; vexa does not see it. */
#include <pthread.h>
#include <stdio.h>

static long balance = 100;
static pthread_barrier_t both_running;

static void deposit(long amount) {
#ifdef FIXED
  __atomic_fetch_add(&balance, amount, __ATOMIC_RELAXED);
#else
  balance += amount;
#endif
}

static void withdraw(long amount) {
#ifdef FIXED
  __atomic_fetch_sub(&balance, amount, __ATOMIC_RELAXED);
#else
  balance -= amount;
#endif
}

static void* depositor(void* unused) {
  pthread_barrier_wait(&both_running);
  for (int i = 0; i < 3; ++i) deposit(10);
  pthread_barrier_wait(&both_running);
  return unused;
}

static void* withdrawer(void* unused) {
  pthread_barrier_wait(&both_running);
  for (int i = 0; i < 3; ++i) withdraw(5);
  pthread_barrier_wait(&both_running);
  return unused;
}

int main(void) {
  pthread_t threads[2];
  pthread_barrier_init(&both_running, NULL, 2);
  pthread_create(&threads[0], NULL, depositor, NULL);
  pthread_create(&threads[1], NULL, withdrawer, NULL);
  pthread_join(threads[0], NULL);
  pthread_join(threads[1], NULL);
  pthread_barrier_destroy(&both_running);
  printf("balance: %ld\n", balance);
  return 0;
}
