// Access logs for the detector, in slabs that live as long as the detector:
// a log no live task holds goes back to the free list and serves the next
// new object, so memory follows the live working set, while a thread that
// still holds a pointer to a recycled log can lock it safely (access_log.h).
//
// Everything here runs under the detector's structure lock (the lock of the
// shard it belongs to, tsm.h), except making a slab: its constructors touch
// fresh pages, and the faults should not hold up every thread that wants a
// new log, so creators make one beforehand when the pool runs low
// (running_low()) and hand it in under the lock (add()).
#ifndef VEXA_TSM_LOG_POOL_H
#define VEXA_TSM_LOG_POOL_H

#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

#include "access_log.h"

namespace vexa {

class log_pool_t {
 public:
  static constexpr std::size_t slab_logs = 256;

  // A dead log with empty site lists; may throw std::bad_alloc.
  access_log_t* acquire() {
    if (free_ == nullptr) add(make_slab());
    access_log_t* l = free_;
    free_ = l->pool_next;
    l->pool_next = nullptr;
    free_count_.store(free_count_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    return l;
  }
  // Takes back a dead log whose site lists are empty.
  void release(access_log_t* l) {
    l->pool_next = free_;
    free_ = l;
    free_count_.store(free_count_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }

  // Without the lock: whether a creator should make a slab first. Pairs
  // with nothing: a stale answer costs one slab made early, or made under
  // the lock by acquire().
  bool running_low() const { return free_count_.load(std::memory_order_relaxed) < 2; }
  // Without the lock; may throw std::bad_alloc.
  static std::unique_ptr<access_log_t[]> make_slab() {
    return std::unique_ptr<access_log_t[]>(new access_log_t[slab_logs]);
  }
  // Its logs join the free list; may throw std::bad_alloc, leaving the pool
  // as it was (the slab goes).
  void add(std::unique_ptr<access_log_t[]> slab) {
    slabs_.reserve(slabs_.size() + 1);
    for (std::size_t i = slab_logs; i-- > 0;) release(&slab[i]);
    slabs_.push_back(std::move(slab));
  }
  std::size_t capacity() const { return slabs_.size() * slab_logs; }

  // Locks and unlocks every log ever made, for the fork handlers.
  template <class F>
  void for_each(F&& f) {
    for (auto& s : slabs_)
      for (std::size_t i = 0; i < slab_logs; ++i) f(s[i]);
  }

 private:
  std::vector<std::unique_ptr<access_log_t[]>> slabs_;
  access_log_t* free_ = nullptr;
  std::atomic<std::size_t> free_count_{0};  // written under the structure lock
};

}  // namespace vexa

#endif  // VEXA_TSM_LOG_POOL_H
