// Every thread adds to a counter through std::atomic_ref. In the racy
// program thread 0 also resets it with a plain write; only what holds
// whatever the order is printed.
#include <omp.h>

#include <atomic>
#include <cstdio>

static int counter;

int main() {
#pragma omp parallel num_threads(2)
  {
#ifndef FIXED
    if (omp_get_thread_num() == 0) counter = 0;
#endif
    std::atomic_ref<int>(counter).fetch_add(2, std::memory_order_relaxed);
  }
  std::printf("counter: %s\n", counter >= 2 && counter % 2 == 0 ? "even" : "odd");
  return 0;
}
