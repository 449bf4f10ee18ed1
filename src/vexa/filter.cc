#include "filter.h"

namespace vexa {

bool logging_filter_t::point_match(std::set<range_t> const& ranges, address_t a) {
  range_t const key{a, 0};
  auto r = ranges.lower_bound(key);
  return r != ranges.end() && !(key < *r) && a >= r->base;
}

bool logging_filter_t::access_match(std::set<range_t> const& ranges, address_t a, address_t s) {
  range_t const key{a, s};
  auto r = ranges.lower_bound(key);
  return r != ranges.end() && !(key < *r) && a >= r->base && s <= r->size;
}

}  // namespace vexa
