// The calling thread's memory of accesses it logged and checked without
// finding a conflict, so that the same access again costs one probe.
//
// Programs touch the same object from the same place over and over (a loop
// reading a block, a counter in a frame). For such a repeat, logging changes
// nothing (its site is there with a step and locks at least as late) and the
// check finds nothing, provided that:
//  - the log has not changed since (its version, access_log.h): no other
//    task logged into it or left it, no overlapping log appeared;
//  - the task is the same one (the thread's era: raised whenever the thread's
//    current task changes), at the same step, with the same locks, atomic
//    or not alike;
//  - the log had no neighbours, so that it alone was examined;
//  - no handle holding sites was placed elsewhere since (tsm_t::place()),
//    which would change what the sites of others mean.
// A task's order only grows as it goes on (what was ordered before it stays
// so), so an earlier access that did not conflict then does not now.
//
// Direct-mapped and owned by one thread: no lock, no atomics but the log's
// version. It lives in the thread's arena, which outlives the thread and goes
// to the next one with the entries cleared.
#ifndef VEXA_TSM_REPEAT_CACHE_H
#define VEXA_TSM_REPEAT_CACHE_H

#include <cstdint>

#include "../../include/vexa.h"
#include "access_log.h"

namespace vexa {

struct repeat_cache_t {
  struct entry_t {
    access_log_t const* log = nullptr;  // null: empty
    std::uint64_t version = 0;
    std::uint64_t era = 0;
    std::uint64_t step = 0;
    std::uint64_t places = 0;  // tsm_t::replaced_places() then
    address_t base = 0;
    address_t size = 0;
    address_t code = 0;
    std::uint32_t locks = 0;
    unsigned short task = 0;
    unsigned char access = 0;
    bool atomic = false;

    bool same(object_t const& o, tsm_access_t a, address_t c, unsigned short t, site_how_t const& how,
              std::uint64_t e, std::uint64_t p) const {
      return base == o.base && code == c && size == o.size && era == e && step == how.step && task == t &&
             access == a && locks == how.locks && atomic == how.atomic && places == p && log != nullptr;
    }
    // Whether the access is this entry's again, with its log unchanged: then
    // logging and checking it would change nothing and find nothing. The
    // log's version is the only shared word read here.
    bool repeats(object_t const& o, tsm_access_t a, address_t c, unsigned short t, site_how_t const& how,
                 std::uint64_t e, std::uint64_t p) const {
      return same(o, a, c, t, how, e, p) && log->version() == version;
    }
    // What same() will compare, with the log and the version it had then.
    void remember(object_t const& o, tsm_access_t a, address_t c, unsigned short t, site_how_t const& how,
                  std::uint64_t e, std::uint64_t p, access_log_t const* l, std::uint64_t v) {
      log = l;
      version = v;
      era = e;
      step = how.step;
      places = p;
      base = o.base;
      size = o.size;
      code = c;
      locks = how.locks;
      task = t;
      access = static_cast<unsigned char>(a);
      atomic = how.atomic;
    }
  };

  static constexpr unsigned bits = 10;
  static constexpr unsigned entries = 1u << bits;

  // Multiplicative, top bits: the elements of an array column lie a power
  // of two apart, and low address bits alone would put them all in one slot.
  entry_t& slot(object_t const& o, tsm_access_t access, address_t code) {
    std::uint64_t const h = (std::uint64_t{o.base} ^ (std::uint64_t{code} << 1 | access)) * 0x9e3779b97f4a7c15ull;
    return table[h >> (64 - bits)];
  }
  void clear() {
    for (entry_t& e : table) e.log = nullptr;
  }

  entry_t table[entries];
};

}  // namespace vexa

#endif  // VEXA_TSM_REPEAT_CACHE_H
