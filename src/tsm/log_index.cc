#include "log_index.h"

#include <memory>

namespace vexa {
namespace {
// A walk longer than this is a reader led astray by a concurrent change (the
// table keeps about one log per bucket, a granule a log or two); the caller
// then looks again under the structure lock.
constexpr unsigned longest_walk = 64;
constexpr unsigned first_bits = 10;
}  // namespace

log_index_t::log_index_t(shadow_memory_t& heads) : heads_(heads), table_(new table_t(first_bits)) {}

log_index_t::~log_index_t() {
  delete table_.load(std::memory_order_relaxed);
  for (table_t* t : retired_) delete t;
}

access_log_t* log_index_t::walk(access_log_t* l, object_t const& o) {
  // Acquire loads of the links pair with the release stores that linked
  // them: a log reached through a link has its key set.
  for (unsigned steps = 0; l != nullptr && steps < longest_walk; ++steps) {
    if (l->key() == o) return l;
    l = l->bucket_next.load(std::memory_order_acquire);
  }
  return nullptr;
}

access_log_t* log_index_t::find(object_t const& o) const {
  if (small(o)) {
    if (shadow_memory_t::word_t const* w = heads_.find_written(o.base)) {
      // Pairs with the release store that linked the chain's first log.
      if (access_log_t* l = walk(log_at(w->load(std::memory_order_acquire)), o)) return l;
      if (small_in_table_.load(std::memory_order_relaxed) == 0) return nullptr;
    }
  }
  return find_in_table(o);
}

access_log_t* log_index_t::find_in_table(object_t const& o) const {
  // Pairs with the release store of a grown table in reserve_one().
  table_t const* t = table_.load(std::memory_order_acquire);
  return walk(t->heads[bucket_of(o, t)].load(std::memory_order_acquire), o);
}

access_log_t* log_index_t::find_exact(object_t const& o) const {
  // Writers hold the structure lock, as the caller does: relaxed loads.
  if (small(o)) {
    if (shadow_memory_t::word_t const* w = heads_.find_written(o.base)) {
      for (access_log_t* l = log_at(w->load(std::memory_order_relaxed)); l != nullptr;
           l = l->bucket_next.load(std::memory_order_relaxed))
        if (l->key() == o) return l;
      if (small_in_table_.load(std::memory_order_relaxed) == 0) return nullptr;
    }
  }
  table_t const* t = table_.load(std::memory_order_relaxed);
  for (access_log_t* l = t->heads[bucket_of(o, t)].load(std::memory_order_relaxed); l != nullptr;
       l = l->bucket_next.load(std::memory_order_relaxed))
    if (l->key() == o) return l;
  return nullptr;
}

void log_index_t::link(table_t* t, access_log_t* log) {
  std::atomic<access_log_t*>& head = t->heads[bucket_of(log->key(), t)];
  log->bucket_next.store(head.load(std::memory_order_relaxed), std::memory_order_relaxed);
  // Publish the log with its key and link; pairs with the acquire loads in
  // find().
  head.store(log, std::memory_order_release);
}

bool log_index_t::reserve_one(object_t const& o) {
  // A granule's word, once made, stays: insert() finds it again.
  if (small(o) && heads_.word(o.base) != nullptr) return true;
  table_t* t = table_.load(std::memory_order_relaxed);  // structure lock held
  if (in_table_ < t->mask + 1) return false;
  retired_.reserve(retired_.size() + 1);  // may throw; nothing changed yet
  std::unique_ptr<table_t> grown(new table_t(t->bits + 2));
  for (std::size_t b = 0; b <= t->mask; ++b) {
    access_log_t* l = t->heads[b].load(std::memory_order_relaxed);
    while (l != nullptr) {
      access_log_t* next = l->bucket_next.load(std::memory_order_relaxed);
      link(grown.get(), l);
      l = next;
    }
  }
  // Pairs with the acquire load in find().
  table_.store(grown.release(), std::memory_order_release);
  retired_.push_back(t);
  return false;
}

void log_index_t::insert(access_log_t* log) {
  object_t const o = log->key();
  count_.store(size() + 1, std::memory_order_relaxed);  // structure lock held
  if (log->chained) {
    // reserve_one() made the word, and words stay.
    shadow_memory_t::word_t* const w = heads_.find(o.base);
    VEXA_CHECK(w != nullptr);
    // Read only from a page written before: see find_written().
    access_log_t* next = heads_.find_written(o.base) != nullptr ? log_at(w->load(std::memory_order_relaxed)) : nullptr;
    // In address order: a sweep upwards finds each log first in its chain
    // or just after the one it found before, which is in the cache.
    access_log_t* after = nullptr;
    while (next != nullptr && next->key() < o) {
      after = next;
      next = next->bucket_next.load(std::memory_order_relaxed);
    }
    log->bucket_next.store(next, std::memory_order_relaxed);
    heads_.note_chained(o.base, 1);
    // Publish the log with its key and link; pairs with the acquire loads
    // in find().
    if (after != nullptr) {
      after->bucket_next.store(log, std::memory_order_release);
      return;
    }
    w->store(word_of(log), std::memory_order_release);
    heads_.note_written(o.base);
    return;
  }
  // A small object without its granule's word; its extents are in the
  // extent index's tables too (tsm_t::create()).
  if (small(o)) small_in_table_.store(small_in_table_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  link(table_.load(std::memory_order_relaxed), log);
  ++in_table_;
}

template <class Head, class Unwrap, class Wrap>
bool log_index_t::unlink(Head& head, access_log_t* log, Unwrap unwrap, Wrap wrap) {
  access_log_t* l = unwrap(head.load(std::memory_order_relaxed));
  if (l == log) {
    // The unlinked log keeps its own link, so a reader standing on it walks
    // on into the chain.
    head.store(wrap(log->bucket_next.load(std::memory_order_relaxed)), std::memory_order_release);
    return true;
  }
  for (; l != nullptr; l = l->bucket_next.load(std::memory_order_relaxed)) {
    access_log_t* const next = l->bucket_next.load(std::memory_order_relaxed);
    if (next != log) continue;
    l->bucket_next.store(log->bucket_next.load(std::memory_order_relaxed), std::memory_order_release);
    return true;
  }
  return false;
}

void log_index_t::erase(access_log_t* log) {
  object_t const o = log->key();  // structure lock held
  if (log->chained) {
    if (shadow_memory_t::word_t* w = heads_.find_written(o.base)) {
      if (unlink(*w, log, log_at, word_of)) {
        count_.store(size() - 1, std::memory_order_relaxed);
        heads_.note_chained(o.base, -1);
      }
    }
    return;
  }
  table_t* t = table_.load(std::memory_order_relaxed);
  auto same = [](access_log_t* l) { return l; };
  if (!unlink(t->heads[bucket_of(o, t)], log, same, same)) return;
  count_.store(size() - 1, std::memory_order_relaxed);
  --in_table_;
  if (small(o)) small_in_table_.store(small_in_table_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
}

void log_index_t::clear() {
  table_t* t = table_.load(std::memory_order_relaxed);  // structure lock held
  for (std::size_t b = 0; b <= t->mask; ++b) t->heads[b].store(nullptr, std::memory_order_release);
  count_.store(0, std::memory_order_relaxed);
  in_table_ = 0;
  small_in_table_.store(0, std::memory_order_relaxed);
}

}  // namespace vexa
