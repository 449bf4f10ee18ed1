// The log index: from an object to its access log in constant expected
// time, whatever the footprint.
//
// A hash table of bucket chains linked through access_log_t::bucket_next.
// Lookups take no lock. Every change (insert, erase, growth) is made under
// the detector's structure lock (the lock of the shard it belongs to,
// tsm.h), so a lookup made under that lock is exact.
// A lookup without it may miss while a change runs: logs are unlinked and
// recycled, and growth relinks every log into a new table, so a reader can
// be led into another chain. It cannot crash (logs are type-stable and every
// link points to one or is null), its walk is bounded, and the caller
// confirms a hit under the log's lock and treats a miss by looking again
// under the structure lock. Old tables stay allocated until the index is
// destroyed, since a reader may still be walking one; they add up to less
// than the current table.
#ifndef VEXA_TSM_LOG_INDEX_H
#define VEXA_TSM_LOG_INDEX_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "access_log.h"

namespace vexa {

class log_index_t {
 public:
  log_index_t();
  ~log_index_t();
  log_index_t(log_index_t const&) = delete;
  log_index_t& operator=(log_index_t const&) = delete;

  // The live log of exactly this object, or null; no lock. May miss (and,
  // for a log being recycled, may answer a log of another object): the
  // caller confirms under the log's lock.
  access_log_t* find(object_t const& o) const;
  // The same, exact; the caller holds the structure lock.
  access_log_t* find_exact(object_t const& o) const;

  // Room for one more log, growing the table when it is full; may throw
  // std::bad_alloc, leaving the index as it was. Structure lock held.
  void reserve_one();
  // Links a log whose key is set (after reserve_one). Structure lock held.
  void insert(access_log_t* log);
  // Unlinks a log. Structure lock held.
  void erase(access_log_t* log);
  // Unlinks every log. Structure lock held.
  void clear();

  // Read without the structure lock too (the detector's working set).
  std::size_t size() const { return count_.load(std::memory_order_relaxed); }

  // Every linked log; structure lock held.
  template <class F>
  void for_each(F&& f) const {
    table_t const* t = table_.load(std::memory_order_relaxed);  // writers hold the structure lock
    for (std::size_t b = 0; b <= t->mask; ++b)
      for (access_log_t* l = t->heads[b].load(std::memory_order_relaxed); l != nullptr;
           l = l->bucket_next.load(std::memory_order_relaxed))
        f(l);
  }

 private:
  struct table_t {
    explicit table_t(unsigned log2)
        : bits(log2), mask((std::size_t{1} << log2) - 1), heads(new std::atomic<access_log_t*>[mask + 1]) {
      for (std::size_t b = 0; b <= mask; ++b) heads[b].store(nullptr, std::memory_order_relaxed);
    }
    ~table_t() { delete[] heads; }
    unsigned bits;
    std::size_t mask;
    std::atomic<access_log_t*>* heads;
  };

  // Neighbouring objects go to neighbouring buckets, so that a sweep over
  // an array walks the bucket array in order instead of missing the cache
  // at every access (a mixing hash made a stencil's lookups cache misses);
  // the address bits above the table's size are folded in, so that a
  // stride of the table's size does not crowd one bucket.
  // Folded in 64 bits: twice a large table's bits is past a 32-bit word.
  static std::size_t bucket_of(object_t const& o, table_t const* t) {
    std::uint64_t const a = static_cast<std::uint64_t>(o.base >> 2) + o.size;
    return static_cast<std::size_t>(a ^ (a >> t->bits) ^ (a >> (2 * t->bits))) & t->mask;
  }
  void link(table_t* t, access_log_t* log);

  // The current table. Replaced under the structure lock with a release
  // store pairing with the acquire load in find().
  std::atomic<table_t*> table_;
  std::vector<table_t*> retired_;  // tables a reader may still walk
  // Linked logs; written under the structure lock, relaxed: readers
  // without it only size the idle cache.
  std::atomic<std::size_t> count_{0};
};

}  // namespace vexa

#endif  // VEXA_TSM_LOG_INDEX_H
