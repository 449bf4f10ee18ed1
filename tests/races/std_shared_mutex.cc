// std::shared_mutex: readers under shared locks, a writer under the unique
// lock. In the racy program the writer takes only a shared lock.
#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <thread>

int main() {
  int value = 0;
  std::shared_mutex lock;
  auto reader = [&] {
    int seen = 0;
    for (int i = 0; i < 100; ++i) {
      std::shared_lock<std::shared_mutex> hold(lock);
      seen += value; // race
    }
    return seen;
  };
  auto writer = [&] {
    for (int i = 0; i < 100; ++i) {
#ifdef FIXED
      std::unique_lock<std::shared_mutex> hold(lock);
#else
      std::shared_lock<std::shared_mutex> hold(lock);
#endif
      value = value + 1; // race
    }
  };
  std::thread a(reader), b(writer), c(writer);
  a.join();
  b.join();
  c.join();
  std::printf("%d\n", value);
  return 0;
}
