#include "arena.h"

#include <new>

namespace vexa {

void* arena_t::refill(std::size_t n) {
  std::size_t const header = round_up(sizeof(chunk_header_t));
  // No chunk could hold it; refusing here also keeps round_up from wrapping.
  if (n > chunk_size - header) throw std::bad_alloc();
  auto* fresh = static_cast<chunk_header_t*>(::operator new(chunk_size));
  fresh->link = chunk;
  fresh->free = reinterpret_cast<char*>(fresh) + header;
  chunk = fresh;
  void* p = fresh->free;
  fresh->free += round_up(n);
  return p;
}

void arena_t::release_chunks() noexcept {
  while (chunk->link != nullptr) {
    chunk_header_t* left = chunk;
    chunk = chunk->link;
    ::operator delete(left);
  }
}

}  // namespace vexa
