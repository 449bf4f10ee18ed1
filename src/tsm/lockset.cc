// Interned lock sets (lockset.h).
#include "lockset.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <new>
#include <vector>

#include "../lock/lock.h"

namespace vexa {
namespace lockset {
namespace {

using set_t = std::vector<void const*>;  // sorted

// Sets by id, in blocks of 1024 made on first use; an id's slot is written
// once, before the id is handed out (release), and read with acquire.
constexpr unsigned block_bits = 10;
constexpr std::uint32_t block_size = 1u << block_bits;
constexpr std::uint32_t max_blocks = 1u << 14;  // 16M sets
std::atomic<std::atomic<set_t const*>*> blocks[max_blocks];

struct table_t {
  lock_t lock{lock_rank::lockset};
  std::map<set_t, std::uint32_t> ids;  // under lock
  std::uint32_t next = 1;              // under lock
};
table_t& table() {
  static table_t* t = new table_t;  // never destroyed: ids outlive every static
  return *t;
}

set_t const* set_of(std::uint32_t id) {
  if (id == 0) return nullptr;
  std::atomic<set_t const*>* b = blocks[id >> block_bits].load(std::memory_order_acquire);
  return b == nullptr ? nullptr : b[id & (block_size - 1)].load(std::memory_order_acquire);
}

// The id of s; `otherwise` without memory for it.
std::uint32_t intern(set_t&& s, std::uint32_t otherwise) noexcept try {
  if (s.empty()) return 0;
  table_t& t = table();
  lock_scope held(t.lock);
  auto const found = t.ids.find(s);
  if (found != t.ids.end()) return found->second;
  std::uint32_t const id = t.next;
  if ((id >> block_bits) >= max_blocks) throw std::bad_alloc();
  std::atomic<set_t const*>* b = blocks[id >> block_bits].load(std::memory_order_relaxed);
  if (b == nullptr) {
    b = new std::atomic<set_t const*>[block_size]();
    blocks[id >> block_bits].store(b, std::memory_order_release);
  }
  auto const placed = t.ids.emplace(std::move(s), id).first;
  b[id & (block_size - 1)].store(&placed->first, std::memory_order_release);  // map nodes never move
  ++t.next;
  return id;
} catch (std::bad_alloc const&) {
  return otherwise;
}

// The answers this thread got before: (operation, a, b) -> id.
struct cached_t {
  std::uintptr_t a, b;
  std::uint32_t op, id;
};
constexpr unsigned cache_size = 64;
thread_local cached_t cache[cache_size] __attribute__((tls_model("initial-exec")));

template <typename Compute>
std::uint32_t remembered(std::uint32_t op, std::uintptr_t a, std::uintptr_t b, Compute compute) {
  cached_t& c = cache[(a * 31 + b * 17 + op) % cache_size];
  if (c.op == op && c.a == a && c.b == b) return c.id;
  std::uint32_t const id = compute();
  c = {a, b, op, id};
  return id;
}

}  // namespace

bool holds(std::uint32_t id, void const* lock) {
  set_t const* s = set_of(id);
  return s != nullptr && std::binary_search(s->begin(), s->end(), lock, std::less<void const*>());
}

std::uint32_t with(std::uint32_t id, void const* lock) noexcept try {
  return remembered(1, id, reinterpret_cast<std::uintptr_t>(lock), [&] {
    set_t s;
    if (set_t const* old = set_of(id)) s = *old;
    auto const at = std::lower_bound(s.begin(), s.end(), lock, std::less<void const*>());
    if (at != s.end() && *at == lock) return id;
    s.insert(at, lock);
    return intern(std::move(s), id);
  });
} catch (std::bad_alloc const&) {
  return id;
}

std::uint32_t without(std::uint32_t id, void const* lock) noexcept try {
  return remembered(2, id, reinterpret_cast<std::uintptr_t>(lock), [&] {
    set_t s;
    if (set_t const* old = set_of(id)) s = *old;
    auto const at = std::lower_bound(s.begin(), s.end(), lock, std::less<void const*>());
    if (at == s.end() || *at != lock) return id;
    s.erase(at);
    return intern(std::move(s), 0);
  });
} catch (std::bad_alloc const&) {
  return 0;
}

std::uint32_t meet(std::uint32_t a, std::uint32_t b) noexcept try {
  if (a == b || a == 0) return a;
  if (b == 0) return 0;
  return remembered(3, std::min(a, b), std::max(a, b), [&] {
    set_t const* x = set_of(a);
    set_t const* y = set_of(b);
    set_t s;
    if (x != nullptr && y != nullptr)
      std::set_intersection(x->begin(), x->end(), y->begin(), y->end(), std::back_inserter(s),
                            std::less<void const*>());
    return intern(std::move(s), 0);
  });
} catch (std::bad_alloc const&) {
  return 0;
}

bool share(std::uint32_t a, std::uint32_t b) {
  if (a == 0 || b == 0) return false;
  if (a == b) return true;
  set_t const* x = set_of(a);
  set_t const* y = set_of(b);
  if (x == nullptr || y == nullptr) return false;
  std::less<void const*> const before;
  for (auto i = x->begin(), j = y->begin(); i != x->end() && j != y->end();) {
    if (*i == *j) return true;
    if (before(*i, *j)) ++i;
    else ++j;
  }
  return false;
}

}  // namespace lockset
}  // namespace vexa
