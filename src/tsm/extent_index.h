// The extent index: every live access log in address order, kept apart by
// size class, so that the logs sharing a byte with an object are found in
// time proportional to log(n) plus what is found, however large the largest
// object ever logged.
//
// Class c holds the objects of 2^c to 2^(c+1) - 1 bytes (class 0 also those
// of 0 bytes, which count as one byte here). An object of class c that
// reaches into [lo, hi) starts above lo - 2^(c+1), so each class is one
// ordered range query. Programs use few sizes, and a mask of the classes in
// use skips the rest.
//
// Everything here runs under the detector's structure lock.
#ifndef VEXA_TSM_EXTENT_INDEX_H
#define VEXA_TSM_EXTENT_INDEX_H

#include <cstdint>
#include <set>

#include "access_log.h"

namespace vexa {

class extent_index_t {
 public:
  static constexpr unsigned classes = sizeof(address_t) * 8;

  struct entry_t {
    object_t key;
    access_log_t* log;
    friend bool operator<(entry_t const& a, entry_t const& b) { return a.key < b.key; }
  };

  // The bytes an object stands for here: [base, base + max(size, 1)), in
  // 64 bits so that nothing wraps.
  static std::uint64_t low(object_t const& o) { return o.base; }
  static std::uint64_t high(object_t const& o) {
    return static_cast<std::uint64_t>(o.base) + (o.size == 0 ? 1 : static_cast<std::uint64_t>(o.size));
  }
  static unsigned class_of(address_t size) {
    return size <= 1 ? 0 : static_cast<unsigned>(sizeof(unsigned long long) * 8 - 1 - __builtin_clzll(size));
  }

  // May throw std::bad_alloc, leaving the index as it was.
  void insert(object_t const& key, access_log_t* log) {
    unsigned const c = class_of(key.size);
    by_class_[c].insert(entry_t{key, log});
    used_ |= 1ull << c;
  }
  void erase(object_t const& key) {
    unsigned const c = class_of(key.size);
    by_class_[c].erase(entry_t{key, nullptr});
    if (by_class_[c].empty()) used_ &= ~(1ull << c);
  }
  void clear() {
    for (auto& s : by_class_) s.clear();
    used_ = 0;
  }

  // Calls f(entry) for every log whose bytes meet [lo, hi), class by class.
  template <class F>
  void for_each_meeting(std::uint64_t lo, std::uint64_t hi, F&& f) const {
    for (std::uint64_t mask = used_; mask != 0; mask &= mask - 1) {
      unsigned const c = static_cast<unsigned>(__builtin_ctzll(mask));
      std::uint64_t const reach = std::uint64_t{2} << c;  // longer than any object of the class
      std::uint64_t const from = lo >= reach ? lo - reach + 1 : 0;
      auto const& s = by_class_[c];
      for (auto it = s.lower_bound(entry_t{{static_cast<address_t>(from), 0}, nullptr});
           it != s.end() && low(it->key) < hi; ++it)
        if (high(it->key) > lo) f(*it);
    }
  }

  // The greatest key that is not above k, over all classes; false if none.
  bool greatest_at_most(object_t const& k, object_t& out) const {
    bool found = false;
    for (std::uint64_t mask = used_; mask != 0; mask &= mask - 1) {
      auto const& s = by_class_[__builtin_ctzll(mask)];
      auto it = s.upper_bound(entry_t{k, nullptr});
      if (it == s.begin()) continue;
      --it;
      if (!found || out < it->key) out = it->key;
      found = true;
    }
    return found;
  }

 private:
  std::set<entry_t> by_class_[classes];
  std::uint64_t used_ = 0;  // bit c: class c is not empty
};

}  // namespace vexa

#endif  // VEXA_TSM_EXTENT_INDEX_H
