// The log index: from an object to its access log in constant expected
// time, whatever the footprint.
//
// An object within one 8-byte granule (a scalar, a field: most of what
// programs touch) is found from its address alone: its granule's word in
// the detector's shadow of log heads (shadow_memory.h) heads a chain of the
// logs of the objects inside that granule, usually one or two, which a new
// object's creator has just touched. A hash table missed the cache at each
// first touch, on the bucket and then on an unrelated log's key, and cost
// a bucket per log. Larger objects, and small ones whose granule has no
// word (the shadow's leaves ran out), go to a hash table of bucket chains.
// Both kinds of chain are linked through access_log_t::bucket_next.
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
  // `heads`: the granule words of the detector's small objects, shared by
  // every shard's index (each granule lies in one shard's megabyte).
  explicit log_index_t(shadow_memory_t& heads);
  ~log_index_t();
  log_index_t(log_index_t const&) = delete;
  log_index_t& operator=(log_index_t const&) = delete;

  // The live log of exactly this object, or null; no lock. May miss (and,
  // for a log being recycled, may answer a log of another object): the
  // caller confirms under the log's lock.
  access_log_t* find(object_t const& o) const;
  // The same, exact; the caller holds the structure lock.
  access_log_t* find_exact(object_t const& o) const;

  // Room for the log of `o`: its granule's word (true: it will be chained
  // there), or room in the table, which grows when it is full; may throw
  // std::bad_alloc, leaving the index as it was. Structure lock held.
  bool reserve_one(object_t const& o);
  // Links a log whose key and `chained` are set (after reserve_one).
  // Structure lock held.
  void insert(access_log_t* log);
  // Unlinks a log. Structure lock held.
  void erase(access_log_t* log);
  // Unlinks every log of the table; those in granule words are unlinked
  // one by one (erase()), since only the pools list them all
  // (tsm_t::for_each_log()). Structure lock held.
  void clear();

  // Read without the structure lock too (the detector's working set).
  std::size_t size() const { return count_.load(std::memory_order_relaxed); }

  // A granule word holds its chain's first log (tsm_t::for_each_meeting()
  // walks the chains of a range).
  static access_log_t* log_at(std::uint64_t word) {
    return reinterpret_cast<access_log_t*>(static_cast<std::uintptr_t>(word));
  }
  static std::uint64_t word_of(access_log_t* log) {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(log));
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
  static bool small(object_t const& o) { return shadow_memory_t::fits(o.base, o.size); }
  // find()'s walk along a chain from its first log.
  static access_log_t* walk(access_log_t* l, object_t const& o);
  access_log_t* find_in_table(object_t const& o) const;
  // Unlinks `log` from the chain after `head`; whether it was there.
  template <class Head, class Unwrap, class Wrap>
  static bool unlink(Head& head, access_log_t* log, Unwrap unwrap, Wrap wrap);

  shadow_memory_t& heads_;

  // The current table. Replaced under the structure lock with a release
  // store pairing with the acquire load in find().
  std::atomic<table_t*> table_;
  std::vector<table_t*> retired_;  // tables a reader may still walk
  // Linked logs; written under the structure lock, relaxed: readers
  // without it only size the idle cache.
  std::atomic<std::size_t> count_{0};
  std::size_t in_table_ = 0;  // of them in the table; structure lock held
  // Small objects in the table, made while their granule's leaf was being
  // mapped by another thread up to the shadow's last leaf: only then does a
  // lookup that misses in a granule's chain look in the table too. Written
  // under the structure lock; relaxed: a stale 0 makes find() miss, which
  // its callers take to the locked lookup.
  std::atomic<std::size_t> small_in_table_{0};
};

}  // namespace vexa

#endif  // VEXA_TSM_LOG_INDEX_H
