// Task handles: small numbers that key the detectors' per-task state.
#ifndef VEXA_TASK_HANDLES_H
#define VEXA_TASK_HANDLES_H

#include <cstdint>
#include <map>

#include "../lock/check.h"
#include "base.h"

namespace vexa {

// The smallest handle (1..65535) that `threads` does not use, or 0 when all
// are taken. Walks from the smallest entry to the first gap, so it is short
// while few tasks live.
template <class Map>
unsigned short choose_handle(Map const& threads) {
  unsigned candidate = 1;
  for (auto it = threads.begin(); it != threads.end() && it->first == candidate; ++it) ++candidate;
  return candidate > 65535 ? 0 : static_cast<unsigned short>(candidate);
}

// Which handles are in use, one bit each, so that the smallest free one is
// found a word at a time however many tasks live (finished tasks that keep
// their accesses keep their handles too, and a walk of the thread model
// from handle 1 grew with them). Guarded by the runtime lock, as the thread
// model it mirrors; choose() confirms its answer there and falls back to the
// walk when the two disagree (a thread model filled by other means).
class handle_bits_t {
 public:
  template <class Map>
  unsigned short choose(Map const& threads) const {
    for (unsigned w = 0; w < words; ++w) {
      if (used_[w] == ~std::uint64_t{0}) continue;
      unsigned const h = w * 64 + static_cast<unsigned>(__builtin_ctzll(~used_[w]));
      if (h == 0 || h > 65535) break;
      // In step with the thread model, it holds every handle below h.
      if (threads.size() >= h - 1 && threads.find(static_cast<unsigned short>(h)) == threads.end())
        return static_cast<unsigned short>(h);
      break;
    }
    return choose_handle(threads);
  }
  void take(unsigned short h) {
    VEXA_CHECK(h != 0 && !(used_[h / 64] & (std::uint64_t{1} << (h % 64))));
    used_[h / 64] |= std::uint64_t{1} << (h % 64);
  }
  void give_back(unsigned short h) { used_[h / 64] &= ~(std::uint64_t{1} << (h % 64)); }

 private:
  static constexpr unsigned words = 65536 / 64;
  std::uint64_t used_[words] = {1};  // handle 0 is never given out
};

}  // namespace vexa

#endif  // VEXA_TASK_HANDLES_H
