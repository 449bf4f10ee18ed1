// std::thread, std::mutex and std::condition_variable: a worker reads
// what its creator wrote before starting it and hands a result back
// through a flag under a mutex; the creator reads another result after
// join(). In the racy program the creator changes the input after the
// start, and the worker writes the handed-over result after the signal.
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

int main() {
  int input = 20, early = 0, late = 0;
  bool ready = false;
  std::mutex mutex;
  std::condition_variable changed;
  std::thread worker([&] {
    early = input + 1; // race
    {
      std::lock_guard<std::mutex> hold(mutex);
      ready = true;
    }
    changed.notify_one();
#ifndef FIXED
    early = 0; // race
#endif
    late = input + 2; // race
  });
#ifndef FIXED
  input = 30; // race
#endif
  {
    std::unique_lock<std::mutex> hold(mutex);
    changed.wait(hold, [&] { return ready; });
  }
  int const seen = early; // race
  worker.join();
  std::printf("%d %d\n", seen, late);
  return 0;
}
