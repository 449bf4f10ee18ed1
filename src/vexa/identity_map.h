// The thread model's map from task handle to identity (runtime.h,
// vexa_t::threads), kept flat: every task entry and leave writes it under
// the runtime lock, and a tree's node allocation and rebalancing were a
// third of that hold. Blocks of 256 identities are allocated on first use
// and kept; a bitmap says which handles are in the map, and so finds the
// smallest free handle a word at a time however many tasks hold one
// (finished tasks that keep their accesses keep their handles too).
//
// It answers the part of std::map's interface that the library and its
// tests use (find, operator[], erase, iteration in handle order, size).
// Iterators hold a copy of the entry: they are for reading and erasing.
// Guarded by its owner (the runtime lock); no locks or atomics of its own.
#ifndef VEXA_IDENTITY_MAP_H
#define VEXA_IDENTITY_MAP_H

#include <cstddef>
#include <cstdint>

#include "base.h"

namespace vexa {

class identity_map_t {
 public:
  using identity_t = thread_model_t::threadid_t;

  class iterator {
   public:
    struct value_t {
      unsigned short first;
      identity_t second;
    };
    value_t const& operator*() const { return value_; }
    value_t const* operator->() const { return &value_; }
    iterator& operator++() {
      *this = map_->from(at_ + 1);
      return *this;
    }
    friend bool operator==(iterator const& a, iterator const& b) { return a.at_ == b.at_; }
    friend bool operator!=(iterator const& a, iterator const& b) { return a.at_ != b.at_; }

   private:
    friend class identity_map_t;
    iterator(identity_map_t const* map, std::uint32_t at) : map_(map), at_(at) {
      if (at < handles) value_ = {static_cast<unsigned short>(at), map->slot(at)};
    }
    identity_map_t const* map_;
    std::uint32_t at_;  // `handles` at the end
    value_t value_{};
  };

  identity_map_t() = default;
  identity_map_t(identity_map_t const&) = delete;
  identity_map_t& operator=(identity_map_t const&) = delete;
  ~identity_map_t() {
    for (identity_t* b : blocks_) delete[] b;
  }

  // The identity of handle h, made {0, 0} if it was not in the map. May
  // throw std::bad_alloc (the first handle of a block), leaving the map as
  // it was.
  identity_t& operator[](unsigned short h) {
    identity_t*& block = blocks_[h >> 8];
    if (block == nullptr) block = new identity_t[256]();
    identity_t& slot = block[h & 0xff];
    if (!contains(h)) {
      used_[h / 64] |= std::uint64_t{1} << (h % 64);
      ++size_;
      slot = {0, 0};
    }
    return slot;
  }
  iterator emplace_hint(iterator, unsigned short h, identity_t const& identity) {
    (*this)[h] = identity;
    return iterator(this, h);
  }

  // The smallest handle (1..65535) not in the map, or 0 when all are taken:
  // the rule by which task entries get handles.
  unsigned short first_free() const {
    for (std::uint32_t w = 0; w < handles / 64; ++w) {
      std::uint64_t free = ~used_[w];
      if (w == 0) free &= ~std::uint64_t{1};  // handle 0 is never given out
      if (free != 0) return static_cast<unsigned short>(w * 64 + static_cast<std::uint32_t>(__builtin_ctzll(free)));
    }
    return 0;
  }

  iterator find(unsigned short h) const { return contains(h) ? iterator(this, h) : end(); }
  std::size_t count(unsigned short h) const { return contains(h) ? 1 : 0; }
  iterator begin() const { return from(0); }
  iterator end() const { return iterator(this, handles); }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  std::size_t erase(unsigned short h) {
    if (!contains(h)) return 0;
    used_[h / 64] &= ~(std::uint64_t{1} << (h % 64));
    --size_;
    return 1;
  }
  iterator erase(iterator it) {
    erase(it->first);
    return from(std::uint32_t{it->first} + 1);
  }
  void clear() {
    for (std::uint64_t& w : used_) w = 0;
    size_ = 0;
  }
  // Frees the blocks that hold no handle, so that the next entry into one
  // allocates again (tests: an entry that runs out of memory there).
  void release_empty_blocks() {
    for (std::uint32_t b = 0; b < handles / 256; ++b) {
      bool empty = true;
      for (std::uint32_t w = b * 4; w < b * 4 + 4; ++w) empty = empty && used_[w] == 0;
      if (!empty) continue;
      delete[] blocks_[b];
      blocks_[b] = nullptr;
    }
  }

 private:
  static constexpr std::uint32_t handles = 65536;

  bool contains(std::uint32_t h) const { return (used_[h / 64] >> (h % 64)) & 1; }
  identity_t const& slot(std::uint32_t h) const { return blocks_[h >> 8][h & 0xff]; }
  // The first handle in the map at or above h.
  iterator from(std::uint32_t h) const {
    for (std::uint32_t w = h / 64; w < handles / 64; ++w) {
      std::uint64_t bits = used_[w];
      if (w == h / 64) bits &= ~std::uint64_t{0} << (h % 64);
      if (bits != 0) return iterator(this, w * 64 + static_cast<std::uint32_t>(__builtin_ctzll(bits)));
    }
    return end();
  }

  identity_t* blocks_[handles / 256] = {};
  std::uint64_t used_[handles / 64] = {};
  std::size_t size_ = 0;
};

}  // namespace vexa

#endif  // VEXA_IDENTITY_MAP_H
