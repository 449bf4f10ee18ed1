// The extent index: every live access log by the bytes it covers (but
// those the log index chains from their granule's word, which it only
// counts: tsm_t::for_each_meeting() walks those chains), kept apart by
// size class, so that the logs sharing a byte with an object are found in
// time proportional to what is found, however large the largest object ever
// logged and however many objects are live.
//
// Class c holds the objects of 2^c to 2^(c+1) - 1 bytes (class 0 also those
// of 0 bytes, which count as one byte here). An object of class c that
// reaches into [lo, hi) starts above lo - 2^(c+1). Each class is a hash
// table of buckets of 4 * 2^c bytes of address space, by the bucket of the
// object's base, so a query of a small object visits two or three buckets of
// each class in use: a constant number of cache lines where an ordered tree
// walked a path of misses as deep as the log of the live objects. A bucket
// holds at most 4 objects that do not overlap; objects that do are all
// found by a query that meets one of them. Each class also keeps its
// buckets' numbers in order, so a query spanning many buckets (forgetting a
// dead stack, a large copy) visits only the buckets in use, in time
// logarithmic in their number plus what is found. Programs use few sizes,
// and a mask of the classes in use skips the rest. Nothing comes out in any
// order.
//
// Everything here runs under the detector's structure lock (the lock of the
// shard it belongs to, tsm.h) but holds_none(), which tells without it that
// no log lies within a small range: most of what a program frees (the
// runtime's own blocks, argument blocks of tasks that touched none of
// theirs) was never logged, and each free took the structure lock only to
// find nothing. It reads how many logs of up to 64 KiB meet each page,
// counted in a fixed table by a hash of the page (a collision only makes
// it answer "maybe"). The same table counts the logs of any size that meet
// each megabyte (holds_none_in_region()), so that a forget of a dead stack
// of megabytes passes over the megabytes that hold nothing.
#ifndef VEXA_TSM_EXTENT_INDEX_H
#define VEXA_TSM_EXTENT_INDEX_H

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
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

  extent_index_t() : counts_(new std::atomic<std::uint32_t>[count_slots]()) {}
  extent_index_t(extent_index_t const&) = delete;
  extent_index_t& operator=(extent_index_t const&) = delete;
  ~extent_index_t() { clear(); }

  // The bytes an object stands for here: [base, base + max(size, 1)), in
  // 64 bits so that nothing wraps.
  static std::uint64_t low(object_t const& o) { return o.base; }
  static std::uint64_t high(object_t const& o) {
    return static_cast<std::uint64_t>(o.base) + (o.size == 0 ? 1 : static_cast<std::uint64_t>(o.size));
  }
  static unsigned class_of(address_t size) {
    return size <= 1 ? 0 : static_cast<unsigned>(sizeof(unsigned long long) * 8 - 1 - __builtin_clzll(size));
  }

  // May throw std::bad_alloc, leaving the index as it was. A log that its
  // granule's chain lists (log_index.h; `in_tables` false) is only
  // counted here: the detector finds those through the chains.
  void insert(object_t const& key, access_log_t* log, bool in_tables = true) {
    if (!in_tables) {
      count(key, 1);
      return;
    }
    unsigned const c = class_of(key.size);
    by_class_[c].add(entry_t{key, log}, bucket_of(key.base, c));
    used_ |= std::uint64_t{1} << c;
    count(key, 1);
  }
  void erase(object_t const& key, bool in_tables = true) {
    if (!in_tables) {
      count(key, -1);
      return;
    }
    unsigned const c = class_of(key.size);
    table_t& t = by_class_[c];
    std::size_t const before = t.entries;
    t.remove(key, bucket_of(key.base, c));
    if (t.entries == 0) used_ &= ~(std::uint64_t{1} << c);
    if (t.entries != before) count(key, -1);
  }
  void clear() {
    for (table_t& t : by_class_) t.clear();
    used_ = 0;
    for (std::size_t i = 0; i < count_slots; ++i) counts_[i].store(0, std::memory_order_relaxed);
  }

  // True only when no log lies within [lo, hi); false for any range wider
  // than `holds_none_at_most`, which larger logs need not be counted for.
  // Without the structure lock: a log whose insertion happens before the
  // call is seen (its counts were stored then, and each stays above zero
  // while it is indexed); one inserted meanwhile may be missed, as a walk
  // that took the lock first would have missed it.
  static constexpr std::uint64_t holds_none_at_most = std::uint64_t{64} << 10;
  bool holds_none(std::uint64_t lo, std::uint64_t hi) const {
    if (hi <= lo || hi - lo > holds_none_at_most) return false;
    for (std::uint64_t p = lo >> page_bits; p <= (hi - 1) >> page_bits; ++p)
      if (counts_[page_slot(p)].load(std::memory_order_relaxed) != 0) return false;
    return true;
  }
  // True only when no log meets the megabyte `region` (address >>
  // region_bits); without the lock, as holds_none().
  static constexpr unsigned region_bits = 20;
  bool holds_none_in_region(std::uint64_t region) const {
    return counts_[region_slot(region)].load(std::memory_order_relaxed) == 0;
  }

  // Calls f(entry) for every log whose bytes meet [lo, hi), class by class.
  template <class F>
  void for_each_meeting(std::uint64_t lo, std::uint64_t hi, F&& f) const {
    if (hi <= lo) return;
    for (std::uint64_t mask = used_; mask != 0; mask &= mask - 1) {
      unsigned const c = static_cast<unsigned>(__builtin_ctzll(mask));
      std::uint64_t const reach = std::uint64_t{2} << c;  // longer than any object of the class
      std::uint64_t const from = lo >= reach ? lo - reach + 1 : 0;
      table_t const& t = by_class_[c];
      auto meeting = [&](bucket_t const& b) {
        for (entry_t const* e = b.entries; e != b.entries + b.size; ++e)
          if (low(e->key) < hi && high(e->key) > lo) f(*e);
      };
      std::uint64_t const first = bucket_of(from, c);
      std::uint64_t const last = bucket_of(hi - 1, c);
      if (last - first < probed_at_most) {
        for (std::uint64_t n = first;; ++n) {
          if (bucket_t const* b = t.find(n)) meeting(*b);
          if (n == last) break;
        }
      } else {
        for (auto it = t.order.lower_bound(first); it != t.order.end() && *it <= last; ++it) meeting(*t.find(*it));
      }
    }
  }

 private:
  // Up to this many buckets a query probes each; past it, it walks the
  // class's ordered bucket numbers.
  static constexpr std::uint64_t probed_at_most = 8;

  // Buckets 4 objects of the class wide, at the most 2^63 bytes.
  static std::uint64_t bucket_of(std::uint64_t address, unsigned c) { return address >> (c + 2 < 63 ? c + 2 : 63); }

  struct bucket_t {
    std::uint64_t number;
    entry_t* entries;  // null: a free slot
    std::uint32_t size;
    std::uint32_t capacity;
  };

  // Open addressing with linear probing; at most half full. A bucket that
  // empties stays, with its room and its place in `order`: a task's stack
  // objects die at every task end and come back at the next, and making
  // and unmaking their buckets each time was two allocations and a tree
  // insertion per object. Once there are more than 256 empty buckets and a
  // sixteenth as many as the others, they all go at once, so a table holds
  // little more than what is live.
  struct table_t {
    bucket_t* slots = nullptr;
    std::size_t mask = 0;      // slot count - 1, when slots exist
    std::size_t buckets = 0;   // slots in use, empty buckets included
    std::size_t empty = 0;     // buckets without entries
    std::size_t entries = 0;
    std::set<std::uint64_t> order;  // the numbers of the buckets in use

    ~table_t() { clear(); }

    std::size_t home(std::uint64_t number) const {
      return static_cast<std::size_t>((number * 0x9e3779b97f4a7c15ull) >> 32) & mask;
    }
    bucket_t const* find(std::uint64_t number) const {
      if (slots == nullptr) return nullptr;
      for (std::size_t i = home(number);; i = (i + 1) & mask) {
        bucket_t const& b = slots[i];
        if (b.entries == nullptr) return nullptr;
        if (b.number == number) return &b;
      }
    }
    bucket_t* find(std::uint64_t number) { return const_cast<bucket_t*>(static_cast<table_t const*>(this)->find(number)); }

    void add(entry_t const& e, std::uint64_t number) {
      if (slots == nullptr || (buckets + 1) * 2 > mask + 1) resize(slots == nullptr ? 16 : (mask + 1) * 2);
      bucket_t* b = find(number);
      if (b == nullptr) {
        std::unique_ptr<entry_t[]> room(new entry_t[2]);
        order.insert(number);  // may throw; nothing changed yet
        std::size_t i = home(number);
        while (slots[i].entries != nullptr) i = (i + 1) & mask;
        slots[i] = bucket_t{number, room.release(), 0, 2};
        ++buckets;
        b = &slots[i];
      } else if (b->size == 0) {
        --empty;  // kept room: at least two entries
      } else if (b->size == b->capacity) {
        entry_t* grown = new entry_t[std::size_t{b->capacity} * 2];
        std::memcpy(static_cast<void*>(grown), b->entries, sizeof(entry_t) * b->size);
        delete[] b->entries;
        b->entries = grown;
        b->capacity *= 2;
      }
      b->entries[b->size++] = e;
      ++entries;
    }

    void remove(object_t const& key, std::uint64_t number) {
      bucket_t* b = find(number);
      if (b == nullptr) return;
      for (std::uint32_t k = 0; k < b->size; ++k) {
        if (!(b->entries[k].key == key)) continue;
        b->entries[k] = b->entries[--b->size];
        --entries;
        break;
      }
      if (b->size != 0) return;
      ++empty;
      if (empty <= 256 || 16 * empty <= buckets - empty) return;
      // Cannot fail the caller: without memory the table only keeps its size.
      try {
        purge();
      } catch (std::bad_alloc const&) {
      }
    }

    // Every empty bucket goes, in place: a second slot array as large as
    // the live buckets need would cost a table's worth of memory just when
    // a program frees the most. Only a table that emptied shrinks.
    void purge() {
      // Starting just past a free slot, no probe run wraps round to slots
      // already looked at, and a bucket pulled back into the slot at hand
      // is looked at next.
      std::size_t free_slot = 0;
      while (slots[free_slot].entries != nullptr) ++free_slot;
      std::size_t i = (free_slot + 1) & mask;
      for (std::size_t seen = 0; seen < mask;) {
        bucket_t& b = slots[i];
        if (b.entries != nullptr && b.size == 0) {
          delete[] b.entries;
          order.erase(b.number);
          --buckets;
          --empty;
          unlink(i);
          continue;
        }
        i = (i + 1) & mask;
        ++seen;
      }
      std::size_t count = 16;
      while (count < 2 * (buckets + 1)) count *= 2;
      if (count * 4 <= mask + 1) resize(count);
    }

    // Frees slot `hole`, pulling later members of its probe run back so
    // that every bucket stays reachable from its home without tombstones.
    void unlink(std::size_t hole) {
      slots[hole].entries = nullptr;
      for (std::size_t i = (hole + 1) & mask; slots[i].entries != nullptr; i = (i + 1) & mask) {
        std::size_t const h = home(slots[i].number);
        bool const movable = hole <= i ? (h <= hole || h > i) : (h <= hole && h > i);
        if (!movable) continue;
        slots[hole] = slots[i];
        slots[i].entries = nullptr;
        hole = i;
      }
    }

    void resize(std::size_t count) {
      bucket_t* fresh = new bucket_t[count]();
      bucket_t* old = slots;
      std::size_t const old_count = slots == nullptr ? 0 : mask + 1;
      slots = fresh;
      mask = count - 1;
      for (std::size_t k = 0; k < old_count; ++k) {
        if (old[k].entries == nullptr) continue;
        std::size_t i = home(old[k].number);
        while (slots[i].entries != nullptr) i = (i + 1) & mask;
        slots[i] = old[k];
      }
      delete[] old;
    }

    void clear() {
      if (slots != nullptr)
        for (std::size_t i = 0; i <= mask; ++i) delete[] slots[i].entries;
      delete[] slots;
      order.clear();
      slots = nullptr;
      mask = 0;
      buckets = 0;
      empty = 0;
      entries = 0;
    }
  };

  // The counts behind holds_none() and holds_none_in_region(): pages
  // first, then megabytes, each by a hash.
  static constexpr unsigned page_bits = 12;
  static constexpr std::size_t page_slots = std::size_t{1} << 12;
  static constexpr std::size_t count_slots = page_slots + 256;
  static std::size_t page_slot(std::uint64_t page) {
    return static_cast<std::size_t>((page * 0x9e3779b97f4a7c15ull) >> 52);
  }
  static std::size_t region_slot(std::uint64_t region) {
    return page_slots + static_cast<std::size_t>((region * 0x9e3779b97f4a7c15ull) >> 56);
  }
  // Writers hold the structure lock, so a load and a store suffice; the
  // relaxed loads of holds_none() and holds_none_in_region() pair with
  // these stores.
  void count(object_t const& key, int by) {
    std::uint64_t const lo = low(key), hi = high(key);
    auto add = [by](std::atomic<std::uint32_t>& n) {
      n.store(n.load(std::memory_order_relaxed) + static_cast<std::uint32_t>(by), std::memory_order_relaxed);
    };
    for (std::uint64_t r = lo >> region_bits; r <= (hi - 1) >> region_bits; ++r) add(counts_[region_slot(r)]);
    if (hi - lo > holds_none_at_most) return;
    for (std::uint64_t p = lo >> page_bits; p <= (hi - 1) >> page_bits; ++p) add(counts_[page_slot(p)]);
  }

  table_t by_class_[classes];
  std::uint64_t used_ = 0;  // bit c: class c is not empty
  std::unique_ptr<std::atomic<std::uint32_t>[]> counts_;
};

}  // namespace vexa

#endif  // VEXA_TSM_EXTENT_INDEX_H
