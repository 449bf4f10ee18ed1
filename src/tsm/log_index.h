// The log index: from an address to an access log in the same 64-byte line,
// so that the access log chain is never walked from its head.
//
// 256 index chains, one per value of address bits 6..13 (the line offset
// within a 16 KiB page); each chain holds at most one entry per page,
// highest page first. Bucket and page together name one line.
#ifndef VEXA_TSM_LOG_INDEX_H
#define VEXA_TSM_LOG_INDEX_H

#include <atomic>

#include "access_log.h"

namespace vexa {

class log_index_t {
 public:
  static constexpr unsigned buckets = 256;
  static constexpr address_t line_size = 64;

  static unsigned bucket(address_t a) { return static_cast<unsigned>((a & 0x3fc0) >> 6); }
  static address_t page(address_t a) { return a & ~static_cast<address_t>(0x3fff); }

  struct equal {
    bool operator()(object_t const& a, object_t const& b) const { return page(a.base) == page(b.base); }
  };
  struct more {
    bool operator()(object_t const& a, object_t const& b) const { return page(a.base) > page(b.base); }
  };

  struct index_t {
    explicit index_t(object_t const& o) noexcept : access_log(nullptr), object(o) {}

    // An access log whose base lies in this entry's line; null until the
    // creator of the line's first access log stores it. Stored under the
    // entry's node lock with release, pairing with the acquire load in
    // find(); never set back to null.
    std::atomic<access_log_chain_t::node_t*> access_log;
    object_t object;  // the key the entry was created with
  };

  using chain_type = chain_t<index_t, object_t, equal, more>;

  void initialize_lock_order(lock_t const& outer) { (void)outer; }

  // The access log of exactly this object, or empty. Takes no lock.
  // usable_entry tells whether the line's index entry names an access log.
  access_log_chain_t::const_iterator find(object_t const& object, bool& usable_entry) const;

  // The access log of object, created (and the line indexed) when missing.
  access_log_chain_t::const_iterator find_or_create(access_log_chain_t& logs, object_t const& object);

  // The index entry of the line that holds address a, or null. No lock.
  chain_type::node_t* entry_of(address_t a) const;

  // Destroyed last to first, as members of an array are.
  chain_type chains[buckets];
};

}  // namespace vexa

#endif  // VEXA_TSM_LOG_INDEX_H
