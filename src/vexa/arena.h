// A bump allocator over 64 KiB chunks. The sharing detector takes its chain
// nodes and code address entries from the calling thread's arena: no lock,
// no general heap on the hook path, and nothing is ever freed one record at
// a time (chain nodes are never unlinked, so they must outlive everything).
#ifndef VEXA_ARENA_H
#define VEXA_ARENA_H

#include <cstddef>

#include "../tsm/repeat_cache.h"
#include "base.h"

namespace vexa {

struct arena_t {
  static constexpr std::size_t chunk_size = 65536;
  // Records are rounded up to this so that each starts aligned for the
  // widest member it may hold (64-bit atomics, pointers, std::map).
  static constexpr std::size_t granule = 8;

  struct chunk_header_t {
    chunk_header_t* link;  // the chunk that was current before this one
    char* free;            // first free byte
  };

  arena_t() noexcept { reset_first(); }
  arena_t(arena_t const&) = delete;
  arena_t& operator=(arena_t const&) = delete;

  // Returns n bytes (rounded up to the granule) or throws std::bad_alloc.
  void* allocate(std::size_t n) {
    // `free` stays granule-aligned, so the room left is a whole number of
    // granules and n fits exactly when its rounded size does. Comparing
    // before rounding keeps a request near SIZE_MAX from wrapping to 0.
    char* end = reinterpret_cast<char*>(chunk) + chunk_size;
    if (VEXA_LIKELY(n <= static_cast<std::size_t>(end - chunk->free))) {
      void* p = chunk->free;
      chunk->free += round_up(n);
      return p;
    }
    return refill(n);
  }

  static constexpr std::size_t round_up(std::size_t n) { return (n + granule - 1) & ~(granule - 1); }

  // Deletes every chunk added after the first; the first lives inside the
  // arena and goes with it.
  void release_chunks() noexcept;

  alignas(granule) char first[chunk_size];
  chunk_header_t* chunk;
  // The sharing detector's per-thread cache: the thread's own, like the
  // chunks, and handed on with them (cleared) when the thread ends.
  repeat_cache_t repeats;
  repeat_stamps_t stamps;

 private:
  void reset_first() noexcept {
    chunk = reinterpret_cast<chunk_header_t*>(first);
    chunk->link = nullptr;
    chunk->free = first + round_up(sizeof(chunk_header_t));
  }
  // Out of line: a chunk is full once per 64 KiB. Leaves the arena as it
  // was when no chunk can be had, so later calls never touch memory that
  // was not obtained.
  [[gnu::noinline]] void* refill(std::size_t n);
};

}  // namespace vexa

#endif  // VEXA_ARENA_H
