// Distinct detections: with VEXA_ENABLE_DISTINCT a detection is raised only
// for what was not raised before, so that a run without a debugger prints
// each problem once and a debugger stops once per problem. What is dropped
// is counted, and the counts are published in __vexa_distinct.
//
// What makes two detections the same: for data sharing, the pair of code
// addresses of the offender and of one offense (one detection may hold new
// and old pairs; only the new ones stay); for a reentrant call, the
// function. Tasks, threads and data addresses do not count: a loop that
// races on every element of an array is one problem.
#ifndef VEXA_DISTINCT_H
#define VEXA_DISTINCT_H

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "../../include/vexa.h"
#include "../lock/lock.h"

namespace vexa {

class distinct_t {
 public:
  // The one table of the process. Never destroyed: the unload stop reads
  // it while the library's statics are being torn down.
  static distinct_t& get();

  // Drops from a complete detection record (reason 256 or 257) what was
  // raised before and counts it. False when nothing is left to raise (the
  // record is then left as it was). A kept subset of offenses is copied into memory of the table, valid until the
  // next call; the detector's own array is never written. Caller holds the
  // runtime lock.
  bool admit(vexa_event_reason_t reason, vexa_detection_t& record);

  // Points __vexa_distinct at the table; false when it is empty.
  bool publish();

  // The entries seen more than once, most frequent first (first raised
  // first among equals), and the number of entries in all. With `shown`,
  // only the first `shown` entries count (those whose reports were
  // printed); `held` then gets how many came after and how often they were
  // seen.
  struct held_t {
    std::size_t distinct = 0;
    std::uint64_t seen = 0;
  };
  std::vector<vexa_distinct_t> repeated(std::size_t& total, std::size_t shown = SIZE_MAX, held_t* held = nullptr);

  // Entries so far.
  std::size_t size();

 private:
  distinct_t() = default;

  struct key_t {
    std::uint64_t first, second;
    std::uint32_t kind;
    bool operator==(key_t const& o) const { return first == o.first && second == o.second && kind == o.kind; }
  };
  struct hash_t {
    std::size_t operator()(key_t const& k) const {
      std::uint64_t h = k.first * 0x9e3779b97f4a7c15ull ^ (k.second + k.kind) * 0xc2b2ae3d27d4eb4full;
      return static_cast<std::size_t>(h ^ (h >> 29));
    }
  };

  // True when the key is new: its entry is made with seen 1. Otherwise
  // counts a repeat. Caller holds lock_.
  bool first_time(std::uint32_t kind, std::uint64_t first, std::uint64_t second);

  // A leaf lock, taken under the runtime lock by admit() and alone by the
  // unload stop, which runs without the runtime lock while a thread that
  // outlives main may still be in a stop. Guards everything below.
  lock_t lock_{lock_rank::distinct};
  std::vector<vexa_distinct_t> entries_;  // in order of first raising
  std::unordered_map<key_t, std::size_t, hash_t> index_;  // key -> position in entries_
  std::vector<tsm_access_desc_t> kept_;   // the offenses a filtered 256 still raises
};

// VEXA_DISTINCT at load: "1" sets VEXA_ENABLE_DISTINCT in the enable word,
// "0" clears it, anything else clears it and says so under logging bit 0x4.
// Also reads VEXA_PRINT_LIMIT (diagnostics.h), the other bound on how much a
// repetitive program prints.
void read_distinct_environment();

}  // namespace vexa

#endif  // VEXA_DISTINCT_H
