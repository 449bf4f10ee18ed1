// std::promise and std::future: a worker fills a buffer and sets the
// promise; the main thread reads the buffer after get(). In the racy
// program the worker writes the buffer again after setting the value.
#include <cstdio>
#include <future>
#include <thread>

// Global: clang's instrumentation leaves out accesses to a local array
// whose address only a lambda's capture takes.
int buffer[4];

int main() {
  std::promise<int> done;
  std::future<int> result = done.get_future();
  std::thread worker([&] {
    for (int i = 0; i < 4; ++i) buffer[i] = i + 1;
    done.set_value(4);
#ifndef FIXED
    buffer[0] = 7; // race
#endif
  });
  int const n = result.get();
  int const first = buffer[0]; // race
  worker.join();
  std::printf("%d %d\n", n, first);
  return 0;
}
