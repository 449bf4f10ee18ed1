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

#include <atomic>
#include <cstdint>

#include "../../include/vexa.h"
#include "access_log.h"
#include "shadow_memory.h"

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

// The stamps the calling thread leaves in shadow memory (shadow_memory.h)
// for the same repeats, without the cache's bound on how many it keeps: a
// task reading a block of a matrix over and over repeats thousands of
// accesses, each of one element.
//
// A stamp is a token and a slot. The token stands for what the thread's task
// is doing: which task (the era and its handle), its step, its locks and the
// detector's places, all that the cache compares besides the access; it is
// replaced when any of these changes. The slot names the access's shape (its
// code address, read or write, atomic or not, its size and offset within
// the granule) in a small table of the thread's. A shape that takes the slot
// of another also takes a new token, so that no stamp left for the other
// shape can be read as this one's. Tokens come in blocks from a global
// counter and are never given twice, so a stamp is only ever its own
// thread's, even once the arena passes to another thread.
//
// Owned by one thread, like the cache; lives in its arena.
struct repeat_stamps_t {
  static constexpr unsigned slot_bits = 10;
  static constexpr unsigned slots = 1u << slot_bits;

  // The stamp this access leaves once logged and checked clean, or 0 when
  // its object has no granule of its own.
  std::uint64_t stamp(object_t const& o, tsm_access_t a, address_t code, unsigned short task, site_how_t const& how,
                      std::uint64_t era, std::uint64_t places) {
    if (!shadow_memory_t::fits(o.base, o.size)) return 0;
    if (VEXA_UNLIKELY(!valid || era != era_ || how.step != step_ || places != places_ || how.locks != locks_ ||
                      task != task_)) {
      valid = true;
      era_ = era;
      step_ = how.step;
      places_ = places;
      locks_ = how.locks;
      task_ = task;
      token = next_token();
    }
    // Non-zero: a slot never in use reads as no shape.
    std::uint32_t const form = 1u | static_cast<std::uint32_t>(a) << 1 | std::uint32_t{how.atomic} << 2 |
                               static_cast<std::uint32_t>(o.size - 1) << 3 |
                               static_cast<std::uint32_t>(o.base & (shadow_memory_t::granule - 1)) << 6;
    std::uint64_t const h = (std::uint64_t{code} ^ std::uint64_t{form} << 48) * 0x9e3779b97f4a7c15ull;
    unsigned const slot = static_cast<unsigned>(h >> (64 - slot_bits));
    shape_t& s = shapes[slot];
    if (VEXA_UNLIKELY(s.code != code || s.form != form)) {
      s.code = code;
      s.form = form;
      token = next_token();
    }
    return token << slot_bits | slot;
  }

  // Forgets the state, so that the next stamp takes a new token.
  void clear() { valid = false; }

 private:
  struct shape_t {
    address_t code = 0;
    std::uint32_t form = 0;  // 0: no shape
  };

  std::uint64_t next_token() {
    if (VEXA_UNLIKELY(next_ == end_)) {
      // Relaxed: the counter only hands out distinct numbers.
      next_ = tokens_given.fetch_add(block, std::memory_order_relaxed);
      end_ = next_ + block;
    }
    return next_++;
  }

  static constexpr std::uint64_t block = 1u << 16;
  // Starts at one block, so that no stamp is 0, which reads as none.
  static inline std::atomic<std::uint64_t> tokens_given{block};

  bool valid = false;
  std::uint64_t token = 0;
  std::uint64_t era_ = 0;
  std::uint64_t step_ = 0;
  std::uint64_t places_ = 0;
  std::uint32_t locks_ = 0;
  unsigned short task_ = 0;
  std::uint64_t next_ = 0;
  std::uint64_t end_ = 0;
  shape_t shapes[slots];
};

}  // namespace vexa

#endif  // VEXA_TSM_REPEAT_CACHE_H
