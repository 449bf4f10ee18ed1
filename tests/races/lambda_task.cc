// Tasks call a lambda that captures a total by reference and adds to it.
// A depend(inout) on the total chains them (FIXED); without it, the tasks
// race. The racy tasks add zero: the printed total is the same whatever
// the order.
#include <cstdio>
#include <functional>

int main() {
  long total = 0;
  std::function<void(long)> add = [&total](long amount) { total += amount; };
#pragma omp parallel
#pragma omp single
  for (long i = 0; i < 4; ++i) {
#ifdef FIXED
#pragma omp task depend(inout : total) firstprivate(i) shared(add)
    add(i);
#else
#pragma omp task firstprivate(i) shared(add)
    add(0);
#endif
  }
  std::printf("total: %ld\n", total);
  return 0;
}
