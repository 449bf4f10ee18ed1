// The per-thread and per-task bump allocator: where each allocation lands,
// when a chunk is added, and what a failed or impossible refill leaves.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

#include "vexa/arena.h"

// The test binary's heap: a flag makes the next operator new fail, and
// chunk-sized blocks are tracked so that a test sees what the arena holds.
namespace {

std::atomic<int> failing_allocations{0};  // set and consumed on one test thread: relaxed
constexpr std::size_t tracked_max = 64;
void* chunks[tracked_max];  // live blocks of exactly one chunk's size

std::size_t live_chunks() {
  std::size_t n = 0;
  for (void* p : chunks) n += p != nullptr;
  return n;
}

}  // namespace

void* operator new(std::size_t n) {
  if (failing_allocations.load(std::memory_order_relaxed) > 0) {
    failing_allocations.fetch_sub(1, std::memory_order_relaxed);
    throw std::bad_alloc();
  }
  void* p = std::malloc(n != 0 ? n : 1);
  if (p == nullptr) throw std::bad_alloc();
  if (n == vexa::arena_t::chunk_size)
    for (void*& slot : chunks)
      if (slot == nullptr) {
        slot = p;
        break;
      }
  return p;
}
void operator delete(void* p) noexcept {
  for (void*& slot : chunks)
    if (slot == p && p != nullptr) slot = nullptr;
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace {

using vexa::arena_t;

// Two pointers: 8 bytes on i386, already a whole granule.
constexpr std::size_t header = arena_t::round_up(sizeof(arena_t::chunk_header_t));
constexpr std::size_t payload = arena_t::chunk_size - header;

char* first_byte(arena_t& a) { return a.first; }
char* chunk_start(arena_t& a) { return reinterpret_cast<char*>(a.chunk); }

// Takes all but `left` bytes of the current chunk's room.
void fill_leaving(arena_t& a, std::size_t left) {
  std::size_t const room = static_cast<std::size_t>(chunk_start(a) + arena_t::chunk_size - a.chunk->free);
  ASSERT_GE(room, left);
  if (room > left) a.allocate(room - left);
}

class Arena : public testing::Test {
 protected:
  void SetUp() override {
    for (void*& slot : chunks) slot = nullptr;
    arena = std::make_unique<arena_t>();
  }
  std::unique_ptr<arena_t> arena;
};

}  // namespace

TEST_F(Arena, FreshArenaAllocatesFromItsOwnFirstChunk) {
  EXPECT_EQ(chunk_start(*arena), first_byte(*arena));
  EXPECT_EQ(arena->chunk->link, nullptr);
  EXPECT_EQ(arena->allocate(8), first_byte(*arena) + header);
  EXPECT_EQ(live_chunks(), 0u);
}

TEST_F(Arena, AllocationsAreRoundedToWholeGranules) {
  char* a = static_cast<char*>(arena->allocate(1));
  char* b = static_cast<char*>(arena->allocate(12));
  char* c = static_cast<char*>(arena->allocate(8));
  EXPECT_EQ(b - a, 8);
  EXPECT_EQ(c - b, 16);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(c) % arena_t::granule, 0u);
}

TEST_F(Arena, AllocationEndingExactlyAtTheChunkEndStaysInIt) {
  fill_leaving(*arena, 24);
  char* p = static_cast<char*>(arena->allocate(24));
  EXPECT_EQ(p, first_byte(*arena) + arena_t::chunk_size - 24);
  EXPECT_EQ(chunk_start(*arena), first_byte(*arena));
  EXPECT_EQ(arena->chunk->free, first_byte(*arena) + arena_t::chunk_size);
  EXPECT_EQ(live_chunks(), 0u);

  // The chunk is full: the next granule starts a new one.
  char* q = static_cast<char*>(arena->allocate(8));
  ASSERT_EQ(live_chunks(), 1u);
  EXPECT_EQ(chunk_start(*arena), chunks[0]);
  EXPECT_EQ(q, chunk_start(*arena) + header);
  EXPECT_EQ(arena->chunk->link, reinterpret_cast<arena_t::chunk_header_t*>(first_byte(*arena)));
}

TEST_F(Arena, AllocationOneGranuleTooLargeMovesToANewChunkAndLeavesTheRestEmpty) {
  fill_leaving(*arena, 16);
  char* const old_free = arena->chunk->free;
  char* p = static_cast<char*>(arena->allocate(24));
  ASSERT_EQ(live_chunks(), 1u);
  EXPECT_EQ(p, static_cast<char*>(chunks[0]) + header);
  EXPECT_EQ(arena->chunk->link->free, old_free) << "the old chunk's rest is never used";
  EXPECT_EQ(arena->allocate(16), p + 24);
}

TEST_F(Arena, WholePayloadFitsInOneChunk) {
  EXPECT_EQ(arena->allocate(payload), first_byte(*arena) + header);
  char* p = static_cast<char*>(arena->allocate(payload));
  ASSERT_EQ(live_chunks(), 1u);
  EXPECT_EQ(p, static_cast<char*>(chunks[0]) + header);
}

TEST_F(Arena, FailedChunkAllocationLeavesTheArenaUsable) {
  fill_leaving(*arena, 8);
  char* const free_before = arena->chunk->free;
  failing_allocations.store(1, std::memory_order_relaxed);
  EXPECT_THROW(arena->allocate(16), std::bad_alloc);
  EXPECT_EQ(failing_allocations.load(std::memory_order_relaxed), 0) << "the refill did ask for a chunk";
  EXPECT_EQ(chunk_start(*arena), first_byte(*arena));
  EXPECT_EQ(arena->chunk->free, free_before);

  // What still fits comes from the old chunk; the next refill works.
  EXPECT_EQ(arena->allocate(8), free_before);
  char* p = static_cast<char*>(arena->allocate(8));
  ASSERT_EQ(live_chunks(), 1u);
  EXPECT_EQ(p, static_cast<char*>(chunks[0]) + header);
  EXPECT_EQ(arena->chunk->link, reinterpret_cast<arena_t::chunk_header_t*>(first_byte(*arena)));
}

TEST_F(Arena, RequestNoChunkCanHoldThrowsWithoutTouchingTheArena) {
  char* const free_before = arena->chunk->free;
  EXPECT_THROW(arena->allocate(payload + 1), std::bad_alloc);
  EXPECT_THROW(arena->allocate(SIZE_MAX), std::bad_alloc) << "must not wrap to a zero-byte allocation";
  EXPECT_THROW(arena->allocate(SIZE_MAX - 6), std::bad_alloc);
  EXPECT_EQ(live_chunks(), 0u);
  EXPECT_EQ(chunk_start(*arena), first_byte(*arena));
  EXPECT_EQ(arena->chunk->free, free_before);
  EXPECT_EQ(arena->allocate(8), free_before);
}

TEST_F(Arena, ReleaseDeletesEveryAddedChunkAndKeepsTheFirst) {
  arena->allocate(payload);
  arena->allocate(payload);
  arena->allocate(payload);
  ASSERT_EQ(live_chunks(), 2u);
  arena->release_chunks();
  EXPECT_EQ(live_chunks(), 0u);
  EXPECT_EQ(chunk_start(*arena), first_byte(*arena));
  EXPECT_EQ(arena->chunk->link, nullptr);
}
