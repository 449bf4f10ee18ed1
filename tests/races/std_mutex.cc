// Tasks append to a shared vector holding a std::mutex through
// std::lock_guard, and one more reads its size. In the racy program the
// reader takes no lock.
#include <cstdio>
#include <mutex>
#include <vector>

static std::vector<int> values;
static std::mutex values_mutex;
static std::size_t seen;

static void visit(int i) {
#ifndef FIXED
  if (i == 0) {
    seen = values.size();
    return;
  }
#endif
  std::lock_guard<std::mutex> hold(values_mutex);
  if (i == 0)
    seen = values.size();
  else
    values.push_back(i);
}

int main() {
  values.reserve(8);  // the appends never move the elements
#pragma omp parallel
#pragma omp single
  for (int i = 0; i <= 4; ++i) {
#pragma omp task firstprivate(i)
    visit(i);
  }
  std::printf("values: %zu\n", values.size());
  return 0;
}
