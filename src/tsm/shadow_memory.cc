#include "shadow_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

namespace vexa {

shadow_memory_t shadow_memory;

namespace {

void* map_zeroed(std::size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

}  // namespace

shadow_memory_t::leaf_t* shadow_memory_t::table() {
  // Pairs with the release CAS below.
  leaf_t* t = table_.load(std::memory_order_acquire);
  if (VEXA_LIKELY(t != nullptr)) return t;
  // Fresh anonymous pages are zero: every leaf pointer starts null.
  auto* made = static_cast<leaf_t*>(map_zeroed(leaves * sizeof(leaf_t)));
  if (made == nullptr) {
    refused_.store(true, std::memory_order_relaxed);  // a hint only: pairs with nothing
    return nullptr;
  }
  // Release: the zeroed table before its pointer; acquire on failure pairs
  // with the winner's release.
  if (table_.compare_exchange_strong(t, made, std::memory_order_acq_rel, std::memory_order_acquire)) return made;
  munmap(made, leaves * sizeof(leaf_t));
  return t;
}

shadow_memory_t::word_t* shadow_memory_t::word(address_t a) {
  if (word_t* w = find(a)) return w;
  // Relaxed, like the counter: a hint, at worst one more leaf is tried.
  if ((a >> (address_bits - 1) >> 1) != 0 || refused_.load(std::memory_order_relaxed)) return nullptr;
  leaf_t* t = table();
  if (t == nullptr) return nullptr;
  leaf_t& slot = t[a >> leaf_bits];
  word_t* leaf = slot.load(std::memory_order_acquire);  // pairs with the release CAS below
  if (leaf == nullptr) {
    // Relaxed: the counter only hands out distinct slots; the load first
    // keeps a process at the cap from contending for it at every access.
    if (made_.load(std::memory_order_relaxed) >= most_) return nullptr;
    std::size_t const n = made_.fetch_add(1, std::memory_order_relaxed);
    if (n >= most_) return nullptr;
    auto* made = static_cast<word_t*>(map_zeroed(leaf_bytes));
    if (made == nullptr) {
      refused_.store(true, std::memory_order_relaxed);
      return nullptr;
    }
    // Listed before it is published, so that whoever sees the leaf (through
    // the CAS's release) also finds it on the list; stored plus one, so 0
    // is unset. A walk of the list may meet a loser's entry for a moment:
    // it names the same leaf, and the walks take each leaf once.
    made_leaves_[n].store((a >> leaf_bits) + 1, std::memory_order_relaxed);
    // Release: the zeroed leaf before its pointer (pairs with find()'s
    // acquire); acquire on failure pairs with the winner's release.
    if (slot.compare_exchange_strong(leaf, made, std::memory_order_acq_rel, std::memory_order_acquire)) {
      leaf = made;
    } else {
      made_leaves_[n].store(0, std::memory_order_relaxed);
      munmap(made, leaf_bytes);
    }
  }
  return leaf + ((a & ((address_t{1} << leaf_bits) - 1)) >> granule_bits);
}

void shadow_memory_t::clear(address_t begin, address_t end) {
  if (begin >= end) return;
  for_each_leaf(begin & ~(granule - 1), std::uint64_t{end} - 1,
                [](word_t* leaf, std::uint64_t, std::uint64_t lo, std::uint64_t hi) {
                  clear_words(leaf + index_in_leaf(static_cast<address_t>(lo)),
                              leaf + index_in_leaf(static_cast<address_t>(hi)) + 1);
                });
}

void shadow_memory_t::clear_words(word_t* first, word_t* end) {
  static std::size_t const page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  // Whole pages of words go back to the system, and read as zero after; a
  // stamp stored there meanwhile (by an access racing with the free) is
  // lost or kept, and either is only a repeat taken the slow way.
  auto const lo = (to_address(first) + page - 1) & ~address_t{page - 1};
  auto const hi = to_address(end) & ~address_t{page - 1};
  auto const empty = [](word_t& w) { w.store(0, std::memory_order_relaxed); };
  if (hi > lo) {
    madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_DONTNEED);
    std::for_each(first, reinterpret_cast<word_t*>(lo), empty);
    std::for_each(reinterpret_cast<word_t*>(hi), end, empty);
  } else {
    std::for_each(first, end, empty);
  }
}

void shadow_memory_t::unmap() {
  leaf_t* const t = table_.load(std::memory_order_relaxed);  // no other thread reaches this shadow
  if (t == nullptr) return;
  std::size_t const made = std::min(made_.load(std::memory_order_relaxed), most_);
  for (std::size_t i = 0; i < made; ++i) {
    std::size_t const listed = made_leaves_[i].load(std::memory_order_relaxed);
    if (listed == 0) continue;
    if (word_t* leaf = t[listed - 1].load(std::memory_order_relaxed)) munmap(leaf, leaf_bytes);
  }
  munmap(t, leaves * sizeof(leaf_t));
  table_.store(nullptr, std::memory_order_relaxed);
  made_.store(0, std::memory_order_relaxed);
  for (auto& m : made_leaves_) m.store(0, std::memory_order_relaxed);
}

}  // namespace vexa
