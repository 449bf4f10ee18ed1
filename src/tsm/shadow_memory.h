// Shadow memory: one word for every 8-byte granule of the program's memory,
// found from the address alone, holding the stamp of the last repeat that
// was logged and checked without a conflict and left its object's log as
// it was (repeat_cache.h). An access whose stamp is already there returns
// after one load and one compare, without a lookup, a lock or a site
// search: the common case of dense code that reads the same elements over
// and over from one task.
//
// A stamp stands only while the object's log is unchanged: the log's next
// change (access_log_t::changed(), under its lock) clears the word of its
// object's granule if the log left a stamp there, and a stamp is written
// under the log's lock, after the log and check it vouches for. Only
// objects that lie within one granule get stamps, so that their granule's
// word is the one place to clear.
//
// The detector keeps a second shadow of its own, whose words head the
// chains of the logs of each granule's objects (log_index.h). Its words are
// written at first touches, so each leaf also notes which of its pages of
// words were ever written, and lookups read only those (find_written()).
//
// Two levels, allocated on demand and never given back whole: a table of
// leaves by the address's high bits, and leaves of words mapped without
// reserving swap, so that only the pages of words ever written take memory
// (8 bytes per 8 bytes touched). On i386 the leaves cover 2 MiB each and
// the table is 8 KiB; on x86_64 they cover 16 MiB and the table, also
// mapped on demand, covers the 47-bit user address space. Freeing a wide
// range gives its words' pages back (clear()). Past a number of leaves,
// or when the address space or memory runs out, an address simply has no
// word and takes the slow path.
#ifndef VEXA_TSM_SHADOW_MEMORY_H
#define VEXA_TSM_SHADOW_MEMORY_H

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "../vexa/base.h"

namespace vexa {

class shadow_memory_t {
 public:
  using word_t = std::atomic<std::uint64_t>;

  constexpr shadow_memory_t() = default;
  // At most `most` leaves (at most leaves_at_most, below).
  constexpr explicit shadow_memory_t(std::size_t most) : most_(most < leaves_at_most ? most : leaves_at_most) {}
  static constexpr unsigned granule_bits = 3;
  static constexpr address_t granule = address_t{1} << granule_bits;
#if UINTPTR_MAX > 0xffffffffu
  static constexpr unsigned address_bits = 47;
  static constexpr unsigned leaf_bits = 24;
#else
  static constexpr unsigned address_bits = 32;
  static constexpr unsigned leaf_bits = 21;
#endif
  static constexpr std::size_t leaves = std::size_t{1} << (address_bits - leaf_bits);
  static constexpr std::size_t words_per_leaf = std::size_t{1} << (leaf_bits - granule_bits);
  // Each leaf ends with a bitmap of its pages of words ever written (see
  // find_written()).
  static constexpr std::size_t words_per_page = 4096 / sizeof(word_t);
  static constexpr std::size_t pages_per_leaf = words_per_leaf / words_per_page;
  // ... and with, for each page, a bitmap of its lines of eight words that
  // head a chain, and for each line a count of the chains linked there
  // (see note_chained()).
  static constexpr std::size_t words_per_line = 8;
  static constexpr std::size_t lines_per_leaf = words_per_leaf / words_per_line;
  static constexpr std::size_t lines_per_page = words_per_page / words_per_line;
  static_assert(lines_per_page == 64, "a page's lines fit a word of bits");
  static constexpr std::size_t leaf_bytes = words_per_leaf * sizeof(word_t) + pages_per_leaf / 8 +
                                            pages_per_leaf * sizeof(std::uint64_t) + lines_per_leaf * sizeof(std::uint16_t);
  // A granule holds at most 36 objects (each start and size within it): a
  // line's count needs more than a byte.
  static_assert(words_per_line * 36 <= UINT16_MAX, "chain counts fit");

  // Whether [base, base + size) has a word of its own to hold a stamp.
  static bool fits(address_t base, address_t size) {
    return size != 0 && size <= granule && (base & (granule - 1)) + size <= granule;
  }

  // The word of a's granule, or null when it has none yet.
  word_t* find(address_t a) const {
    word_t* const leaf = leaf_of(a);
    return leaf == nullptr ? nullptr : leaf + index_in_leaf(a);
  }

  // The same, making the leaf when there is none; null when it cannot be
  // made (no address space or memory left).
  word_t* word(address_t a);

  // The word of a's granule if a word of its page was ever written (and
  // noted, below), or null. A lookup that read a page of words before any
  // was written would map the shared zero page there, and the first write
  // after it would copy the page and flush every other processor's TLB:
  // an interprocessor interrupt per page, which was most of a heap
  // program's system time.
  word_t* find_written(address_t a) const {
    word_t* const leaf = leaf_of(a);
    if (leaf == nullptr) return nullptr;
    std::size_t const i = index_in_leaf(a);
    // Pairs with the release in note_written(), after the word's store.
    return (written_bits(leaf)[i / words_per_page / 64].load(std::memory_order_acquire) & page_bit(i)) != 0
               ? leaf + i
               : nullptr;
  }
  // Counts a log linked into (by 1) or out of (by -1) the chain that a's
  // word heads, in a's line of words, and marks in its page's bitmap
  // whether the line heads any (a walk then takes a page's lines a word at
  // a time, not one by one: every task's end walks its dead stack). The
  // caller serialises the changes within each megabyte of the program's
  // memory (the structure shard's lock: a line and a page of words stand
  // for less), and so the walks that read them.
  void note_chained(address_t a, int by) {
    word_t* const leaf = leaf_of(a);
    std::size_t const i = index_in_leaf(a);
    std::atomic<std::uint16_t>& count = line_counts(leaf)[i / words_per_line];
    auto const before = count.load(std::memory_order_relaxed);
    auto const after = static_cast<std::uint16_t>(before + by);
    count.store(after, std::memory_order_relaxed);
    if ((before == 0) == (after == 0)) return;
    std::atomic<std::uint64_t>& lines = page_lines(leaf)[i / words_per_page];
    std::uint64_t const bit = std::uint64_t{1} << (i / words_per_line % lines_per_page);
    lines.store(lines.load(std::memory_order_relaxed) ^ bit, std::memory_order_relaxed);
  }
  // Calls f(first, words) for every line of eight words that stands for
  // bytes of [begin, last] and heads a chain (note_chained()): `first` is
  // the first address the line stands for, `words` its first word. Leaf by
  // leaf, each once (a range over more leaves than were made visits
  // those), skipping pages never written and those without chains.
  template <class F>
  void for_each_chained_line(std::uint64_t begin, std::uint64_t last, F&& f) const;

  // Notes that a's word (which exists) was written, after the store.
  void note_written(address_t a) {
    word_t* const leaf = leaf_of(a);
    std::size_t const i = index_in_leaf(a);
    std::atomic<std::uint64_t>& bits = written_bits(leaf)[i / words_per_page / 64];
    std::uint64_t const bit = page_bit(i);
    // Once per page: the load spares the line a locked write every time.
    if ((bits.load(std::memory_order_relaxed) & bit) == 0) bits.fetch_or(bit, std::memory_order_release);
  }

  // Empties every word of [begin, end), giving their pages back where
  // whole pages lie inside.
  void clear(address_t begin, address_t end);

  // Gives every leaf and the table back. Only for a shadow that no thread
  // can reach any more (its owner is being destroyed): the process's own
  // lives as long as the process.
  void unmap();

  // Empties a's word, if it has one; the caller holds the lock of the log
  // whose stamps it ends.
  void erase(address_t a) {
    if (word_t* w = find(a)) w->store(0, std::memory_order_relaxed);
  }

 private:
  using leaf_t = std::atomic<word_t*>;
  // No lock: a leaf is published once, with a release CAS in word(), and
  // never moves.
  word_t* leaf_of(address_t a) const {
    if (VEXA_UNLIKELY((a >> (address_bits - 1) >> 1) != 0)) return nullptr;
    // Pairs with the release CAS that published the table in table().
    leaf_t const* t = table_.load(std::memory_order_acquire);
    if (VEXA_UNLIKELY(t == nullptr)) return nullptr;
    // Pairs with the release CAS that published the leaf in word().
    return t[a >> leaf_bits].load(std::memory_order_acquire);
  }
  static std::size_t index_in_leaf(address_t a) {
    return static_cast<std::size_t>((a & ((address_t{1} << leaf_bits) - 1)) >> granule_bits);
  }
  // The bitmap of a leaf's written pages, past its words, then its counts.
  static std::atomic<std::uint64_t>* written_bits(word_t* leaf) {
    return reinterpret_cast<std::atomic<std::uint64_t>*>(leaf + words_per_leaf);
  }
  // The bit of word i's page in its word of the bitmap.
  static std::uint64_t page_bit(std::size_t i) { return std::uint64_t{1} << (i / words_per_page % 64); }
  // Atomic only because a walk reads the bitmaps of other shards' pages on
  // its way (and skips them): relaxed, each is written under one shard's
  // lock (a page of words stands for less than a megabyte), and the walks
  // that use it hold that lock.
  static std::atomic<std::uint64_t>* page_lines(word_t* leaf) {
    return reinterpret_cast<std::atomic<std::uint64_t>*>(reinterpret_cast<char*>(leaf + words_per_leaf) +
                                                         pages_per_leaf / 8);
  }
  static std::atomic<std::uint16_t>* line_counts(word_t* leaf) {
    return reinterpret_cast<std::atomic<std::uint16_t>*>(page_lines(leaf) + pages_per_leaf);
  }
  leaf_t* table();
  // Calls visit(leaf, base, lo, hi) for every leaf made that stands for
  // bytes of [begin, last], in ascending order and each once: `base` is
  // the first address the leaf stands for, [lo, hi] the part of the range
  // inside it. A range over more leaves than were made passes through the
  // list of those, a pass per leaf, without room to sort them in (this
  // runs in hooks, on any stack).
  template <class F>
  void for_each_leaf(std::uint64_t begin, std::uint64_t last, F&& visit) const;
  // Empties the words [first, end) of one leaf.
  static void clear_words(word_t* first, word_t* end);

  // The table of leaves: a pointer to an array of `leaves` leaf pointers,
  // made on first use (on x86_64 it is 64 MiB of address space, mapped
  // without reserving memory).
  std::atomic<leaf_t*> table_{nullptr};
  // At most this many leaves are made: past them, addresses without a
  // leaf take the slow path. On i386 they are 512 MiB of words, so that
  // the shadow never takes the address space a program needs for itself.
#if UINTPTR_MAX > 0xffffffffu
  static constexpr std::size_t leaves_at_most = 4096;
#else
  static constexpr std::size_t leaves_at_most = 256;
#endif
  std::size_t most_ = leaves_at_most;
  // Slots claimed for leaves (fetch_add, before the leaf is made; a slot
  // whose leaf another thread made first ends empty), and in them the index
  // of each leaf made, plus one, written before it is published. A range
  // over more leaves than were made (a forked child forgets everything)
  // visits these instead of every slot of the table.
  std::atomic<std::size_t> made_{0};
  std::atomic<std::size_t> made_leaves_[leaves_at_most] = {};
  // Set when the system refused memory: no more leaves are asked for, so
  // that an exhausted process does not make a system call per access.
  std::atomic<bool> refused_{false};
};

template <class F>
void shadow_memory_t::for_each_leaf(std::uint64_t begin, std::uint64_t last, F&& visit) const {
  std::uint64_t const limit = std::uint64_t{1} << address_bits;
  if (begin > last || begin >= limit) return;
  if (last >= limit) last = limit - 1;
  // Pairs with the release CAS that published the table in table().
  leaf_t const* const t = table_.load(std::memory_order_acquire);
  if (t == nullptr) return;
  auto at = [&](std::uint64_t index) {
    // Pairs with the release CAS that published the leaf in word().
    word_t* const leaf = t[index].load(std::memory_order_acquire);
    if (leaf == nullptr) return;
    std::uint64_t const base = index << leaf_bits;
    std::uint64_t const top = base + ((std::uint64_t{1} << leaf_bits) - 1);
    visit(leaf, base, begin > base ? begin : base, last < top ? last : top);
  };
  std::uint64_t const first_leaf = begin >> leaf_bits, last_leaf = last >> leaf_bits;
  std::size_t const made = std::min(made_.load(std::memory_order_relaxed), most_);
  if (last_leaf - first_leaf < made) {
    for (std::uint64_t i = first_leaf; i <= last_leaf; ++i) at(i);
    return;
  }
  // Relaxed: a leaf this caller can reach through a lock it holds was
  // listed before it was published.
  for (std::uint64_t after = first_leaf;;) {  // entries are leaf index + 1
    std::uint64_t next = 0;
    for (std::size_t i = 0; i < made; ++i) {
      std::uint64_t const entry = made_leaves_[i].load(std::memory_order_relaxed);
      if (entry > after && entry <= last_leaf + 1 && (next == 0 || entry < next)) next = entry;
    }
    if (next == 0) return;
    at(next - 1);
    after = next;
  }
}

template <class F>
void shadow_memory_t::for_each_chained_line(std::uint64_t begin, std::uint64_t last, F&& f) const {
  std::uint64_t const page_span = words_per_page * granule;
  std::uint64_t const line_span = words_per_line * granule;
  for_each_leaf(begin, last, [&](word_t* leaf, std::uint64_t base, std::uint64_t lo, std::uint64_t hi) {
    std::size_t const last_page = static_cast<std::size_t>((hi - base) / page_span);
    std::atomic<std::uint64_t> const* const bits = written_bits(leaf);
    for (std::size_t p = static_cast<std::size_t>((lo - base) / page_span); p <= last_page;) {
      // Pairs with the release in note_written().
      std::uint64_t const set = bits[p / 64].load(std::memory_order_acquire) >> (p % 64);
      if (set == 0) {
        p = (p / 64 + 1) * 64;
        continue;
      }
      p += static_cast<std::size_t>(__builtin_ctzll(set));
      if (p > last_page) return;
      std::uint64_t lines = page_lines(leaf)[p].load(std::memory_order_relaxed);
      if (lines != 0) {
        // Only the lines of the page inside [lo, hi].
        std::uint64_t const page_base = base + p * page_span;
        if (lo > page_base) lines &= ~std::uint64_t{0} << ((lo - page_base) / line_span);
        if (hi < page_base + page_span - 1) lines &= ~std::uint64_t{0} >> (lines_per_page - 1 - (hi - page_base) / line_span);
        for (; lines != 0; lines &= lines - 1) {
          std::size_t const l = p * lines_per_page + static_cast<std::size_t>(__builtin_ctzll(lines));
          f(base + l * line_span, leaf + l * words_per_line);
        }
      }
      ++p;
    }
  });
}

// The one shadow of the process (constant-initialised: usable from the
// first hook, before any constructor ran).
extern shadow_memory_t shadow_memory;

}  // namespace vexa

#endif  // VEXA_TSM_SHADOW_MEMORY_H
