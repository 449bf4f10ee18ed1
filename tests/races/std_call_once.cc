// std::call_once fills a table that every thread reads after its call. In
// the racy program one thread reads the table without the call.
#include <cstdio>
#include <mutex>
#include <thread>

int main() {
  int table[8] = {};
  std::once_flag filled;
  int seen[3] = {};
  auto reader = [&](int me) {
#ifndef FIXED
    if (me == 0) {
      seen[me] = table[3]; // race
      return;
    }
#endif
    std::call_once(filled, [&] {
      for (int i = 0; i < 8; ++i) table[i] = i * i; // race
    });
    seen[me] = table[3];
  };
  std::thread a(reader, 0), b(reader, 1), c(reader, 2);
  a.join();
  b.join();
  c.join();
  std::printf("%d\n", seen[0] + seen[1] + seen[2]);
  return 0;
}
