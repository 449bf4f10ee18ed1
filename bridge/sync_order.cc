// Order carried by synchronisation objects (sync_order.h).
#include "sync_order.h"

#include <pthread.h>
#include <sched.h>

#include <cstdint>
#include <map>
#include <new>

namespace vexa_bridge {

// An OpenMP lock's holder, and the last hand-over that orders (see
// lock_taken()).
struct handoff_t {
  task_t const* holder = nullptr;  // compared, never followed: it may have ended since
  std::uint64_t taken_at = 0;      // the holder's step when it took the lock
  std::uint64_t giver = 0;         // the id of the last owner whose step rose while it held it; 0: none
  std::uint64_t given_taken_at = 0;
  vector_clock_t given;  // the giver's clock, with its own step, when it let go
};

// A line each: every free() of the program looks at the shard of its pages.
struct alignas(64) shard_t {
  vexa::lock_t lock{vexa::lock_rank::bridge_sync};
  // objects.size(), written under lock. Read without it by free(), which
  // skips an empty shard: a stale 0 misses only an object made by a
  // release that no acquire of the freeing thread's can have seen yet.
  std::atomic<std::size_t> held{0};
  std::map<std::uintptr_t, vector_clock_t> objects;  // by address; under lock
  std::map<std::uintptr_t, handoff_t> handoffs;      // by lock name; under lock
};

namespace {

// By page, so that a small freed block visits one or two shards.
constexpr unsigned shard_bits = 6;
constexpr std::uintptr_t shard_count = std::uintptr_t{1} << shard_bits;
constexpr unsigned page_bits = 12;
// Made on first use, since a constructor of another library may lock a
// mutex before this library's static objects exist, and never destroyed,
// since free() and unlocks go on after static destructors have run at exit.
shard_t* shards() {
  static shard_t* const all = new shard_t[shard_count];
  return all;
}

// How many objects the table holds: free() looks no further while it is 0.
// Relaxed: a stale 0 only misses an object made by a release that no
// acquire of this thread's can have seen yet.
std::atomic<std::size_t> object_count{0};

shard_t& shard_of(std::uintptr_t a) { return shards()[(a >> page_bits) & (shard_count - 1)]; }

// The object's clock, made if missing; under the shard's lock.
vector_clock_t& clock_of(shard_t& s, std::uintptr_t a) {
  auto const [it, made] = s.objects.try_emplace(a);
  if (made) {
    object_count.fetch_add(1, std::memory_order_relaxed);
    s.held.store(s.objects.size(), std::memory_order_relaxed);
  }
  return it->second;
}

}  // namespace

// With the memory hooks off nothing is checked, so objects carry no order
// either (and free(), which forgets them only with the hooks on, keeps up).
task_t* ordered_task() {
  if (!race_view.load(std::memory_order_relaxed) || hooks_off(VEXA_GUARD_MEMORY)) return nullptr;
  return current_task();
}

void merge_into(task_t* t, vector_clock_t const& from, std::uint64_t id, std::uint64_t step) {
  own_memory_scope own;
  spin_scope held(t->lock);
  t->clock.merge(from, id, step);
}

void release(void const* object) {
  task_t* const t = ordered_task();
  if (t == nullptr) return;
  auto const a = reinterpret_cast<std::uintptr_t>(object);
  {
    own_memory_scope own;
    shard_t& s = shard_of(a);
    vexa::lock_scope held(s.lock);
    clock_of(s, a).merge(t->clock, t->id, t->step);
  }
  t->published = true;
  advance(t);
}

void acquire(void const* object) {
  task_t* const t = ordered_task();
  if (t == nullptr) return;
  auto const a = reinterpret_cast<std::uintptr_t>(object);
  own_memory_scope own;
  vector_clock_t seen;
  {
    shard_t& s = shard_of(a);
    vexa::lock_scope held(s.lock);
    auto const it = s.objects.find(a);
    if (it == s.objects.end()) return;
    seen = it->second;
  }
  merge_into(t, seen);
}

namespace {

// How long a new owner waits for the last owner's letting go to be told
// (its thread may be preempted between the two): past that it goes on
// without the hand-over's order, which can only add a report.
constexpr unsigned handoff_waits = 200000;

}  // namespace

void lock_taken(void const* name) {
  task_t* const t = ordered_task();
  if (t == nullptr) return;
  auto const a = reinterpret_cast<std::uintptr_t>(name);
  own_memory_scope own;
  shard_t& s = shard_of(a);
  vector_clock_t seen;
  try {
    for (unsigned waits = 0;; ++waits) {
      {
        vexa::lock_scope held(s.lock);
        handoff_t& h = s.handoffs[a];
        if (h.holder == nullptr || h.holder == t || waits == handoff_waits) {
          if (h.giver != 0 && h.giver != t->id) {
            // t's own clock: only its thread writes it.
            std::uint64_t const* step = t->clock.find(h.giver);
            if (step != nullptr && *step >= h.given_taken_at) seen = h.given;
          }
          h.holder = t;
          h.taken_at = t->step;
          break;
        }
      }
      sched_yield();
    }
  } catch (std::bad_alloc const&) {
    return;  // no hand-over: at worst a report more
  }
  if (seen.size() != 0) merge_into(t, seen);
}

void lock_let_go(void const* name) {
  if (!race_view.load(std::memory_order_relaxed)) return;
  task_t* const t = ordered_task();  // null too must clear the holder
  auto const a = reinterpret_cast<std::uintptr_t>(name);
  own_memory_scope own;
  shard_t& s = shard_of(a);
  bool gave = false;
  {
    vexa::lock_scope held(s.lock);
    auto const it = s.handoffs.find(a);
    if (it == s.handoffs.end()) return;
    handoff_t& h = it->second;
    // Without a rise the last hand-over that orders stays: any task whose
    // request is ordered after this taking is ordered after this letting
    // go too, and still cannot have the lock before that giver let go.
    if (t != nullptr && h.holder == t && t->step != h.taken_at) {
      try {
        vector_clock_t given;
        given.merge(t->clock, t->id, t->step);
        h.given = std::move(given);
        h.giver = t->id;
        h.given_taken_at = h.taken_at;
        gave = true;
      } catch (std::bad_alloc const&) {
      }
    }
    h.holder = nullptr;
  }
  if (!gave) return;
  t->published = true;
  advance(t);
}

void lock_destroyed(void const* name) {
  auto const a = reinterpret_cast<std::uintptr_t>(name);
  own_memory_scope own;
  shard_t& s = shard_of(a);
  vexa::lock_scope held(s.lock);
  s.handoffs.erase(a);
}

namespace {

// What the last release fence of this thread released, and what the
// relaxed loads since its last acquire fence found (the thread's own).
thread_local vector_clock_t fence_released;
thread_local bool fence_passed;
thread_local vector_clock_t loads_found;

}  // namespace

atomic_sync_scope::atomic_sync_scope(void const volatile* object, bool releases, bool acquires, bool stores,
                                     bool loads)
    : task_(releases || acquires || stores || loads ? ordered_task() : nullptr),
      object_(const_cast<void const*>(object)),
      releases_(releases),
      acquires_(acquires),
      fence_release_(stores && !releases && fence_passed),
      collect_(loads && !acquires && object_count.load(std::memory_order_relaxed) != 0) {
  if (task_ == nullptr) return;
  shard_ = &shard_of(reinterpret_cast<std::uintptr_t>(object_));
  shard_->lock.lock();
}

atomic_sync_scope::~atomic_sync_scope() {
  if (task_ == nullptr) return;
  auto const a = reinterpret_cast<std::uintptr_t>(object_);
  {
    own_memory_scope own;
    vector_clock_t seen;
    if (acquires_ || collect_) {
      auto const it = shard_->objects.find(a);
      if (it != shard_->objects.end()) {
        if (acquires_) seen = it->second;
        else loads_found.merge(it->second);
      }
    }
    if (releases_) clock_of(*shard_, a).merge(task_->clock, task_->id, task_->step);
    else if (fence_release_) clock_of(*shard_, a).merge(fence_released);
    shard_->lock.unlock();
    if (seen.size() != 0) merge_into(task_, seen);
  }
  if (releases_) {
    task_->published = true;
    advance(task_);
  }
}

bool fenced_stores() { return fence_passed; }
bool fenced_loads() { return object_count.load(std::memory_order_relaxed) != 0; }

void fence(bool releases, bool acquires) {
  task_t* const t = ordered_task();
  if (t == nullptr) return;
  own_memory_scope own;
  if (acquires) {
    if (loads_found.size() != 0) merge_into(t, loads_found);
    loads_found.clear();
  }
  if (releases) {
    fence_released.clear();
    fence_released.merge(t->clock, t->id, t->step);
    fence_passed = true;
    t->published = true;
    advance(t);
  }
}

void forget_sync(void const* begin, void const* end) {
  if (object_count.load(std::memory_order_relaxed) == 0) return;
  auto const b = reinterpret_cast<std::uintptr_t>(begin), e = reinterpret_cast<std::uintptr_t>(end);
  if (b >= e) return;
  own_memory_scope own;
  auto drop = [b, e](shard_t& s) {
    if (s.held.load(std::memory_order_relaxed) == 0) return;  // see shard_t
    vexa::lock_scope held(s.lock);
    auto const first = s.objects.lower_bound(b);
    auto last = first;
    std::size_t n = 0;
    for (; last != s.objects.end() && last->first < e; ++last) ++n;
    if (n == 0) return;
    s.objects.erase(first, last);
    s.held.store(s.objects.size(), std::memory_order_relaxed);
    object_count.fetch_sub(n, std::memory_order_relaxed);
  };
  std::uintptr_t const pages = ((e - 1) >> page_bits) - (b >> page_bits) + 1;
  if (pages >= shard_count) {
    for (std::uintptr_t i = 0; i < shard_count; ++i) drop(shards()[i]);
    return;
  }
  for (std::uintptr_t p = b >> page_bits; p <= (e - 1) >> page_bits; ++p) drop(shards()[p & (shard_count - 1)]);
}

namespace {

// A child of fork() goes on alone, from a copy of the memory: nothing any
// thread did before the fork can race with what the child does, and the
// child's task runtime may start its tasks afresh, without the order that
// led to the fork (an OpenMP runtime does).
void forked_child() { _VEXA_forgetMemory(nullptr, reinterpret_cast<void const*>(UINTPTR_MAX)); }

__attribute__((constructor)) void watch_fork() { pthread_atfork(nullptr, nullptr, forked_child); }

}  // namespace
}  // namespace vexa_bridge
