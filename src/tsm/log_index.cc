#include "log_index.h"

#include <memory>

namespace vexa {
namespace {
// A walk longer than this is a reader led astray by a concurrent change (the
// table keeps about one log per bucket); the caller then looks again under
// the structure lock.
constexpr unsigned longest_walk = 64;
constexpr unsigned first_bits = 10;
}  // namespace

log_index_t::log_index_t() : table_(new table_t(first_bits)) {}

log_index_t::~log_index_t() {
  delete table_.load(std::memory_order_relaxed);
  for (table_t* t : retired_) delete t;
}

access_log_t* log_index_t::find(object_t const& o) const {
  // Pairs with the release store of a grown table in reserve_one().
  table_t const* t = table_.load(std::memory_order_acquire);
  // Acquire loads of the links pair with the release stores in link(): a
  // log reached through a link has its key set.
  access_log_t* l = t->heads[bucket_of(o, t)].load(std::memory_order_acquire);
  for (unsigned steps = 0; l != nullptr && steps < longest_walk; ++steps) {
    if (l->key() == o) return l;
    l = l->bucket_next.load(std::memory_order_acquire);
  }
  return nullptr;
}

access_log_t* log_index_t::find_exact(object_t const& o) const {
  table_t const* t = table_.load(std::memory_order_relaxed);  // writers hold the structure lock, as the caller does
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

void log_index_t::reserve_one() {
  table_t* t = table_.load(std::memory_order_relaxed);  // structure lock held
  if (size() < t->mask + 1) return;
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
}

void log_index_t::insert(access_log_t* log) {
  link(table_.load(std::memory_order_relaxed), log);  // structure lock held
  count_.store(size() + 1, std::memory_order_relaxed);
}

void log_index_t::erase(access_log_t* log) {
  table_t* t = table_.load(std::memory_order_relaxed);  // structure lock held
  std::atomic<access_log_t*>* at = &t->heads[bucket_of(log->key(), t)];
  for (access_log_t* l = at->load(std::memory_order_relaxed); l != nullptr;
       at = &l->bucket_next, l = at->load(std::memory_order_relaxed)) {
    if (l == log) {
      // The unlinked log keeps its own link, so a reader standing on it
      // walks on into the chain.
      at->store(log->bucket_next.load(std::memory_order_relaxed), std::memory_order_release);
      count_.store(size() - 1, std::memory_order_relaxed);
      return;
    }
  }
}

void log_index_t::clear() {
  table_t* t = table_.load(std::memory_order_relaxed);  // structure lock held
  for (std::size_t b = 0; b <= t->mask; ++b) t->heads[b].store(nullptr, std::memory_order_release);
  count_.store(0, std::memory_order_relaxed);
}

}  // namespace vexa
