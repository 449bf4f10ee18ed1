// A test thread that runs one job at a time for the test.
#ifndef VEXA_TEST_WORKER_H
#define VEXA_TEST_WORKER_H

#include <pthread.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace vexa_test {

// A thread that runs the jobs the test hands it, one at a time, while the
// test waits for each to finish: hooks on different workers run in exactly
// the order the test calls them, and the library sees none of the
// synchronisation that orders them.
class worker_t {
 public:
  worker_t() : thread_([this] { serve(); }) {
    run([this] { id = static_cast<unsigned long>(pthread_self()); });
  }
  ~worker_t() {
    run(nullptr);
    thread_.join();
  }
  void run(std::function<void()> job) {
    std::unique_lock<std::mutex> held(mutex_);
    job_ = std::move(job);
    busy_ = true;
    changed_.notify_all();
    changed_.wait(held, [this] { return !busy_; });
  }

  unsigned long id = 0;

 private:
  void serve() {
    std::unique_lock<std::mutex> held(mutex_);
    for (;;) {
      changed_.wait(held, [this] { return busy_; });
      std::function<void()> job = std::move(job_);
      held.unlock();
      if (job) job();
      held.lock();
      busy_ = false;
      changed_.notify_all();
      if (!job) return;
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<void()> job_;
  bool busy_ = false;
  std::thread thread_;  // last: starts once the members it uses exist
};

}  // namespace vexa_test

#endif  // VEXA_TEST_WORKER_H
