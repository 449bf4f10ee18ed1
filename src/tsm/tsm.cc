// Logging accesses, forgetting tasks, reset, statistics and fork.
#include "tsm.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <new>

#include "../vexa/current.h"

namespace vexa {
tsm_t::tsm_t() : feature_t(lock_rank::tsm_feature), largest_write(4) {
  for (unsigned i = 0; i < shard_count; ++i) shards_[i] = std::make_unique<shard_t>(i, log_heads_);
}

template <class F>
void tsm_t::for_each_log(F&& f) {
  // Every log a shard ever made is in its pool's slabs, and those indexed
  // are the live ones: the structure locks, all held, guard both.
  for (auto const& s : shards_)
    s->pool.for_each([&](access_log_t& l) {
      if (!l.dead) f(&l, *s);
    });
}

tsm_t::shard_mask_t tsm_t::shards_of(std::uint64_t lo, std::uint64_t hi) {
  std::uint64_t const first = lo >> region_bits, last = (hi - 1) >> region_bits;
  if (last - first >= shard_count) return all_shards;
  shard_mask_t mask = 0;
  for (std::uint64_t r = first; r <= last; ++r) mask |= shard_mask_t{1} << shard_of_region(r);
  return mask;
}

tsm_t::shard_mask_t tsm_t::shards_in_use(std::uint64_t lo, std::uint64_t hi) const {
  std::uint64_t const first = lo >> region_bits, last = (hi - 1) >> region_bits;
  if (last - first >= 64) return shards_of(lo, hi);
  shard_mask_t mask = 0;
  for (std::uint64_t r = first; r <= last; ++r) {
    unsigned const i = shard_of_region(r);
    if (!shards_[i]->extents.holds_none_in_region(r)) mask |= shard_mask_t{1} << i;
  }
  return mask;
}

// Each page's count is in the extent index of the shard of its region.
bool tsm_t::holds_none(address_t begin, address_t end) const {
  if (end - begin > extent_index_t::holds_none_at_most) return false;
  for (std::uint64_t lo = begin; lo < end;) {
    std::uint64_t const region = lo >> region_bits;
    std::uint64_t const hi = std::min<std::uint64_t>(end, (region + 1) << region_bits);
    if (!shards_[shard_of_region(region)]->extents.holds_none(lo, hi)) return false;
    lo = hi;
  }
  return true;
}

// Open cases are not released; `filter` is left alone. The process's own
// detector is never destroyed, so no thread can still be looking up logs.
tsm_t::~tsm_t() { log_heads_.unmap(); }

void tsm_t::initialize_lock_order(lock_t const& outer) { (void)outer; }

void tsm_t::enter(unsigned short task, void const* code) {
  (void)task;
  logging_filter_t const* f = current_filter();
  if (f == nullptr || f->code_passes(to_address(code))) return;
  if (task_record_t* r = current.record) r->flags |= task_record_t::flag_unlogged;
}

// Whether the calling thread's access is logged at all: a current task
// that is neither unlogged nor suspended, and no filter refusing the object
// or the code address.
bool tsm_t::logged(object_t const& object, void const* code) const {
  task_record_t const* r = current.record;
  if (r == nullptr || (r->flags & (task_record_t::flag_unlogged | task_record_t::flag_suspended))) return false;
  logging_filter_t const* f = current_filter();
  return f == nullptr || (f->access_passes(object.base, object.size) && f->code_passes(to_address(code)));
}

// The log of o, locked: found without a lock and confirmed under the log's
// own lock, or looked up again and created under its shards' locks.
access_log_t* tsm_t::locked_log_of(object_t const& o) {
  access_log_t* l = home_of(o).index.find(o);
  for (;;) {
    if (l != nullptr) {
      l->lock.lock();
      if (!l->dead && l->key() == o) return l;
      l->lock.unlock();  // recycled or reset since the lookup
    }
    l = create(o);
  }
}

access_log_t* tsm_t::create(object_t const& o) {
  shard_t& home = home_of(o);
  shard_mask_t const mask = shards_of(o);
  std::unique_ptr<access_log_t[]> spare;
  if (home.pool.running_low()) spare = log_pool_t::make_slab();  // may throw; nothing changed yet
  shards_held held(*this, mask);
  if (spare) home.pool.add(std::move(spare));  // may throw; nothing changed yet
  if (access_log_t* l = home.index.find_exact(o)) return l;
  bool const chained = home.index.reserve_one(o);  // may throw; nothing changed yet
  access_log_t* l = home.pool.acquire();          // may throw; nothing changed yet
  shard_mask_t inserted = 0;
  try {
    each_shard(mask, [&](unsigned i) {
      shard(i).extents.insert(o, l, !chained);
      inserted |= shard_mask_t{1} << i;
    });
  } catch (...) {
    each_shard(inserted, [&](unsigned i) { shard(i).extents.erase(o, !chained); });
    home.pool.release(l);
    throw;
  }
  access_log_t* listed[access_log_t::listed_at_most];
  std::uint32_t neighbours = 0;
  // Idle logs that meet the object go: they hold nothing, and kept they
  // would count as its neighbours, sending every access of both through
  // the extent index. One revived under its own lock meanwhile stays.
  // Only those whose shards are all held here can go.
  std::vector<extent_index_t::entry_t> idle_ones;
  for_each_meeting(mask, extent_index_t::low(o), extent_index_t::high(o), [&](extent_index_t::entry_t const& e) {
    if (e.log == l) return;
    lock_scope n(e.log->lock);
    if (e.log->idle && e.log->reads.empty() && e.log->writes.empty() && (shards_of(e.key) & ~mask) == 0) {
      try {
        idle_ones.push_back(e);
        // Dead from here on: a thread that finds it in the index looks again.
        e.log->idle = false;
        e.log->dead = true;
        e.log->changed();
        idle[0].count.fetch_sub(1, std::memory_order_relaxed);
        return;
      } catch (std::bad_alloc const&) {
        // It stays, a neighbour: slower, not wrong.
      }
    }
    e.log->add_neighbour(l);
    e.log->changed();
    if (neighbours < access_log_t::listed_at_most) listed[neighbours] = e.log;
    ++neighbours;
  });
  for (extent_index_t::entry_t const& e : idle_ones) take_out(e.log, e.key, l);
  {
    // A thread that kept a pointer to this log from an earlier life may
    // lock it at any time; it sees either the dead log or the new one.
    lock_scope n(l->lock);
    VEXA_CHECK(l->reads.empty() && l->writes.empty() && !l->idle);
    l->set_key(o);
    l->chained = chained;
    l->neighbours = neighbours;
    l->listed = static_cast<std::uint8_t>(std::min<std::uint32_t>(neighbours, access_log_t::listed_at_most));
    std::copy(listed, listed + l->listed, l->listed_logs);
    l->dead = false;
    l->changed();
  }
  home.index.insert(l);
  // The working set is summed over the shards once per 64 logs a shard
  // gains, not at every one: the sum reads a line of every shard and of
  // every idle count. The cap it sets may lag by that much.
  if (home.index.size() % 64 == 0) {
    std::size_t indexed = 0;
    for (auto const& s : shards_) indexed += s->index.size();
    std::size_t const idle_now = idle_count();
    std::size_t const working = indexed > idle_now ? indexed - idle_now : 0;
    std::size_t peak = peak_working_set.load(std::memory_order_relaxed);
    while (working > peak && !peak_working_set.compare_exchange_weak(peak, working, std::memory_order_relaxed)) {
    }
  }
  return l;
}

std::size_t tsm_t::idle_count() const {
  std::ptrdiff_t n = 0;
  for (idle_shard_t const& shard : idle) n += shard.count.load(std::memory_order_relaxed);
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

site_how_t tsm_t::how_now(bool atomic) const {
  task_record_t const* r = current.record;
  if (r == nullptr) return {0, 0, atomic};
  return {r->step, r->locks, atomic};
}

bool tsm_t::record(access_log_t* l, tsm_access_t access, unsigned short task, address_t code,
                   site_how_t const& how) {
  VEXA_CHECK(!l->dead);
  site_list_t& sites = access == TSM_WRITE ? l->writes : l->reads;
  if (site_t* s = sites.find(task, code)) {
    if (s->merge(how)) l->changed();
    return false;
  }
  touched_t* list = nullptr;
  if (!l->reads.has_task(task) && !l->writes.has_task(task)) {
    list = &touched.at(task).logs;
    list->push_back(l);  // may throw; nothing changed yet
  }
  try {
    sites.insert(task, code, how);
  } catch (...) {
    if (list != nullptr) list->pop_back();
    throw;
  }
  l->changed();
  if (l->idle) {
    l->idle = false;
    idle[task % idle_shards].count.fetch_sub(1, std::memory_order_relaxed);
  }
  return list != nullptr;
}

// Drops from a touched list the logs its handle no longer holds (freed
// memory took them away; recycled, they may hold it again and then be
// named twice). Only the thread running the handle's task adds its sites
// (record(), absorb()), and this is that thread, so a log found without
// them here does not get them behind its back. Run when the list has
// doubled since the last time: amortised, a constant per append, and the
// list stays within twice what the task holds (at least 64).
void tsm_t::prune(task_key_t task) {
  touched_slot_t* slot = touched.find(task);
  if (slot == nullptr || slot->logs.size() < slot->prune_at) return;
  touched_t& list = slot->logs;
  std::uint32_t const now = forgotten.load(std::memory_order_relaxed);
  // Exchanged only when set: the line stays clean for the forgets that
  // read it.
  bool const lost = slot->lost.load(std::memory_order_relaxed) && slot->lost.exchange(false, std::memory_order_relaxed);
  if (now == slot->pruned_after && !lost) {
    // Nothing of this task's was taken away since: a task with a large
    // working set pays nothing for this, whatever other tasks free.
    slot->prune_at = 2 * list.size();
    return;
  }
  slot->pruned_after = now;
  std::size_t kept = 0;
  for (access_log_t* l : list) {
    bool holds;
    {
      lock_scope held(l->lock);
      holds = !l->dead && (l->reads.has_task(task) || l->writes.has_task(task));
    }
    if (holds) list[kept++] = l;
  }
  list.resize(kept);
  std::sort(list.begin(), list.end());
  list.erase(std::unique(list.begin(), list.end()), list.end());
  slot->prune_at = std::max<std::size_t>(64, 2 * list.size());
}

void tsm_t::note_lost(site_list_t const& sites) {
  task_key_t last = 0;  // no task: handles and keys start at 1
  for (site_t const& s : sites) {
    if (s.task == last) continue;  // sorted by task
    last = s.task;
    touched_slot_t* slot = touched.find(last);
    if (slot != nullptr && !slot->lost.load(std::memory_order_relaxed)) slot->lost.store(true, std::memory_order_relaxed);
  }
}

void tsm_t::note_write_size(address_t size) {
  task_record_t* r = current.record;
  if (size <= r->largest_write) return;
  r->largest_write = static_cast<std::uint32_t>(size);
  if (size > largest_write.load(std::memory_order_relaxed)) {
    lock_scope held(feature_lock);
    if (size > largest_write.load(std::memory_order_relaxed))
      largest_write.store(static_cast<std::uint32_t>(size), std::memory_order_relaxed);
  }
}

access_log_t* tsm_t::log(object_t const& object, tsm_access_t access, unsigned short task, void const* code,
                        bool atomic) {
  if (!logged(object, code)) return nullptr;
  site_how_t const how = how_now(atomic);
  access_log_t* l = locked_log_of(object);
  bool appended;
  {
    lock_scope held(l->lock, lock_scope::adopt);
    appended = record(l, access, task, to_address(code), how);
  }
  if (appended) prune(task);
  if (access == TSM_WRITE) note_write_size(object.size);
  return l;
}

void tsm_t::place(task_key_t handle, void const* where) {
  // Read by conflicts() on any thread, under the lock of a log that this
  // task logged into after the store (see there).
  std::atomic<void const*>* slot = where == nullptr ? places_.find(handle) : &places_.at(handle);
  // A handle that was never placed needs no slot (every entry clears it).
  if (slot == nullptr) return;
  // Only this handle's thread stores here.
  if (slot->load(std::memory_order_relaxed) == where) return;
  slot->store(where, std::memory_order_relaxed);
  // Sites the handle still holds (a task that left while the detector was
  // off, or one placed anew) now stand where they did not: answers that
  // threads cached for them may change. Raised after the store, so that a
  // cache that reads the new count also reads the new place.
  if (touched_length(handle) != 0) replaced_places_.fetch_add(1, std::memory_order_release);
}

// Called by the thread running `to`'s task: it alone appends to `to`'s
// touched list. `from`'s task ended, and its handle is not given out again
// before this returns, so its list is this caller's to read.
void tsm_t::absorb(task_key_t from, unsigned short to, std::uint64_t step) {
  touched_slot_t* slot = touched.find(from);
  if (slot == nullptr) return;  // a handle never touched: set_aside makes every key's slot
  touched_t& mine = touched.at(to).logs;
  // Room first, growing as push_back would: the moves cannot fail, so
  // nothing moves unless every log `to` gains can be named on its list.
  std::size_t const room = mine.size() + slot->logs.size();
  if (mine.capacity() < room) mine.reserve(std::max(room, 2 * mine.capacity()));  // may throw
  for (access_log_t* l : slot->logs) {
    lock_scope held(l->lock);
    if (l->dead) continue;
    bool had = false;
    bool moved = l->reads.move_task(from, to, step, had);
    moved = l->writes.move_task(from, to, step, had) || moved;
    // Freed since (and perhaps another object's now): nothing of `from`'s
    // was taken over, and `to`'s list must not name it for nothing.
    if (!moved) continue;
    if (!had) mine.push_back(l);
    l->changed();
  }
  slot->logs.clear();
  if (is_key(from)) give_back(from);
  prune(to);
}

task_key_t tsm_t::set_aside(unsigned short handle) {
  task_key_t key;
  {
    lock_scope held(keys_lock);
    if (!free_keys_.empty()) {
      key = free_keys_.back();
      free_keys_.pop_back();
    } else if (next_key_ < touched.limit) {
      key = next_key_++;
    } else {
      return 0;
    }
  }
  touched_slot_t* from = touched.find(handle);
  try {
    touched_slot_t& to = touched.at(key);
    places_.at(key);
    identities_.at(key);
    if (from != nullptr) to.logs.reserve(from->logs.size());
  } catch (std::bad_alloc const&) {
    give_back_number(key);
    return 0;
  }
  // The key's place and name are stored before its sites appear under any
  // log's lock, which a check takes before it reads them (conflicts(),
  // name_of()).
  if (std::atomic<void const*>* p = places_.find(handle))
    places_.find(key)->store(p->load(std::memory_order_relaxed), std::memory_order_relaxed);
  thread_model_t::threadid_t const who = name_of(handle);
  name(key, who);
  if (from == nullptr) return key;
  touched_t& mine = touched.find(key)->logs;
  for (access_log_t* l : from->logs) {
    lock_scope held(l->lock);
    if (l->dead) continue;
    bool moved = l->reads.relabel(handle, key);
    moved = l->writes.relabel(handle, key) || moved;
    if (!moved) continue;  // forgotten, or named twice
    l->changed();
    mine.push_back(l);  // reserved above: cannot throw
  }
  from->logs.clear();
  from->prune_at = 64;
  return key;
}

void tsm_t::give_back(task_key_t key) {
  VEXA_CHECK(is_key(key));
  if (touched_slot_t* slot = touched.find(key)) {
    // Keys go out again last in, first out: a list of common size keeps
    // its room for the next finished task.
    if (slot->logs.capacity() > 64) touched_t().swap(slot->logs);
    else slot->logs.clear();
    slot->prune_at = 64;
  }
  places_.find(key)->store(nullptr, std::memory_order_relaxed);
  name(key, {0, 0});
  give_back_number(key);
}

void tsm_t::give_back_number(task_key_t key) {
  lock_scope held(keys_lock);
  try {
    free_keys_.push_back(key);
  } catch (std::bad_alloc const&) {
    // Out of memory: this key is never given out again, nothing else is lost.
  }
}

std::size_t tsm_t::keys_in_use() {
  lock_scope held(keys_lock);
  return next_key_ - first_key - free_keys_.size();
}

void tsm_t::forget(address_t begin, address_t end) {
  if (begin >= end) return;
  if (holds_none(begin, end)) return;  // without a lock
  // Every task's end forgets its dead stack and argument block, which hold
  // a few objects: those are gathered on the stack, and only a larger
  // forget (a freed array of logged elements) allocates.
  extent_index_t::entry_t few[32];
  std::vector<extent_index_t::entry_t> many;
  std::size_t found = 0;
  // Only the shards of regions that hold a log: a dead stack is megabytes,
  // and its live frames lie in one or two of its regions.
  shard_mask_t const mask = shards_in_use(begin, end);
  if (mask == 0) return;
  {
    shards_held held(*this, mask);
    for_each_meeting(mask, begin, end, [&](extent_index_t::entry_t const& e) {
      if (e.key.base < begin || extent_index_t::high(e.key) > end) return;
      if (found < std::size(few)) {
        few[found++] = e;
        return;
      }
      if (many.empty()) many.assign(few, few + found);  // may throw; nothing changed yet
      many.push_back(e);
    });
  }
  if (found == 0) return;
  extent_index_t::entry_t* const dead = many.empty() ? few : many.data();
  std::size_t const count = many.empty() ? found : many.size();
  // The logs' changes below clear their stamps; a freed array of many
  // logged elements also gives its shadow pages back. Not a dead stack's
  // few frames at every task's end: a system call there would cost more
  // than the task.
  if (count >= 512 && end - begin >= 65536) shadow_memory.clear(begin, end);
  // Emptied, the logs stay indexed and idle, as a leaving task's do, up to
  // the idle cap: the next task's frames and the next allocations of the
  // same size lie at the same addresses, and making and unmaking their
  // logs took the structure lock several times per task, which made it
  // the most contended lock of programs with many small tasks. A new
  // object that overlaps an idle log takes it away (create()), and so
  // does the next forget that finds it still idle: otherwise every task's
  // end would walk the idle logs of every frame its thread ever had.
  std::size_t const reserved = reserve_idle(count);
  std::size_t may_idle = reserved;
  std::size_t n = 0;
  for (std::size_t i = 0; i < count; ++i) {
    extent_index_t::entry_t const e = dead[i];
    access_log_t* const l = e.log;
    {
      lock_scope held(l->lock);
      // Reclaimed or recycled since the walk: not one of these objects.
      if (l->dead || !(l->key() == e.key)) continue;
      note_lost(l->reads);
      note_lost(l->writes);
      l->reads.clear();
      l->writes.clear();
      l->changed();
      if (!l->idle && may_idle != 0) {
        --may_idle;
        l->idle = true;
        idle[(to_address(l) >> 6) % idle_shards].count.fetch_add(1, std::memory_order_relaxed);
        continue;
      }
    }
    dead[n++] = e;  // idle since the last forget, or past the cap: back to the pool
  }
  settle_idle(reserved);
  if (n == 0) return;
  // Every region of a dead log is in use, so its shards were walked; a log
  // of so many regions that it is indexed by every shard needs them all.
  shard_mask_t need = mask;
  for (std::size_t i = 0; i < n; ++i) need |= shards_of(dead[i].key);
  shards_held held(*this, need);
  for (std::size_t i = 0; i < n; ++i) retire(dead[i].log, dead[i].key);
}

void tsm_t::name(task_key_t handle, thread_model_t::threadid_t const& identity) {
  identity_slot_t* slot = identity.task_id == 0 && identity.thread == 0 ? identities_.find(handle)
                                                                        : &identities_.at(handle);
  if (slot == nullptr) return;
  // Relaxed: readers reach the slot through a log's lock, which the task's
  // own thread released after this store (see name_of()).
  slot->task_id.store(identity.task_id, std::memory_order_relaxed);
  slot->thread.store(identity.thread, std::memory_order_relaxed);
}

thread_model_t::threadid_t tsm_t::name_of(task_key_t handle) const {
  identity_slot_t const* slot = identities_.find(handle);
  if (slot == nullptr) return {0, 0};
  // The name was stored before the handle's task logged the site that the
  // caller holds the log lock of; that lock orders the two.
  return {slot->task_id.load(std::memory_order_relaxed), slot->thread.load(std::memory_order_relaxed)};
}

void tsm_t::leave(unsigned short task, void const* code) {
  (void)code;
  discard(task);
}

void tsm_t::discard(task_key_t task) {
  touched_slot_t* slot = touched.find(task);
  if (slot == nullptr) return;  // a handle never touched: set_aside makes every key's slot
  touched_t* const list = &slot->logs;
  // How many of the logs this task empties may stay idle: reserved once
  // per leave (not once per log), and given back once it is done.
  std::size_t const reserved = reserve_idle(list->size());
  std::size_t may_idle = reserved;
  std::atomic<std::ptrdiff_t>& shard = idle[task % idle_shards].count;
  // Emptied logs go back in batches, one hold of their shards' locks each.
  extent_index_t::entry_t emptied[64];
  std::size_t n = 0;
  auto flush = [&] {
    if (n == 0) return;
    shard_mask_t mask = 0;
    for (std::size_t i = 0; i < n; ++i) mask |= shards_of(emptied[i].key);
    shards_held held(*this, mask);
    for (std::size_t i = 0; i < n; ++i) retire(emptied[i].log, emptied[i].key);
    n = 0;
  };
  for (access_log_t* l : *list) {
    object_t key;
    {
      lock_scope held(l->lock);
      if (l->dead) continue;
      bool erased = l->reads.erase_task(task);
      erased = l->writes.erase_task(task) || erased;
      if (erased) l->changed();
      if (!erased || !l->reads.empty() || !l->writes.empty()) continue;
      if (may_idle != 0) {
        --may_idle;
        l->idle = true;
        shard.fetch_add(1, std::memory_order_relaxed);
        continue;
      }
      key = l->key();
    }
    emptied[n++] = extent_index_t::entry_t{key, l};
    if (n == std::size(emptied)) flush();
  }
  flush();
  settle_idle(reserved);
  slot->prune_at = 64;
  // A handle whose tasks once touched far more objects than this one gives
  // the room back; one that touches as many each time keeps it, so that its
  // next task does not grow the list again.
  if (list->capacity() > 4096 && list->capacity() > 4 * list->size())
    touched_t().swap(*list);
  else
    list->clear();
  if (is_key(task)) give_back(task);
}

// Takes a log that no live task holds out of the detector, back to the
// pool. The caller holds the locks of the key's shards.
void tsm_t::retire(access_log_t* l, object_t const& key) {
  {
    lock_scope n(l->lock);
    // Another task may have logged into it since it emptied, or another
    // leave reclaimed it first.
    if (l->dead || !(l->key() == key) || !l->reads.empty() || !l->writes.empty()) return;
    l->dead = true;
    l->changed();
    if (l->idle) {
      // Counted while idle, it stops counting as it leaves (forget()).
      l->idle = false;
      idle[0].count.fetch_sub(1, std::memory_order_relaxed);
    }
  }
  take_out(l, key);
}

// The rest of retire(), for a log already marked dead under its lock.
// `uncounted` is a log being made that never counted it as a neighbour.
void tsm_t::take_out(access_log_t* l, object_t const& key, access_log_t const* uncounted) {
  shard_mask_t const mask = shards_of(key);
  home_of(key).index.erase(l);
  each_shard(mask, [&](unsigned i) { shard(i).extents.erase(key, !l->chained); });
  for_each_meeting(mask, extent_index_t::low(key), extent_index_t::high(key), [&](extent_index_t::entry_t const& e) {
    if (e.log == uncounted) return;
    lock_scope n(e.log->lock);
    VEXA_CHECK(e.log->neighbours != 0);
    e.log->drop_neighbour(l);
    e.log->changed();
  });
  home_of(key).pool.release(l);
}

void tsm_t::reset() {
  forgotten.fetch_add(1, std::memory_order_relaxed);
  shards_held held(*this, all_shards);
  for_each_log([this](access_log_t* l, shard_t& s) {
    s.index.erase(l);
    {
      lock_scope n(l->lock);
      l->reads.clear();
      l->writes.clear();
      l->clear_neighbours();
      l->changed();
      // Each mark leaves with its count, so that the count stays exact
      // while a leaving task idles logs this walk has not reached yet.
      if (l->idle) idle[0].count.fetch_sub(1, std::memory_order_relaxed);
      l->idle = false;
      l->dead = true;
    }
    s.pool.release(l);  // links the pool's own field; the walk goes on
  });
  for (auto const& s : shards_) {
    s->index.clear();
    s->extents.clear();
  }
  // Every log is dead now, so nothing can be idle; the increments of the
  // leaves that idled them were made under log locks taken since.
  std::ptrdiff_t sum = 0;
  for (idle_shard_t const& shard : idle) sum += shard.count.load(std::memory_order_relaxed);
  VEXA_CHECK(sum == 0);
  (void)sum;
}

std::size_t tsm_t::idle_cap() const {
  return std::max<std::size_t>(4096, peak_working_set.load(std::memory_order_relaxed));
}

// A leaving task's share of the idle cap, at most `wanted`. Marks made under
// a reservation are in the shards before it is settled (under idle_lock,
// which orders them before the next reservation's sum), so the idle count
// plus what is reserved never passes the cap; revivals only lower it.
std::size_t tsm_t::reserve_idle(std::size_t wanted) {
  if (wanted == 0) return 0;
  std::size_t const cap = idle_cap();
  lock_scope held(idle_lock);
  std::size_t const taken = idle_count() + idle_reserved_;
  std::size_t const granted = std::min(wanted, taken < cap ? cap - taken : 0);
  idle_reserved_ += granted;
  return granted;
}

void tsm_t::settle_idle(std::size_t reserved) {
  if (reserved == 0) return;
  lock_scope held(idle_lock);
  VEXA_CHECK(idle_reserved_ >= reserved);
  idle_reserved_ -= reserved;
}

std::size_t tsm_t::touched_length(task_key_t handle) const {
  touched_slot_t const* slot = touched.find(handle);
  return slot == nullptr ? 0 : slot->logs.size();
}

std::size_t tsm_t::live_logs() {
  shards_held held(*this, all_shards);
  std::size_t indexed = 0;
  for (auto const& s : shards_) indexed += s->index.size();
  return indexed - idle_count();
}

void tsm_t::collect(statistic_t& s) {
  s.objects = 0;
  for (int i = 0; i < 5; ++i) s.readers[i] = s.writers[i] = s.read_sites[i] = s.write_sites[i] = 0;
  // A width of 0 would divide by zero; every count is then taken to exceed
  // the last bucket's bound, as it would with an infinitely fine width.
  auto count = [](std::uint32_t (&buckets)[5], std::size_t c, std::uint16_t step) {
    std::size_t b = step == 0 ? 4 : c / step;
    ++buckets[b > 4 ? 4 : b];
  };
  auto per_task = [&](site_list_t const& sites, std::uint32_t (&buckets)[5], std::uint16_t step) {
    std::size_t run = 0;
    for (site_t const* p = sites.begin(); p != sites.end(); ++p) {
      ++run;
      if (p + 1 == sites.end() || p[1].task != p->task) {
        count(buckets, run, step);
        run = 0;
      }
    }
  };
  shards_held held(*this, all_shards);
  for_each_log([&](access_log_t* l, shard_t&) {
    lock_scope n(l->lock);
    ++s.objects;
    count(s.readers, l->reads.tasks(), s.readers_step);
    count(s.writers, l->writes.tasks(), s.writers_step);
    per_task(l->reads, s.read_sites, s.read_sites_step);
    per_task(l->writes, s.write_sites, s.write_sites_step);
  });
}

// In lock order; a thread holds at most one log's lock, so taking all of
// them one by one under the structure locks cannot meet a thread that waits
// for one while holding another. fork() itself takes these through the
// lock registry; tests use this to see that none stays held.
void tsm_t::lock_for_fork() {
  for (auto const& s : shards_) s->lock.lock_for_fork();
  take_logs_for_fork();
  touched.lock().lock_for_fork();
  places_.lock().lock_for_fork();
  cases_lock.lock_for_fork();
  keys_lock.lock_for_fork();
}

void tsm_t::unlock_after_fork() {
  keys_lock.unlock_after_fork();
  cases_lock.unlock_after_fork();
  places_.lock().unlock_after_fork();
  touched.lock().unlock_after_fork();
  release_logs_after_fork();
  for (unsigned i = shard_count; i-- > 0;) shards_[i]->lock.unlock_after_fork();
}

void tsm_t::take_logs_for_fork() {
  for (auto const& s : shards_) s->pool.for_each([](access_log_t& l) { l.lock.lock_for_fork(); });
}

void tsm_t::release_logs_after_fork() {
  for (auto const& s : shards_) s->pool.for_each([](access_log_t& l) { l.lock.unlock_after_fork(); });
}

}  // namespace vexa
