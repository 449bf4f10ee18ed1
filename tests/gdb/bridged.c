/* Two tasks with identities 11 and 22, each the start routine of a thread
 * run through a bridge-like library: both enter teller and write counter
 * while the other is inside it. */
#include <pthread.h>

void fake_task(void (*function)(void*), void* argument, unsigned long long id);
void fake_function_entry(void const* function, void const* frame, void const* call_site);
void fake_function_exit(void const* function, void const* frame);
void fake_write(void const* address, unsigned size);

static pthread_barrier_t both;
static int counter;

static void teller(void* argument) { /* @teller */
  fake_function_entry((void const*)teller, __builtin_frame_address(0), __builtin_return_address(0));
  (void)argument;
  pthread_barrier_wait(&both);
  fake_write(&counter, sizeof counter); /* @write-counter */
  ++counter;
  pthread_barrier_wait(&both);
  fake_function_exit((void const*)teller, __builtin_frame_address(0));
}

static void* start(void* id) {
  fake_task(teller, 0, (unsigned long long)(long)id); /* @run-teller */
  return 0;
}

int main(void) {
  pthread_t threads[2];
  pthread_barrier_init(&both, 0, 2);
  pthread_create(&threads[0], 0, start, (void*)11L);
  pthread_create(&threads[1], 0, start, (void*)22L);
  pthread_join(threads[0], 0);
  pthread_join(threads[1], 0);
  return 0;
}
