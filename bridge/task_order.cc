// The order of OpenMP tasks (task_order.h).
#include "task_order.h"

#include <algorithm>

namespace vexa_bridge {

void node_list_t::add(task_t* t) {
  ref(t);
  std::vector<task_t*> dropped;
  {
    spin_scope held(lock);
    nodes.push_back(t);
    if (nodes.size() < compact_at) return;
    auto gone = [](task_t* n) { return n->absorbed.load(std::memory_order_relaxed); };
    auto const kept = std::stable_partition(nodes.begin(), nodes.end(), [&](task_t* n) { return !gone(n); });
    dropped.assign(kept, nodes.end());
    nodes.erase(kept, nodes.end());
    compact_at = std::max<std::size_t>(64, 2 * nodes.size());
  }
  for (task_t* n : dropped) unref(n);  // outside the lock: it may free n
}

std::vector<task_t*> node_list_t::take() {
  std::vector<task_t*> out;
  spin_scope held(lock);
  out.swap(nodes);
  return out;
}

void ref(task_t* t) { t->refs.fetch_add(1, std::memory_order_relaxed); }

void unref(region_t* r) {
  // acq_rel: the last owner sees every other owner's writes before it frees.
  if (r != nullptr && r->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete r;
}

void unref(task_t* t) {
  // Iterative along the parents: a chain of tasks each made by the last
  // may be long.
  while (t != nullptr && t->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    task_t* const parent = t->parent;
    for (task_t* p : t->predecessors) unref(p);
    clear_dependences(t);
    unref(t->home);
    for (task_t* c : t->finished_children.take()) unref(c);
    delete t;
    t = parent;
  }
}

void place(task_t* t) { _VEXA_placeTask(t, t->step); }

void advance(task_t* t) {
  ++t->step;
  place(t);
}

namespace {

// Ends a finished task for good: its accesses become the calling thread's
// task's (absorb), or are dropped.
void end_for_good(task_t* t, bool absorb) {
  if (t->absorbed.load(std::memory_order_relaxed)) return;
  t->finished = false;
  t->absorbed.store(true, std::memory_order_relaxed);
  if (absorb) _VEXA_absorbTask(t->id);
  else _VEXA_releaseTask(t->id);
  // Pairs with the acquire load in join(): the parent's joiner sees that
  // this one is gone.
  if (t->parent != nullptr) t->parent->outstanding.fetch_sub(1, std::memory_order_release);
  unref(t);  // its own reference
}

// Whether x is a predecessor of a, directly or through predecessors.
bool precedes(task_t const* x, task_t const* a) {
  task_t const* todo[64];
  unsigned n = 0, visited = 0;
  todo[n++] = a;
  while (n != 0 && visited < 512) {
    task_t const* t = todo[--n];
    ++visited;
    for (task_t const* p : t->predecessors) {
      if (p == x) return true;
      if (n < 64) todo[n++] = p;
    }
  }
  return false;
}

}  // namespace

void join(task_t* t, task_t* into) {
  if (t->absorbed.load(std::memory_order_relaxed)) return;
  // Written by the joiner only; pairs with the acquire load in ordered().
  if (t->joined_into.load(std::memory_order_relaxed) == nullptr) {
    t->join_step = into->step;
    t->joined_into.store(into, std::memory_order_release);
  }
  // Pairs with the release decrement in end_for_good(): every child of t that
  // was absorbed is seen so.
  if (t->finished && t->outstanding.load(std::memory_order_acquire) == 0) end_for_good(t, true);
}

void absorb_all(std::vector<task_t*> const& finished, task_t* into) {
  for (task_t* t : finished)
    if (t->finished) end_for_good(t, into != nullptr);
  for (task_t* t : finished) unref(t);
}

void join_all(std::vector<task_t*> const& tasks, task_t* into) {
  for (auto it = tasks.rbegin(); it != tasks.rend(); ++it) join(*it, into);
  for (task_t* t : tasks) unref(t);
}

int ordered(void const* place_of_access, std::uint64_t step) {
  task_t const* x = static_cast<task_t const*>(place_of_access);
  task_t const* const c = current_task();
  if (c == nullptr || x == nullptr) return 0;
  std::uint64_t xs = step;
  // Pairs with the release store in join().
  for (task_t const* j; (j = x->joined_into.load(std::memory_order_acquire)) != nullptr;) {
    xs = x->join_step;
    x = j;
  }
  // The current task or an ancestor: ordered when the access came before
  // the step at which the path to the current task left it.
  std::uint64_t position = c->step;
  for (task_t const* a = c; a != nullptr; position = a->born, a = a->parent)
    if (a == x) return xs <= position;
  for (task_t const* a = c; a != nullptr; a = a->parent)
    if (!a->predecessors.empty() && precedes(x, a)) return 1;
  // Through the implicit tasks the two descend from: a barrier between.
  task_t const* y = x;
  std::uint64_t ys = xs;
  while (y != nullptr && y->region == nullptr) {
    ys = y->born;
    y = y->parent;
  }
  if (y == nullptr) return 0;
  position = c->step;
  for (task_t const* a = c; a != nullptr; position = a->born, a = a->parent)
    if (a->region == y->region) return epoch_of(ys) < epoch_of(position);
  return 0;
}

void add_dependences(task_t* parent, task_t* t, void const* const* addresses, int const* kinds, int n) {
  auto precede = [t](task_t* p) {
    if (p == nullptr || p == t) return;
    if (std::find(t->predecessors.begin(), t->predecessors.end(), p) != t->predecessors.end()) return;
    ref(p);
    t->predecessors.push_back(p);
  };
  for (int i = 0; i < n; ++i) {
    auto slot = std::find_if(parent->dependences.begin(), parent->dependences.end(),
                             [&](dependence_slot_t const& s) { return s.address == addresses[i]; });
    if (slot == parent->dependences.end()) {
      parent->dependences.push_back({addresses[i], nullptr, {}});
      slot = parent->dependences.end() - 1;
    }
    precede(slot->writer);
    if (kinds[i] == 1) {  // in: after the last writer, beside the other readers
      ref(t);
      slot->readers.push_back(t);
      continue;
    }
    // out, inout and the mutually exclusive kinds: after the readers too.
    for (task_t* r : slot->readers) {
      precede(r);
      unref(r);
    }
    slot->readers.clear();
    ref(t);
    if (slot->writer != nullptr) unref(slot->writer);
    slot->writer = t;
  }
}

void clear_dependences(task_t* t) {
  std::vector<dependence_slot_t> slots;
  slots.swap(t->dependences);
  for (dependence_slot_t& s : slots) {
    if (s.writer != nullptr) unref(s.writer);
    for (task_t* r : s.readers) unref(r);
  }
}

}  // namespace vexa_bridge
