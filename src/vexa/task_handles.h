// Task handles: small numbers that key the detectors' per-task state.
#ifndef VEXA_TASK_HANDLES_H
#define VEXA_TASK_HANDLES_H

#include <cstdint>

#include "base.h"

namespace vexa {

// The smallest handle (1..65535) that `threads` does not use, or 0 when all
// are taken: the rule by which entries get handles. Walks from the smallest
// entry to the first gap; the thread model finds the same a word at a time
// (identity_map_t::first_free()).
template <class Map>
unsigned short choose_handle(Map const& threads) {
  unsigned candidate = 1;
  for (auto it = threads.begin(); it != threads.end() && it->first == candidate; ++it) ++candidate;
  return candidate > 65535 ? 0 : static_cast<unsigned short>(candidate);
}

}  // namespace vexa

#endif  // VEXA_TASK_HANDLES_H
