// The key of one memory object as the memory hooks report it.
#ifndef VEXA_TSM_OBJECT_H
#define VEXA_TSM_OBJECT_H

#include "../vexa/base.h"

namespace vexa {

// [base, base + size). Equal bases with different sizes are different
// objects with separate access logs; ordered by base, then size.
struct object_t {
  address_t base;
  address_t size;

  friend bool operator==(object_t const& a, object_t const& b) { return a.base == b.base && a.size == b.size; }
  friend bool operator<(object_t const& a, object_t const& b) {
    return a.base < b.base || (a.base == b.base && a.size < b.size);
  }
};

}  // namespace vexa

#endif  // VEXA_TSM_OBJECT_H
