/* Two OpenMP threads hand data over through a flag: one writes the data
 * and stores the flag with release order, the other spins on acquire
 * loads and reads the data. In the racy program both orders are relaxed. */
#include <omp.h>
#include <stdio.h>

#ifdef FIXED
#define STORE_ORDER __ATOMIC_RELEASE
#define LOAD_ORDER __ATOMIC_ACQUIRE
#else
#define STORE_ORDER __ATOMIC_RELAXED
#define LOAD_ORDER __ATOMIC_RELAXED
#endif

static int data;
static int flag;

int main(void) {
  int seen = 0;
#pragma omp parallel num_threads(2)
  {
    if (omp_get_thread_num() == 0) {
      data = 42; // race
      __atomic_store_n(&flag, 1, STORE_ORDER);
    } else {
      while (!__atomic_load_n(&flag, LOAD_ORDER)) {
      }
      seen = data; // race
    }
  }
  printf("%d\n", seen);
  return 0;
}
