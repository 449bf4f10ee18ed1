// A detector's filter over code ranges, data ranges and thread identities.
//
// Lifecycle: built as a private working copy by the filter commands (or from
// VEXA_RE at load), then installed in a detector with one pointer store and
// from then on only read, by any thread, without a lock. An installed filter
// is never changed and never freed, which is what makes those unlocked reads
// safe.
#ifndef VEXA_FILTER_H
#define VEXA_FILTER_H

#include <cstdint>
#include <set>

#include "base.h"

namespace vexa {

class logging_filter_t {
 public:
  struct range_t {
    address_t base;
    address_t size;

    address_t end() const { return base + size; }  // wraps, as the debugger's arithmetic does

    // a < b when a starts and ends before b. Ranges that contain one another
    // (a shared start or end counts) are equivalent, so an insert of a range
    // inside a listed one fails, and erasing a wide range removes every
    // listed range inside it. This is not a strict weak order over arbitrary
    // ranges; std::set runs its ordinary algorithms on it all the same, and
    // the results debuggers rely on are those of exactly these comparisons.
    friend bool operator<(range_t const& a, range_t const& b) {
      return a.base < b.base && a.end() < b.end();
    }
  };

  enum : std::uint32_t { mode_only = 0, mode_ignore = 1 };

  logging_filter_t() = default;
  logging_filter_t(logging_filter_t const&) = default;
  logging_filter_t& operator=(logging_filter_t const&) = delete;

  // Is address a inside one of the ranges? A range's end address counts as
  // inside.
  static bool point_match(std::set<range_t> const& ranges, address_t a);
  // Do the bytes [a, a + s) lie within one of the ranges?
  static bool access_match(std::set<range_t> const& ranges, address_t a, address_t s);
  // Does a value that is (or is not) inside pass under the mode flag?
  static bool verdict(bool inside, std::uint32_t mode) {
    return (inside && mode == mode_only) || (!inside && mode == mode_ignore);
  }

  bool code_passes(address_t a) const { return verdict(point_match(code_ranges, a), code_mode); }
  bool access_passes(address_t a, address_t s) const {
    return verdict(access_match(data_ranges, a, s), data_mode);
  }

  std::set<range_t> code_ranges;
  std::set<range_t> data_ranges;
  std::set<thread_model_t::threadid_t> thread_ids;
  std::uint32_t code_mode = mode_ignore;
  std::uint32_t data_mode = mode_ignore;
  std::uint32_t thread_mode = mode_ignore;
};

}  // namespace vexa

#endif  // VEXA_FILTER_H
