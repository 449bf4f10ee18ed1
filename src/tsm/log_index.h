// The log index: from an object to its access log in constant expected
// time, whatever the footprint.
//
// A hash table of bucket chains linked through access_log_t::bucket_next.
// Lookups take no lock. Every change (insert, erase, growth) is made under
// the detector's structure lock, so a lookup made under that lock is exact.
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

  std::size_t size() const { return count_; }

  // Every linked log; structure lock held.
  template <class F>
  void for_each(F&& f) const {
    table_t const* t = table_.load(std::memory_order_relaxed);  // writers hold the structure lock
    for (std::size_t b = 0; b <= t->mask; ++b)
      for (access_log_t* l = t->heads[b].load(std::memory_order_relaxed); l != nullptr;
           l = l->bucket_next.load(std::memory_order_relaxed))
        f(l);
  }

  static std::size_t hash(object_t const& o) {
    std::uint64_t x = static_cast<std::uint64_t>(o.base) * 0x9e3779b97f4a7c15ull;
    x ^= static_cast<std::uint64_t>(o.size) * 0xc2b2ae3d27d4eb4full;
    return static_cast<std::size_t>(x ^ (x >> 32));
  }

 private:
  struct table_t {
    explicit table_t(std::size_t buckets) : mask(buckets - 1), heads(new std::atomic<access_log_t*>[buckets]) {
      for (std::size_t b = 0; b < buckets; ++b) heads[b].store(nullptr, std::memory_order_relaxed);
    }
    ~table_t() { delete[] heads; }
    std::size_t mask;
    std::atomic<access_log_t*>* heads;
  };
  void link(table_t* t, access_log_t* log);

  // The current table. Replaced under the structure lock with a release
  // store pairing with the acquire load in find().
  std::atomic<table_t*> table_;
  std::vector<table_t*> retired_;  // tables a reader may still walk
  std::size_t count_ = 0;          // linked logs; structure lock
};

}  // namespace vexa

#endif  // VEXA_TSM_LOG_INDEX_H
