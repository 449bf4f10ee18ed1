// Open activations per task, the holders of each function, and the check
// across tasks. The protocol is described at the top of re.h.
#include "re.h"

#include <algorithm>
#include <new>

#include "../vexa/runtime.h"

namespace vexa {

namespace {

// The holder word: bits 0-15 the handle, 16-30 its count, 31 shared,
// 32-63 the generation.
constexpr std::uint64_t shared_bit = std::uint64_t{1} << 31;
constexpr std::uint32_t max_count = 0x7fff;
constexpr std::uint64_t one = std::uint64_t{1} << 16;

std::uint32_t generation_of(std::uint64_t w) { return static_cast<std::uint32_t>(w >> 32); }
unsigned short holder_of(std::uint64_t w) { return static_cast<unsigned short>(w & 0xffff); }
std::uint32_t count_of(std::uint64_t w) { return static_cast<std::uint32_t>(w >> 16) & max_count; }
std::uint64_t word(std::uint32_t generation, unsigned short task, std::uint32_t count) {
  return std::uint64_t{generation} << 32 | std::uint64_t{count} << 16 | task;
}

// The first entry of a sorted holder list not below task.
template <class V>
auto holder_at(V& tasks, unsigned short task) {
  return std::lower_bound(tasks.begin(), tasks.end(), task,
                          [](auto const& x, unsigned short t) { return x.task < t; });
}

}  // namespace

// One call of enter or leave: its task, its stack and the generation it
// belongs to. `stale` says a reset came while the call ran: the call then
// leaves the holder words alone (its stack is dropped at the next call).
struct re_t::call_t {
  unsigned short task;
  std::uint32_t generation;
  stack_t* stack;
  bool stale;
};

re_t::re_t() : feature_t(lock_rank::re_feature) {
  // VEXA_RE narrows the check to one function: its address in hexadecimal,
  // any address of the target. The range's end counts as inside, so the
  // address one higher is checked too.
  address_t value;
  if (read_environment_address("VEXA_RE", value)) {
    auto* f = new logging_filter_t;
    f->code_ranges.insert({value, 1});
    f->code_mode = logging_filter_t::mode_only;
    install_filter(f);
  }
}

re_t::~re_t() = default;

re_t::function_table_t::~function_table_t() {
  table_t* t = table_.load(std::memory_order_relaxed);
  if (t != nullptr)
    for (std::size_t i = 0; i <= t->mask; ++i) delete t->slots[i].load(std::memory_order_relaxed);
  while (t != nullptr) {
    table_t* older = t->older;
    delete[] t->slots;
    delete t;
    t = older;
  }
}

re_t::holders_t* re_t::function_table_t::probe(table_t const& t, void const* function, std::size_t& slot) {
  std::size_t i = (to_address(function) * static_cast<std::size_t>(0x9e3779b97f4a7c15ull)) >> 7;
  for (;; ++i) {
    // Pairs with the release store in at(): a record is seen built.
    holders_t* h = t.slots[i & t.mask].load(std::memory_order_acquire);
    if (h == nullptr || h->function == function) {
      slot = i & t.mask;
      return h;
    }
  }
}

re_t::holders_t* re_t::function_table_t::find(void const* function) const {
  // Pairs with the release store in at(): the table is seen built.
  table_t const* t = table_.load(std::memory_order_acquire);
  std::size_t slot;
  return t == nullptr ? nullptr : probe(*t, function, slot);
}

re_t::holders_t& re_t::function_table_t::at(void const* function) {
  table_t* t = table_.load(std::memory_order_relaxed);  // writers hold feature_lock
  std::size_t slot;
  if (t != nullptr)
    if (holders_t* h = probe(*t, function, slot)) return *h;
  auto* h = new holders_t;
  h->function = function;
  if (t == nullptr || 2 * (used_ + 1) > t->mask + 1) {
    std::size_t const grown = t == nullptr ? 64 : 2 * (t->mask + 1);
    table_t* bigger;
    try {
      bigger = new table_t{grown - 1, new std::atomic<holders_t*>[grown](), t};
    } catch (...) {
      delete h;
      throw;
    }
    for (std::size_t i = 0; t != nullptr && i <= t->mask; ++i)
      if (holders_t* old = t->slots[i].load(std::memory_order_relaxed)) {
        probe(*bigger, old->function, slot);
        bigger->slots[slot].store(old, std::memory_order_relaxed);
      }
    // Publish the filled table; pairs with the acquire load in find(). The
    // old one stays for readers that still probe it.
    table_.store(bigger, std::memory_order_release);
    t = bigger;
  }
  probe(*t, function, slot);
  t->slots[slot].store(h, std::memory_order_release);  // pairs with the acquire in probe()
  ++used_;
  return *h;
}

void re_t::reset() {
  lock_scope held(feature_lock);
  // Pairs with the acquire load at the start of every call: a later call
  // finds every stack and word of the old generation empty.
  generation_.store(generation_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  functions_.for_each([](holders_t& h) { std::vector<holder_t>().swap(h.tasks); });
}

// Seqlock writes to a stack by its owner. The odd value is forced rather
// than incremented, so a stack left mid-change by a thread that vanished in
// a fork is put right by its next writer.
namespace {
template <class S>
void begin_write(S& s) {
  s.sequence.store(s.sequence.load(std::memory_order_relaxed) | 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);  // the odd value before the entries
}
template <class S>
void end_write(S& s) {
  // Pairs with the readers' acquire load of the sequence: entries before.
  s.sequence.store(s.sequence.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}
}  // namespace

void re_t::clear_if_stale(call_t& call) {
  stack_t& s = *call.stack;
  if (s.generation.load(std::memory_order_relaxed) == call.generation) return;  // only the owner writes it
  begin_write(s);
  s.size.store(0, std::memory_order_relaxed);
  s.generation.store(call.generation, std::memory_order_relaxed);
  end_write(s);
}

[[gnu::always_inline]] inline void re_t::begin(call_t& call, unsigned short task) {
  call.task = task;
  // Pairs with the release store in reset().
  call.generation = generation_.load(std::memory_order_acquire);
  call.stack = &stacks_.at(task);
  call.stale = false;
  clear_if_stale(call);
}

void re_t::grow(stack_t& s) {
  std::uint32_t const grown = s.capacity == 0 ? 16 : 2 * s.capacity;
  auto* bigger = new slot_t[grown];
  slot_t* old = s.data.load(std::memory_order_relaxed);  // only the owner swaps it
  std::uint32_t const n = s.size.load(std::memory_order_relaxed);
  for (std::uint32_t i = 0; i < n; ++i) {
    bigger[i].function.store(old[i].function.load(std::memory_order_relaxed), std::memory_order_relaxed);
    bigger[i].frame.store(old[i].frame.load(std::memory_order_relaxed), std::memory_order_relaxed);
    bigger[i].holders = old[i].holders;
  }
  {
    // Readers of other threads look at the buffer only under feature_lock.
    lock_scope held(feature_lock);
    s.data.store(bigger, std::memory_order_relaxed);
    s.capacity = grown;
  }
  delete[] old;
}

[[gnu::always_inline]] inline void re_t::push(call_t& call, instance_t const& a, holders_t* h) {
  stack_t& s = *call.stack;
  std::uint32_t const n = s.size.load(std::memory_order_relaxed);  // only the owner writes it
  slot_t& slot = s.data.load(std::memory_order_relaxed)[n];        // room made by the caller
  begin_write(s);
  slot.function.store(a.function, std::memory_order_relaxed);
  slot.frame.store(a.frame, std::memory_order_relaxed);
  slot.holders = h;
  s.size.store(n + 1, std::memory_order_relaxed);
  end_write(s);
}

[[gnu::always_inline]] inline void re_t::pop_to(call_t& call, std::uint32_t keep) {
  stack_t& s = *call.stack;
  std::uint32_t const n = s.size.load(std::memory_order_relaxed);  // only the owner writes it
  slot_t const* data = s.data.load(std::memory_order_relaxed);
  begin_write(s);
  s.size.store(keep, std::memory_order_relaxed);
  end_write(s);
  for (std::uint32_t i = n; i-- > keep;)
    if (data[i].holders != nullptr) release(call, *data[i].holders);
}

[[gnu::always_inline]] inline bool re_t::hold(call_t& call, holders_t& h, std::vector<unsigned short>& others) {
  // Pairs with the compare-and-swaps and the locked stores of other tasks.
  std::uint64_t w = h.word.load(std::memory_order_acquire);
  for (;;) {
    std::uint64_t next;
    if (generation_of(w) != call.generation) {
      // A newer word means a reset came since the call began; its writer
      // read the new generation before its swap, so this load sees it.
      if (generation_.load(std::memory_order_acquire) != call.generation) {
        call.stale = true;
        return false;
      }
      next = word(call.generation, call.task, 1);
    } else if (w & shared_bit) {
      return hold_slow(call, h, others);
    } else if (count_of(w) == 0) {
      next = word(call.generation, call.task, 1);
    } else if (holder_of(w) == call.task && count_of(w) < max_count) {
      next = w + one;
    } else {
      return hold_slow(call, h, others);
    }
    if (h.word.compare_exchange_weak(w, next, std::memory_order_acq_rel, std::memory_order_acquire)) return false;
  }
}

bool re_t::hold_slow(call_t& call, holders_t& h, std::vector<unsigned short>& others) {
  lock_scope held(feature_lock);
  // reset() changes the generation only under this lock.
  if (generation_.load(std::memory_order_relaxed) != call.generation) {
    call.stale = true;
    return false;
  }
  std::uint64_t w = h.word.load(std::memory_order_acquire);  // pairs with the holders' swaps
  while (!(generation_of(w) == call.generation && (w & shared_bit))) {
    if (generation_of(w) != call.generation || count_of(w) == 0) {
      if (h.word.compare_exchange_weak(w, word(call.generation, call.task, 1), std::memory_order_acq_rel,
                                       std::memory_order_acquire))
        return false;
      continue;
    }
    if (holder_of(w) == call.task && count_of(w) < max_count) {
      if (h.word.compare_exchange_weak(w, w + one, std::memory_order_acq_rel, std::memory_order_acquire))
        return false;
      continue;
    }
    // Another handle holds it, or the count is full: the list takes over.
    // The list is unused while the shared bit is clear.
    h.tasks.reserve(2);  // may throw; nothing changed yet
    h.tasks.assign(1, holder_t{holder_of(w), count_of(w)});
    std::uint64_t const shared = word(call.generation, 0, 0) | shared_bit;
    if (h.word.compare_exchange_strong(w, shared, std::memory_order_acq_rel, std::memory_order_acquire)) break;
    // The holder moved on first; look again.
  }
  // Shared: only feature_lock holders change the list and the word now.
  h.tasks.reserve(h.tasks.size() + 1);  // may throw; nothing changed yet
  others.reserve(h.tasks.size());
  for (holder_t const& x : h.tasks)
    if (x.task != call.task) others.push_back(x.task);
  auto it = holder_at(h.tasks, call.task);
  if (it != h.tasks.end() && it->task == call.task)
    ++it->count;
  else
    h.tasks.insert(it, holder_t{call.task, 1});
  return !others.empty();
}

[[gnu::always_inline]] inline void re_t::release(call_t& call, holders_t& h) {
  if (call.stale) return;
  std::uint64_t w = h.word.load(std::memory_order_acquire);  // pairs with the holders' swaps
  for (;;) {
    // This task holds the function in this generation, so only a reset
    // moves the word to another one.
    if (generation_of(w) != call.generation) {
      call.stale = true;
      return;
    }
    if (w & shared_bit) return release_slow(call, h);
    std::uint64_t const next = count_of(w) == 1 ? word(call.generation, 0, 0) : w - one;
    if (h.word.compare_exchange_weak(w, next, std::memory_order_acq_rel, std::memory_order_acquire)) return;
  }
}

void re_t::release_slow(call_t& call, holders_t& h) {
  lock_scope held(feature_lock);
  if (generation_.load(std::memory_order_relaxed) != call.generation) {  // reset() writes it under this lock
    call.stale = true;
    return;
  }
  std::uint64_t w = h.word.load(std::memory_order_acquire);
  if (!(w & shared_bit)) {
    // Back to one holder (this task) since the caller looked.
    for (;;) {
      std::uint64_t const next = count_of(w) == 1 ? word(call.generation, 0, 0) : w - one;
      if (h.word.compare_exchange_weak(w, next, std::memory_order_acq_rel, std::memory_order_acquire)) return;
    }
  }
  auto it = holder_at(h.tasks, call.task);
  if (--it->count == 0) h.tasks.erase(it);
  // Down to one holder or none: the word alone says it again, and that
  // holder's calls take no lock. Nobody swaps a shared word, so a store is
  // enough; it pairs with the acquire loads in hold() and release().
  if (h.tasks.empty()) {
    h.word.store(word(call.generation, 0, 0), std::memory_order_release);
  } else if (h.tasks.size() == 1 && h.tasks[0].count <= max_count) {
    h.word.store(word(call.generation, h.tasks[0].task, h.tasks[0].count), std::memory_order_release);
    h.tasks.clear();
  }
}

void re_t::others_holding(call_t& call, void const* function, std::vector<unsigned short>& out) {
  holders_t* h = functions_.find(function);
  if (h == nullptr) return;
  std::uint64_t w = h->word.load(std::memory_order_acquire);  // pairs with the holders' swaps
  if (generation_of(w) == call.generation && !(w & shared_bit)) {
    if (count_of(w) != 0 && holder_of(w) != call.task) out.push_back(holder_of(w));
    return;
  }
  if (generation_of(w) != call.generation) return;  // nobody since the last reset
  lock_scope held(feature_lock);
  if (generation_.load(std::memory_order_relaxed) != call.generation) return;
  w = h->word.load(std::memory_order_relaxed);  // changes only under this lock or by swaps of one holder
  if (!(w & shared_bit)) {
    if (count_of(w) != 0 && holder_of(w) != call.task) out.push_back(holder_of(w));
    return;
  }
  for (holder_t const& x : h->tasks)
    if (x.task != call.task) out.push_back(x.task);
}

[[gnu::always_inline]] inline void re_t::sync(call_t& call, void const* frame, void const* function) {
  stack_t const& s = *call.stack;
  // The owner's own entries: relaxed loads see its own stores.
  std::uint32_t const n = s.size.load(std::memory_order_relaxed);
  slot_t const* data = s.data.load(std::memory_order_relaxed);
  address_t const f = to_address(frame);
  std::uint32_t keep = n;
  while (keep != 0 && to_address(data[keep - 1].frame.load(std::memory_order_relaxed)) < f) --keep;
  if (function != nullptr)
    while (keep != 0 && data[keep - 1].function.load(std::memory_order_relaxed) != function &&
           to_address(data[keep - 1].frame.load(std::memory_order_relaxed)) <= f)
      --keep;
  if (keep != n) pop_to(call, keep);
}

bool re_t::checked(void const* function) const {
  logging_filter_t const* f = current_filter();
  return f == nullptr || f->code_passes(to_address(function));
}

void re_t::enter(unsigned short task, void const* function, void const* frame) {
  call_t call;
  begin(call, task);
  sync(call, frame, nullptr);
  stack_t& s = *call.stack;
  if (s.size.load(std::memory_order_relaxed) == s.capacity) grow(s);  // may throw; nothing changed yet
  holders_t* h = functions_.find(function);
  if (h == nullptr) {
    lock_scope held(feature_lock);
    h = &functions_.at(function);  // may throw; nothing changed yet
  }
  std::vector<unsigned short> noted;
  bool const others = hold(call, *h, noted);  // may throw, holding nothing more
  push(call, {function, frame}, call.stale ? nullptr : h);
  if (others && checked(function)) raise(task, function, noted);
}

void re_t::leave(unsigned short task, void const* function, void const* frame) {
  call_t call;
  begin(call, task);
  sync(call, frame, function);
  stack_t& s = *call.stack;
  std::uint32_t const n = s.size.load(std::memory_order_relaxed);
  if (n == 0) return;
  if (s.data.load(std::memory_order_relaxed)[n - 1].function.load(std::memory_order_relaxed) == function) {
    pop_to(call, n - 1);
    return;
  }
  // A leave that matches no open activation is checked like an entry.
  if (!checked(function)) return;
  std::vector<unsigned short> noted;
  others_holding(call, function, noted);
  if (!noted.empty()) raise(task, function, noted);
}

void re_t::leave(unsigned short task) {
  stack_t* s = stacks_.find(task);
  if (s == nullptr) return;
  call_t call{task, generation_.load(std::memory_order_acquire), s, false};  // pairs with reset()
  clear_if_stale(call);
  pop_to(call, 0);
  // A task that opened very deep recursion gives the room back.
  if (s->capacity > 1024) {
    slot_t* old;
    {
      lock_scope held(feature_lock);  // readers of other threads look at the buffer only under it
      old = s->data.exchange(nullptr, std::memory_order_relaxed);
      s->capacity = 0;
    }
    delete[] old;
  }
}

std::vector<re_t::instance_t> re_t::read_stack(stack_t const& s, std::uint32_t generation) const {
  std::vector<instance_t> out;
  for (;;) {
    // Pairs with end_write(): the entries of an even count are complete.
    std::uint32_t const before = s.sequence.load(std::memory_order_acquire);
    if (before & 1) continue;  // the owner is between two stores, without a lock
    std::uint32_t const n = s.size.load(std::memory_order_relaxed);
    slot_t const* data = s.data.load(std::memory_order_relaxed);  // swapped only under feature_lock
    bool const current = s.generation.load(std::memory_order_relaxed) == generation;
    out.clear();
    if (current) {
      out.reserve(n);
      for (std::uint32_t i = 0; i < n; ++i)
        out.push_back({data[i].function.load(std::memory_order_relaxed), data[i].frame.load(std::memory_order_relaxed)});
    }
    std::atomic_thread_fence(std::memory_order_acquire);  // the entries before the second look
    if (s.sequence.load(std::memory_order_relaxed) == before) return out;
  }
}

std::vector<re_t::instance_t> re_t::activations_of(unsigned short task) {
  lock_scope held(feature_lock);
  stack_t const* s = stacks_.find(task);
  return s == nullptr ? std::vector<instance_t>{} : read_stack(*s, generation_.load(std::memory_order_relaxed));
}

std::size_t re_t::open_tasks() {
  lock_scope held(feature_lock);
  std::uint32_t const generation = generation_.load(std::memory_order_relaxed);  // reset() writes it under this lock
  std::size_t n = 0;
  stacks_.for_each([&](unsigned short, stack_t const& s) { n += read_stack(s, generation).empty() ? 0 : 1; });
  return n;
}

void re_t::raise(unsigned short task, void const* function, std::vector<unsigned short>& noted) {
  lock_scope held(vexa.lock);
  std::vector<vexa_task_identity_t> list;
  list.reserve(noted.size() + 1);
  noted.push_back(task);
  for (unsigned short h : noted) {
    thread_model_t::threadid_t const id = vexa.identity_of(h);
    list.push_back({id.task_id, id.thread});
  }
  auto& record = __vexa_current_detection.u.re;
  record.function = to_address(function);
  record.count = list.size();
  record.offenses = to_address(list.data());
  vexa.notify_debugger(VEXA_EVENT_REENTRANT_CALL);
}

}  // namespace vexa
