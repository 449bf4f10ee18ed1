// State kept per task handle and reached without a map: blocks of 256
// slots, a block allocated the first time one of its handles needs a slot.
// Handles are given out smallest first, so a program with few live tasks
// touches one block. 256 blocks cover the 16-bit handles; the sharing
// detector's tables take more, for the keys of finished tasks (tsm.h).
//
// A block, once published, is never moved or freed before the table, so a
// slot pointer stays valid. Who may touch a slot is the owner's business
// (the detectors: the thread that runs the handle's task).
#ifndef VEXA_HANDLE_TABLE_H
#define VEXA_HANDLE_TABLE_H

#include <atomic>
#include <cstdint>
#include <memory>

#include "../lock/check.h"
#include "../lock/lock.h"

namespace vexa {

template <class T, unsigned Blocks = 256>
class handle_table_t {
  static_assert(Blocks >= 256, "the 16-bit handles at least");

 public:
  handle_table_t() = default;
  handle_table_t(handle_table_t const&) = delete;
  handle_table_t& operator=(handle_table_t const&) = delete;
  ~handle_table_t() {
    for (auto& b : low_) delete[] b.load(std::memory_order_relaxed);
    if (std::atomic<T*>* high = high_.load(std::memory_order_relaxed)) {
      for (unsigned b = 0; b < Blocks - 256; ++b) delete[] high[b].load(std::memory_order_relaxed);
      delete[] high;
    }
  }

  static constexpr std::uint32_t limit = Blocks * 256;  // handles are below it

  // The slot of handle h, or null while its block does not exist.
  T* find(std::uint32_t h) const {
    std::atomic<T*> const* b = block_of(h);
    if (b == nullptr) return nullptr;
    // Pairs with the release store in grow(): a block is seen built.
    T* block = b->load(std::memory_order_acquire);
    return block == nullptr ? nullptr : block + (h & 0xff);
  }

  // The slot of handle h; its block is allocated when missing (may throw
  // std::bad_alloc, leaving the table as it was).
  T& at(std::uint32_t h) {
    VEXA_CHECK(h < limit);
    if (T* slot = find(h)) return *slot;
    return grow(h);
  }

  // Every slot of every existing block, in handle order.
  template <class F>
  void for_each(F&& f) {
    for (std::uint32_t b = 0; b < Blocks; ++b) {
      std::atomic<T*> const* at = block_of(b << 8);
      if (at == nullptr) break;  // no blocks above 65535 yet
      T* block = at->load(std::memory_order_acquire);  // pairs with the release in grow()
      if (block == nullptr) continue;
      for (unsigned i = 0; i < 256; ++i) f(static_cast<std::uint32_t>(b << 8 | i), block[i]);
    }
  }

  // Taken and released by the fork handlers, so that no block is half
  // published in a child.
  lock_t& lock() { return grow_lock_; }

 private:
  // Where the pointer to h's block is kept, or null when nothing above the
  // handles was ever allocated. The blocks past 65535 hang off an array of
  // their own, made on first use, so that a table that never holds more
  // than handles costs no more memory than one of 256 blocks.
  std::atomic<T*> const* block_of(std::uint32_t h) const {
    if (VEXA_LIKELY(h < 65536)) return &low_[h >> 8];
    if (h >= limit) return nullptr;
    // Pairs with the release in grow(): the array is seen zeroed.
    std::atomic<T*> const* high = high_.load(std::memory_order_acquire);
    return high == nullptr ? nullptr : &high[(h >> 8) - 256];
  }

  [[gnu::noinline]] T& grow(std::uint32_t h) {
    lock_scope held(grow_lock_);
    if (h >= 65536 && high_.load(std::memory_order_relaxed) == nullptr)  // writers hold grow_lock_
      high_.store(new std::atomic<T*>[Blocks - 256](), std::memory_order_release);
    std::atomic<T*>& b = const_cast<std::atomic<T*>&>(*block_of(h));
    T* block = b.load(std::memory_order_relaxed);  // writers hold grow_lock_
    if (block == nullptr) {
      block = new T[256]();
      // Publish the built block; pairs with the acquire loads in find().
      b.store(block, std::memory_order_release);
    }
    return block[h & 0xff];
  }

  std::atomic<T*> low_[256] = {};
  std::atomic<std::atomic<T*>*> high_{nullptr};
  lock_t grow_lock_{lock_rank::handle_table};  // serialises block allocation
};

}  // namespace vexa

#endif  // VEXA_HANDLE_TABLE_H
