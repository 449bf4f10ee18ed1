// The order of tasks (task_order.h).
#include "task_order.h"

#include <pthread.h>

#include <algorithm>

namespace vexa_bridge {

namespace {

// Freed nodes kept for the thread's next tasks, as a list through their
// first word. A thread that frees what another makes (the joins of a
// producer's tasks) keeps at most `most` and gives the rest to the heap.
struct node_cache_t {
  void* head;
  unsigned count;
  bool keyed;   // its thread's end empties it (node_cache_key)
  bool closed;  // emptied: later frees go to the heap
};
constexpr unsigned node_cache_most = 256;
thread_local node_cache_t node_cache __attribute__((tls_model("initial-exec")));

pthread_key_t node_cache_key;
bool node_cache_keyed;  // the key was made; written once, under node_cache_key_made
pthread_once_t node_cache_key_made = PTHREAD_ONCE_INIT;

void empty_node_cache(void*) {
  node_cache_t& c = node_cache;
  while (c.head != nullptr) {
    void* const next = *static_cast<void**>(c.head);
    ::operator delete(c.head);
    c.head = next;
  }
  c.count = 0;
  c.closed = true;  // the thread's later destructors may still free tasks
}

void make_node_cache_key() { node_cache_keyed = pthread_key_create(&node_cache_key, empty_node_cache) == 0; }

}  // namespace

void* task_t::operator new(std::size_t size) {
  node_cache_t& c = node_cache;
  if (c.head == nullptr) return ::operator new(size);
  void* const node = c.head;
  c.head = *static_cast<void**>(node);
  --c.count;
  return node;
}

void* task_t::operator new(std::size_t size, std::nothrow_t const&) noexcept {
  try {
    return operator new(size);
  } catch (...) {
    return nullptr;
  }
}

void task_t::operator delete(void* node) noexcept {
  node_cache_t& c = node_cache;
  if (c.closed || c.count == node_cache_most) {
    ::operator delete(node);
    return;
  }
  if (!c.keyed) {
    c.keyed = true;
    pthread_once(&node_cache_key_made, make_node_cache_key);
    // Without a key (the process ran out of them) nothing would empty the
    // cache at the thread's end: the thread keeps none.
    if (!node_cache_keyed || pthread_setspecific(node_cache_key, &c) != 0) {  // any value but null
      c.closed = true;
      ::operator delete(node);
      return;
    }
  }
  *static_cast<void**>(node) = c.head;
  c.head = node;
  ++c.count;
}

namespace {

// Appends t to a list that may live long, under the list's lock. When the
// list has doubled since it was last compacted, the tasks absorbed since
// leave it, into `dropped`, for the caller to unref outside the lock (which
// may free them).
void add_compacting(std::vector<task_t*>& nodes, std::size_t& compact_at, task_t* t,
                    std::vector<task_t*>& dropped) {
  nodes.push_back(t);
  if (nodes.size() < compact_at) return;
  auto const kept = std::stable_partition(nodes.begin(), nodes.end(), [](task_t* n) {
    return !n->absorbed.load(std::memory_order_relaxed);  // a stale false keeps it a while longer
  });
  dropped.assign(kept, nodes.end());
  nodes.erase(kept, nodes.end());
  compact_at = std::max<std::size_t>(64, 2 * nodes.size());
}

}  // namespace

void node_list_t::add(task_t* t) {
  ref(t);
  std::vector<task_t*> dropped;
  {
    spin_scope held(lock);
    // A task's children list usually ends at two or three: one allocation.
    if (nodes.capacity() == 0) nodes.reserve(4);
    add_compacting(nodes, compact_at, t, dropped);
  }
  for (task_t* n : dropped) unref(n);  // outside the lock: it may free n
}

std::vector<task_t*> node_list_t::take() {
  std::vector<task_t*> out;
  spin_scope held(lock);
  out.swap(nodes);
  return out;
}

namespace {

// One bit per task id, in blocks of 2^16 ids made on first use and never
// freed (8 KiB per 65,536 tasks). A block pointer is published by a
// release CAS and read with acquire; bits are set with a relaxed OR (the
// absorbing itself is ordered by the library's log locks).
constexpr unsigned retired_block_bits = 16;
constexpr std::size_t retired_blocks = std::size_t{1} << 16;
std::atomic<std::uint64_t*> retired_table[retired_blocks];

std::atomic<std::uint64_t>* retired_word(std::uint64_t id, bool make) {
  std::uint64_t const block = id >> retired_block_bits;
  if (block >= retired_blocks) return nullptr;  // past 2^32 tasks: never dropped
  std::uint64_t* words = retired_table[block].load(std::memory_order_acquire);
  if (words == nullptr) {
    if (!make) return nullptr;
    auto* fresh = new (std::nothrow) std::uint64_t[(std::size_t{1} << retired_block_bits) / 64]();
    if (fresh == nullptr) return nullptr;  // entries are only kept longer
    if (retired_table[block].compare_exchange_strong(words, fresh, std::memory_order_acq_rel)) words = fresh;
    else delete[] fresh;
  }
  auto* w = reinterpret_cast<std::atomic<std::uint64_t>*>(words);
  return w + ((id & ((std::uint64_t{1} << retired_block_bits) - 1)) >> 6);
}

void retire(std::uint64_t id) {
  if (auto* w = retired_word(id, true)) w->fetch_or(std::uint64_t{1} << (id & 63), std::memory_order_relaxed);
}

}  // namespace

bool retired(std::uint64_t id) {
  auto* w = retired_word(id, false);
  return w != nullptr && (w->load(std::memory_order_relaxed) >> (id & 63) & 1) != 0;
}

std::uint64_t const* vector_clock_t::find(std::uint64_t id) const {
  auto const it = std::lower_bound(entries_.begin(), entries_.end(), id,
                                   [](entry_t const& e, std::uint64_t k) { return e.id < k; });
  return it != entries_.end() && it->id == id ? &it->step : nullptr;
}

bool vector_clock_t::covers(vector_clock_t const& other, std::uint64_t id, std::uint64_t step) const {
  if (id != 0) {
    std::uint64_t const* mine = find(id);
    if (mine == nullptr || *mine < step) return false;
  }
  if (few_into_many(other)) {
    for (entry_t const& e : other.entries_) {
      if (e.id == owner_) continue;
      std::uint64_t const* mine = find(e.id);
      if (mine == nullptr || *mine < e.step) return false;
    }
    return true;
  }
  auto a = entries_.cbegin();
  for (entry_t const& e : other.entries_) {
    if (e.id == owner_) continue;
    while (a != entries_.cend() && a->id < e.id) ++a;
    if (a == entries_.cend() || a->id != e.id || a->step < e.step) return false;
  }
  return true;
}

void vector_clock_t::merge(vector_clock_t const& other, std::uint64_t id, std::uint64_t step) {
  if (id == owner_) id = 0;
  if (other.entries_.empty() && id == 0) return;  // most fulfilment clocks: nothing to copy
  if (entries_.empty() && &other != this) {
    // A new task's clock: its parent's as it is, and the parent's step.
    // Entries of retired tasks come along and only take room until a
    // purge; looking each up cost more than the copy.
    entries_.reserve(other.entries_.size() + 1);
    for (entry_t const& e : other.entries_)
      if (e.id != owner_) entries_.push_back(e);
    if (id != 0) {
      auto const it = std::lower_bound(entries_.begin(), entries_.end(), id,
                                       [](entry_t const& x, std::uint64_t k) { return x.id < k; });
      if (it != entries_.end() && it->id == id) it->step = std::max(it->step, step);
      else entries_.insert(it, entry_t{id, step});
    }
    return;
  }
  bool const piecewise = few_into_many(other) && entries_.size() < purge_at_;
  // A lock taken again by its last owner, a repeated acquire. A piecewise
  // merge finds the same by itself, in one search per entry, not two.
  if (!piecewise && covers(other, id, step)) return;
  if (piecewise) {
    // Each entry goes where it belongs, without copying the clock: a
    // region's epoch clock takes every task that finishes in the epoch, and
    // a new task's id comes last, so a producer of many tasks that nothing
    // joins before the barrier costs a constant per task, not its count.
    // `other` is sorted: each search starts where the one before ended.
    using place_t = std::vector<entry_t>::iterator;
    auto put = [this](place_t from, entry_t const& e) {
      if (e.id == owner_) return from;
      place_t const it = std::lower_bound(from, entries_.end(), e.id,
                                          [](entry_t const& x, std::uint64_t k) { return x.id < k; });
      if (it != entries_.end() && it->id == e.id) {
        // Stored only when it rises: a region's epoch clock is shared by
        // its threads, and most of a finishing task's entries (its
        // ancestors') are there already.
        if (e.step > it->step) it->step = e.step;
        return it;
      }
      return retired(e.id) ? it : entries_.insert(it, e);
    };
    place_t from = entries_.begin();
    for (entry_t const& e : other.entries_) from = put(from, e);
    if (id != 0) put(entries_.begin(), {id, step});
    return;
  }
  // A clock that has room merges within its own buffer: every task's clock
  // is merged at each join, and a fresh buffer per merge, freed by
  // whichever thread drops the task, kept two threads contending for the
  // allocator's arena locks. Our entries move to the tail and the result is
  // written from the front: it never overtakes them, since it has taken no
  // more entries than it has read, and theirs and the extra one fit in the
  // room before ours. A clock that must grow gets room to spare for the
  // next merges. (No buffer of the thread's: a thread-local one is gone
  // while the program's thread-local and static destructors may still
  // take locks.)
  if (&other == this) {
    vector_clock_t const copy = other;
    merge(copy, id, step);
    return;
  }
  std::size_t const ours_size = entries_.size();
  std::size_t const most = ours_size + other.entries_.size() + 1;
  bool const purge = ours_size >= purge_at_;
  bool const in_place = entries_.capacity() >= most;
  std::vector<entry_t> fresh;
  entry_t const* a;
  entry_t* first;
  if (in_place) {
    entries_.resize(most);
    std::copy_backward(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(ours_size), entries_.end());
    first = entries_.data();
    a = first + (most - ours_size);
  } else {
    fresh.reserve(most + most / 2);
    fresh.resize(most);
    first = fresh.data();
    a = entries_.data();
  }
  entry_t const extra{id, step};
  entry_t* o = first;
  // An entry the result already has (the same task) keeps the later step;
  // otherwise it goes in unless its task retired (ours too, when purging).
  auto take = [&](entry_t const& e, bool ours) {
    if (e.id == owner_) return;
    if (o != first && o[-1].id == e.id) {
      if (e.step > o[-1].step) o[-1].step = e.step;
    } else if ((ours && !purge) || !retired(e.id)) {
      *o++ = e;
    }
  };
  entry_t const* b = other.entries_.data();
  entry_t const* const a_end = a + ours_size;
  entry_t const* const b_end = b + other.entries_.size();
  bool extra_pending = id != 0;
  // Ours before theirs, and both before `extra`, among equal ids.
  while (a != a_end || b != b_end) {
    bool const ours = a != a_end && (b == b_end || a->id <= b->id);
    entry_t const& next = ours ? *a : *b;
    if (extra_pending && extra.id < next.id) {
      take(extra, false);
      extra_pending = false;
      continue;
    }
    take(next, ours);
    if (ours) ++a;
    else ++b;
  }
  if (extra_pending) take(extra, false);
  std::size_t const kept = static_cast<std::size_t>(o - first);
  if (in_place) {
    entries_.resize(kept);
  } else {
    fresh.resize(kept);
    entries_.swap(fresh);
  }
  if (purge) purge_at_ = std::max<std::size_t>(64, 2 * entries_.size());
}

void ref(task_t* t) { t->refs.fetch_add(1, std::memory_order_relaxed); }

void unref(region_t* r) {
  // acq_rel: the last owner sees every other owner's writes before it frees.
  if (r != nullptr && r->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete r;
}

void unref(task_t* t) {
  // acq_rel: the last owner sees every other owner's writes before it frees.
  if (t == nullptr || t->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  // With a work list rather than recursion: a chain of tasks, each holding
  // the one before (parent, predecessor), may be long. The list holds tasks
  // whose last reference went while another was being freed; it is made
  // only then (most unrefs free nothing, and most frees free one task).
  thread_local std::vector<task_t*>* dead = nullptr;
  if (dead != nullptr) {
    dead->push_back(t);
    return;
  }
  std::vector<task_t*> work;
  dead = &work;
  for (task_t* x = t;;) {
    unref(x->parent);
    for (task_t* p : x->predecessors) unref(p);
    x->predecessors.clear();
    clear_dependences(x);  // unrefs what its slots held
    for (task_t* c : x->finished_children.take()) unref(c);
    unref(x->home);
    delete x;
    if (work.empty()) break;
    x = work.back();
    work.pop_back();
  }
  dead = nullptr;
}

void place(task_t* t) { _VEXA_placeTask(t, t->step); }

void advance(task_t* t) {
  ++t->step;
  place(t);
}

void end_for_good(task_t* t, bool absorb) {
  // Once only, whoever comes first: a barrier's departing tasks and a join
  // after it (a taskgroup around the barrier) may both reach t.
  if (t->absorbed.exchange(true, std::memory_order_relaxed)) return;
  t->finished = false;
  if (absorb) _VEXA_absorbTask(t->id);
  else _VEXA_releaseTask(t->id);
  // Only now that no access is labelled with it: a clock merged before
  // (a barrier's departing task, while another absorbs) must still take
  // its entry in, or its accesses would look unordered meanwhile.
  retire(t->id);
  // Pairs with the acquire loads of outstanding: the parent's joiner sees
  // that this one is gone.
  if (t->parent != nullptr) t->parent->outstanding.fetch_sub(1, std::memory_order_release);
  unref(t);  // its own reference
}

namespace {

// Nothing of t's own is still about. Pairs with the release decrement in
// end_for_good().
bool closed(task_t const* t) { return t->outstanding.load(std::memory_order_acquire) == 0; }

// Merges what the finished task t is ordered after, and t itself, into
// `into`'s clock. A t that `into` absorbs right after leaves its own entry
// out: nothing will be labelled with it, and its entry would stay in every
// clock that `into` hands on until a purge (fib's clocks grew to a hundred
// entries, most of them children joined long before).
void take_end(task_t* t, task_t* into, bool absorbed_next = false) {
  into->clock.merge(t->clock, absorbed_next ? 0 : t->id, t->step);
  spin_scope held(t->lock);
  into->clock.merge(t->fulfilled);
}

// t's only successor may take t's accesses over when it starts: nothing
// else can become a successor of t (it is in none of its parent's slots:
// acquire, pairs with the release in leave_slot()), no join merged it, and
// nothing of its own is about.
bool absorbable_by_successor(task_t const* t) {
  return t->finished && !t->published && t->slots.load(std::memory_order_acquire) == 0 &&
         t->successors.load(std::memory_order_relaxed) == 1 && !t->joined && closed(t);
}

// Whether x, as it is now, stands in the epoch of its region that t was
// made in. A barrier hands t's end to every task after it; relabelling t's
// accesses to a point of x after that barrier would lose that order.
bool same_epoch(task_t const* t, task_t const* x) {
  region_t const* const region = x->region != nullptr ? x->region : x->home;
  std::uint64_t const epoch = x->region != nullptr ? epoch_of(x->step) : x->epoch;
  return t->home == region && t->epoch == epoch;
}

void leave_slot(task_t* t) {
  // Pairs with the acquire load in absorbable_by_successor().
  t->slots.fetch_sub(1, std::memory_order_release);
  unref(t);
}

}  // namespace

void created(task_t* parent, task_t* t) {
  t->clock.merge(parent->clock, parent->id, parent->step);
  t->epoch = parent->region != nullptr ? epoch_of(parent->step) : parent->epoch;
}

void started(task_t* t) {
  for (task_t* p : t->predecessors) take_end(p, t);
  for (task_t* p : t->predecessors)
    if (!p->absorbed.load(std::memory_order_relaxed) && absorbable_by_successor(p) && same_epoch(p, t))
      end_for_good(p, true);
}

namespace {

// The end clocks of r's listed tasks that its epoch clocks lack. Caller
// holds r->lock. A task absorbed meanwhile is skipped: whoever absorbed it
// took its end clock (a join, a successor), or this ran first (the
// barrier's absorbing, the region's end), or it merged at once (a piece).
void merge_listed(region_t* r) {
  for (task_t* t : r->finished) {
    if (t->in_epoch_clock) continue;
    t->in_epoch_clock = true;
    // Written once by the absorbing thread; a stale false merges a clock
    // that is no longer needed, nothing worse.
    if (!t->absorbed.load(std::memory_order_relaxed)) r->epochs[t->epoch & 1].merge(t->clock, t->id, t->step);
  }
}

// Takes r's list, its end clocks merged first. The caller gives back what
// it keeps (give_back()) and drops its references to the rest.
std::vector<task_t*> take_listed(region_t* r) {
  std::vector<task_t*> out;
  spin_scope held(r->lock);
  merge_listed(r);
  out.swap(r->finished);
  r->compact_at = 64;
  return out;
}

void give_back(region_t* r, std::vector<task_t*> const& kept) {
  std::vector<task_t*> dropped;
  {
    spin_scope held(r->lock);
    for (task_t* t : kept) add_compacting(r->finished, r->compact_at, t, dropped);
  }
  for (task_t* t : dropped) unref(t);
}

}  // namespace

void finished(task_t* t, bool merge_now) {
  region_t* const r = t->home;
  if (r == nullptr) return;
  ref(t);  // the list's
  std::vector<task_t*> dropped;
  {
    spin_scope held(r->lock);
    // Implicit tasks hand their clocks on as they arrive at barriers.
    if (t->region != nullptr) {
      t->in_epoch_clock = true;
    } else if (merge_now) {
      r->epochs[t->epoch & 1].merge(t->clock, t->id, t->step);
      t->in_epoch_clock = true;
    }
    add_compacting(r->finished, r->compact_at, t, dropped);
  }
  for (task_t* n : dropped) unref(n);
}

vector_clock_t const& epoch_clock(region_t* r, std::uint64_t epoch) {
  merge_listed(r);
  return r->epochs[epoch & 1];
}

void fulfil(task_t* t, task_t* fulfiller) {
  if (fulfiller != nullptr) {
    spin_scope held(t->lock);
    t->fulfilled.merge(fulfiller->clock, fulfiller->id, fulfiller->step);
  }
  // The task completes now: its region's barrier comes after. One lock at
  // a time: bridge locks never nest.
  if (t->home != nullptr && t->region == nullptr) {
    vector_clock_t fulfilled;
    {
      spin_scope held(t->lock);
      fulfilled = t->fulfilled;
    }
    region_t* r = t->home;
    spin_scope held(r->lock);
    r->epochs[t->epoch & 1].merge(fulfilled);
  }
  if (fulfiller != nullptr) advance(fulfiller);
}

void join(task_t* t, task_t* into) {
  if (t->absorbed.load(std::memory_order_relaxed)) return;
  bool const absorb = t->finished && !t->published && t->successors.load(std::memory_order_relaxed) == 0 &&
                      closed(t) && same_epoch(t, into);
  take_end(t, into, absorb);
  if (absorb) end_for_good(t, true);
  else t->joined = true;
}

void join_children(task_t* into) {
  std::vector<task_t*> children = into->finished_children.take();
  // Every child finished, none with anything of its own about: whatever
  // saw one of them is one of them, so all may be absorbed together.
  bool const all = std::all_of(children.begin(), children.end(),
                               [into](task_t* c) { return closed(c) && !c->published && same_epoch(c, into); }) &&
                   into->outstanding.load(std::memory_order_acquire) ==
                       static_cast<int>(std::count_if(children.begin(), children.end(), [](task_t* c) {
                         return !c->absorbed.load(std::memory_order_relaxed);
                       }));
  for (task_t* c : children) {
    bool const absorb = !c->absorbed.load(std::memory_order_relaxed) && c->finished && !c->published &&
                        same_epoch(c, into) &&
                        (all || (closed(c) && c->successors.load(std::memory_order_relaxed) == 0));
    take_end(c, into, absorb);
    if (absorb) end_for_good(c, true);
    else if (!c->absorbed.load(std::memory_order_relaxed))
      into->finished_children.add(c);  // for a later taskwait, or the region's end
  }
  for (task_t* c : children) unref(c);
}

void join_group(std::vector<task_t*> const& members, task_t* into) {
  for (task_t* t : members) take_end(t, into);
  // Deepest first: a task made later is absorbed before the one that made it.
  for (auto it = members.rbegin(); it != members.rend(); ++it)
    if ((*it)->finished && !(*it)->published && closed(*it) && same_epoch(*it, into)) end_for_good(*it, true);
  for (task_t* t : members) unref(t);
}

void end_region(region_t* r, task_t* into) {
  std::vector<task_t*> const done = take_listed(r);
  if (into != nullptr) {
    spin_scope held(r->lock);
    into->clock.merge(r->epochs[0]);
    into->clock.merge(r->epochs[1]);
  }
  for (task_t* t : done)
    if (t->finished) end_for_good(t, into != nullptr);
  for (task_t* t : done) unref(t);
}

void absorb_epoch(task_t* into) {
  region_t* r = into->region;
  // Their end clocks are in the epoch's before any is absorbed here, with
  // nothing taking them: an implicit task that departs while this one
  // holds the list reads them there.
  std::vector<task_t*> done = take_listed(r);
  // Deepest first: a task is made after the one that made it, with a
  // larger id, and is absorbed before it, so that the maker is closed.
  std::sort(done.begin(), done.end(), [](task_t const* a, task_t const* b) { return a->id > b->id; });
  for (task_t* t : done)
    if (t->region == nullptr && t->finished && !t->published && same_epoch(t, into) && closed(t))
      end_for_good(t, true);
  auto const gone = std::stable_partition(done.begin(), done.end(), [](task_t const* t) {
    return !t->absorbed.load(std::memory_order_relaxed);  // written by this thread, or before the barrier
  });
  std::vector<task_t*> absorbed(gone, done.end());
  done.erase(gone, done.end());
  give_back(r, done);
  for (task_t* t : absorbed) unref(t);
}

void arrive(task_t* t) {
  region_t* r = t->region;
  spin_scope held(r->lock);
  r->epochs[epoch_of(t->step) & 1].merge(t->clock, t->id, t->step);
}

// Every task of the epoch finished before any implicit task departs, and
// none of the next epoch's can finish before this one arrives at the next
// barrier, so the parity's clock holds nothing later than this epoch's
// (what it kept of earlier ones is ordered before anyway).
void depart(task_t* t) {
  region_t* r = t->region;
  {
    spin_scope held(r->lock);
    t->clock.merge(epoch_clock(r, epoch_of(t->step)));
  }
  t->step = next_epoch(t->step);
  place(t);
}

int ordered(void const* place_of_access, std::uint64_t step) {
  task_t const* x = static_cast<task_t const*>(place_of_access);
  task_t const* const c = current_task();
  if (c == nullptr || x == nullptr) return 0;
  if (x == c) return step <= c->step;
  std::uint64_t const* seen = c->clock.find(x->id);
  return seen != nullptr && step <= *seen;
}

namespace {

// A lock of its own for the mutexinoutset group that t starts: the tasks of
// one group exclude each other, not those of another parent's group on the
// same item. Named by t's id, odd, as no aligned lock object's address is.
void const* group_lock(task_t const* t) { return reinterpret_cast<void const*>(std::uintptr_t(t->id) * 2 + 1); }

}  // namespace

// OMPT's dependence types (ompt_dependence_type_t), fixed by the OpenMP
// tools interface; spelled here so that the threads library, which has no
// OpenMP runtime, builds this file too.
constexpr int dependence_in = 1;
constexpr int dependence_mutexinoutset = 4;

void add_dependences(task_t* parent, task_t* t, void const* const* addresses, int const* kinds, int n) {
  auto precede = [t](task_t* p) {
    if (p == nullptr || p == t) return;
    if (std::find(t->predecessors.begin(), t->predecessors.end(), p) != t->predecessors.end()) return;
    ref(p);
    t->predecessors.push_back(p);
    if (!t->waiting) p->successors.fetch_add(1, std::memory_order_relaxed);
  };
  auto keep = [](std::vector<task_t*>& v, task_t* x) {
    ref(x);
    x->slots.fetch_add(1, std::memory_order_relaxed);  // its parent's thread only, see leave_slot()
    v.push_back(x);
  };
  auto list = [&](std::vector<task_t*>& v) { keep(v, t); };
  auto drop = [](std::vector<task_t*>& v) {
    for (task_t* x : v) leave_slot(x);
    v.clear();
  };
  for (int i = 0; i < n; ++i) {
    auto slot = std::find_if(parent->dependences.begin(), parent->dependences.end(),
                             [&](dependence_slot_t const& s) { return s.address == addresses[i]; });
    if (slot == parent->dependences.end()) {
      parent->dependences.push_back({addresses[i], {}, {}, {}, false});
      slot = parent->dependences.end() - 1;
    }
    switch (kinds[i]) {
      case dependence_in:  // after the last writers, beside the other readers
        for (task_t* p : slot->last) precede(p);
        list(slot->readers);
        break;
      case dependence_mutexinoutset:
        // A group of them follows what came before it and orders nothing
        // among its own (they exclude each other instead).
        if (!slot->group || !slot->readers.empty()) {
          drop(slot->group_base);
          for (task_t* p : slot->last) keep(slot->group_base, p);
          for (task_t* p : slot->readers) keep(slot->group_base, p);
          drop(slot->last);
          drop(slot->readers);
          slot->group = true;
          slot->group_lock = group_lock(t);
        }
        for (task_t* p : slot->group_base) precede(p);
        list(slot->last);
        t->exclusive.push_back(slot->group_lock);
        break;
      default:  // out, inout (and inoutset, which no compiler here emits): after everything
        for (task_t* p : slot->last) precede(p);
        for (task_t* p : slot->readers) precede(p);
        drop(slot->last);
        drop(slot->readers);
        drop(slot->group_base);
        slot->group = false;
        list(slot->last);
        break;
    }
  }
}

void clear_dependences(task_t* t) {
  std::vector<dependence_slot_t> slots;
  slots.swap(t->dependences);
  for (dependence_slot_t& s : slots) {
    for (task_t* x : s.last) leave_slot(x);
    for (task_t* x : s.readers) leave_slot(x);
    for (task_t* x : s.group_base) leave_slot(x);
  }
}

// Nothing but the barrier orders a piece before other tasks (no join
// merges it, no task depends on it), and the barrier hands on `into`'s step
// of its arrival with the piece's end: relabelling the piece's accesses to
// that step orders them before the same tasks.
void absorb_pieces(task_t* const* pieces, unsigned count, task_t* into) {
  for (unsigned i = 0; i < count; ++i) {
    task_t* const p = pieces[i];
    if (p->finished && !p->absorbed.load(std::memory_order_relaxed) && closed(p) && same_epoch(p, into))
      end_for_good(p, true);
  }
}

}  // namespace vexa_bridge
