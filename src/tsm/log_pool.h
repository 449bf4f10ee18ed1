// Access logs for the detector, in slabs that live as long as the detector:
// a log no live task holds goes back to the free list and serves the next
// new object, so memory follows the live working set, while a thread that
// still holds a pointer to a recycled log can lock it safely (access_log.h).
//
// Everything here runs under the detector's structure lock.
#ifndef VEXA_TSM_LOG_POOL_H
#define VEXA_TSM_LOG_POOL_H

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
    if (free_ == nullptr) refill();
    access_log_t* l = free_;
    free_ = l->pool_next;
    l->pool_next = nullptr;
    return l;
  }
  // Takes back a dead log whose site lists are empty.
  void release(access_log_t* l) {
    l->pool_next = free_;
    free_ = l;
  }
  std::size_t capacity() const { return slabs_.size() * slab_logs; }

  // Locks and unlocks every log ever made, for the fork handlers.
  template <class F>
  void for_each(F&& f) {
    for (auto& s : slabs_)
      for (std::size_t i = 0; i < slab_logs; ++i) f(s[i]);
  }

 private:
  void refill() {
    slabs_.reserve(slabs_.size() + 1);  // may throw; nothing changed yet
    std::unique_ptr<access_log_t[]> slab(new access_log_t[slab_logs]);
    for (std::size_t i = slab_logs; i-- > 0;) release(&slab[i]);
    slabs_.push_back(std::move(slab));
  }

  std::vector<std::unique_ptr<access_log_t[]>> slabs_;
  access_log_t* free_ = nullptr;
};

}  // namespace vexa

#endif  // VEXA_TSM_LOG_POOL_H
