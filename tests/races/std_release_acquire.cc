// std::atomic<bool> as a flag: the writer fills data and stores the flag
// with release order, the reader loads it with acquire order before it
// reads the data. In the racy program both use relaxed order.
#include <atomic>
#include <cstdio>
#include <thread>

#ifdef FIXED
constexpr auto store_order = std::memory_order_release;
constexpr auto load_order = std::memory_order_acquire;
#else
constexpr auto store_order = std::memory_order_relaxed;
constexpr auto load_order = std::memory_order_relaxed;
#endif

int main() {
  int data = 0;
  std::atomic<bool> flag{false};
  std::thread writer([&] {
    data = 42; // race
    flag.store(true, store_order);
  });
  while (!flag.load(load_order)) {
  }
  int const seen = data; // race
  writer.join();
  std::printf("%d\n", seen);
  return 0;
}
