/* Two threads run the same recursive function at once: each task enters
 * walk() while the other still has an activation of it open. walk() keeps
 * the deepest depth reached in a static variable, so two tasks inside it
 * at the same time disturb each other. Built with -DFIXED, the second
 * thread starts walking only after the first has returned, and vexa
 * reports nothing.
 *
 * The barrier in walk() holds both threads at the bottom of the recursion
 * so that the overlap shows on every run; vexa does not see it. */
#include <pthread.h>
#include <stdio.h>

static int deepest;
static pthread_barrier_t meet;

static void walk(int depth) {
  if (depth > deepest) deepest = depth;
  if (depth < 3) {
    walk(depth + 1);
  } else {
#ifndef FIXED
    pthread_barrier_wait(&meet);
#endif
  }
}

static void* first_walker(void* unused) {
  walk(0);
#ifdef FIXED
  pthread_barrier_wait(&meet);
#endif
  return unused;
}

static void* second_walker(void* unused) {
#ifdef FIXED
  pthread_barrier_wait(&meet);
#endif
  walk(0);
  return unused;
}

int main(void) {
  pthread_t threads[2];
  pthread_barrier_init(&meet, NULL, 2);
  pthread_create(&threads[0], NULL, first_walker, NULL);
  pthread_create(&threads[1], NULL, second_walker, NULL);
  pthread_join(threads[0], NULL);
  pthread_join(threads[1], NULL);
  pthread_barrier_destroy(&meet);
  printf("deepest: %d\n", deepest);
  return 0;
}
