// The common base of the two detectors.
#ifndef VEXA_FEATURE_H
#define VEXA_FEATURE_H

#include <atomic>

#include "filter.h"
#include "../lock/lock.h"

namespace vexa {

class feature_t {
 public:
  explicit feature_t(lock_rank rank) : filter(nullptr), feature_lock(rank) {}
  feature_t(feature_t const&) = delete;
  feature_t& operator=(feature_t const&) = delete;

  // Tells the feature which lock is held outside its own. Every lock has
  // its rank in the one lock order (lock.h), which a checking build checks
  // at every acquisition, so this has nothing left to do.
  virtual void initialize_lock_order(lock_t const& outer) { (void)outer; }
  // Drops everything the detector has gathered; called by configure() with
  // the runtime lock held.
  virtual void reset() = 0;
  // Leaves the filter alone: an installed filter may still be read by a
  // hook on another thread, so vexa never frees one.
  virtual ~feature_t() = default;

  // The installed filter, null for none. Written only by configure() (and
  // by the construction of re_t); read by hooks without a lock. The release
  // store in install_filter() pairs with the acquire load in
  // current_filter(), so a reader sees a completely built filter.
  std::atomic<logging_filter_t const*> filter;
  lock_t feature_lock;

  logging_filter_t const* current_filter() const { return filter.load(std::memory_order_acquire); }
  void install_filter(logging_filter_t const* f) { filter.store(f, std::memory_order_release); }
};

}  // namespace vexa

#endif  // VEXA_FEATURE_H
