// Open activations per task, the holders of each function, and the check
// across tasks. The protocol is described at the top of re.h.
#include "re.h"

#include <algorithm>
#include <new>

#include "../vexa/runtime.h"

namespace vexa {

namespace {

// The holder word: bits 0-15 the owning handle, 16-31 its count, 32-63 the
// generation.
constexpr std::uint32_t max_count = 0xffff;
constexpr std::uint64_t one = std::uint64_t{1} << 16;
constexpr std::uint64_t count_mask = std::uint64_t{max_count} << 16;

static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "the holder word is swapped without a lock");

// Where a stack entry was counted.
enum : unsigned char { counted_nowhere, counted_word, counted_list };

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
// belongs to.
struct re_t::call_t {
  unsigned short task;
  std::uint32_t generation;
  stack_t* stack;
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
  functions_.for_each([](holders_t& h) {
    std::vector<holder_t>().swap(h.tasks);
    h.listed.store(0, std::memory_order_relaxed);  // read again only by calls that see the new generation
  });
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
  std::uint32_t const old = s.generation.load(std::memory_order_relaxed);  // only the owner writes it
  std::uint32_t const n = s.size.load(std::memory_order_relaxed);
  slot_t const* data = s.data.load(std::memory_order_relaxed);
  // Give up the words this task still counts from before the reset: nobody
  // else writes a counted word, so a store is enough; it pairs with the
  // acquire loads of tasks that take the word next.
  for (std::uint32_t i = 0; i < n; ++i) {
    if (data[i].counted != counted_word) continue;
    std::atomic<std::uint64_t>& word = data[i].holders->word;
    std::uint64_t const w = word.load(std::memory_order_relaxed);
    if (generation_of(w) == old && holder_of(w) == call.task && count_of(w) != 0)
      word.store(w & ~count_mask, std::memory_order_release);
  }
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
  if (VEXA_UNLIKELY(call.stack->generation.load(std::memory_order_relaxed) != call.generation)) clear_if_stale(call);
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
    bigger[i].counted = old[i].counted;
  }
  {
    // Readers of other threads look at the buffer only under feature_lock.
    lock_scope held(feature_lock);
    s.data.store(bigger, std::memory_order_relaxed);
    s.capacity = grown;
  }
  delete[] old;
}

[[gnu::always_inline]] inline void re_t::push(call_t& call, instance_t const& a, holders_t* h, unsigned char counted) {
  stack_t& s = *call.stack;
  std::uint32_t const n = s.size.load(std::memory_order_relaxed);  // only the owner writes it
  slot_t& slot = s.data.load(std::memory_order_relaxed)[n];        // room made by the caller
  begin_write(s);
  slot.function.store(a.function, std::memory_order_relaxed);
  slot.frame.store(a.frame, std::memory_order_relaxed);
  slot.holders = h;
  slot.counted = counted;
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
  for (std::uint32_t i = n; i-- > keep;) release(call, data[i]);
}

[[gnu::always_inline]] inline unsigned char re_t::hold(call_t& call, holders_t& h,
                                                       handles_t& others) {
  // Pairs with the release stores and swaps of the word's earlier owners.
  std::uint64_t w = h.word.load(std::memory_order_acquire);
  if (holder_of(w) == call.task && count_of(w) != 0 && generation_of(w) == call.generation &&
      count_of(w) < max_count) {
    // Recursion: this task owns the word, and nobody else writes it now.
    h.word.store(w + one, std::memory_order_release);
    // Pairs with the store under feature_lock in hold_slow(); no order
    // with the store above is needed (see re.h).
    if (VEXA_UNLIKELY(h.listed.load(std::memory_order_acquire) != 0)) listed_others(call, h, w, others);
    return counted_word;
  }
  while (count_of(w) == 0) {
    if (h.word.compare_exchange_weak(w, word(call.generation, call.task, 1), std::memory_order_seq_cst,
                                     std::memory_order_acquire)) {
      // After the swap, the list: pairs with the store of `listed` before
      // the load of the word in hold_slow().
      if (VEXA_UNLIKELY(h.listed.load(std::memory_order_seq_cst) != 0)) listed_others(call, h, w, others);
      return counted_word;
    }
  }
  return hold_slow(call, h, others);
}

unsigned char re_t::hold_slow(call_t& call, holders_t& h, handles_t& others) {
  lock_scope held(feature_lock);
  // reset() changes the generation only under this lock.
  if (generation_.load(std::memory_order_relaxed) != call.generation) return counted_nowhere;
  // The list cannot grow while the lock is held but by the caller, who may
  // join it below: room for every other holder (the list and the word's
  // owner) and for the caller, whom raise() appends, before anything
  // changes.
  others.reserve(h.tasks.size() + 2);  // may throw; nothing changed yet
  std::uint64_t w = h.word.load(std::memory_order_acquire);  // pairs as in hold()
  for (;;) {
    if (count_of(w) == 0) {
      if (!h.word.compare_exchange_weak(w, word(call.generation, call.task, 1), std::memory_order_seq_cst,
                                        std::memory_order_acquire))
        continue;
      gather(call, h, word(call.generation, call.task, 1), others);
      return counted_word;
    }
    if (holder_of(w) == call.task && generation_of(w) == call.generation && count_of(w) < max_count) {
      h.word.store(w + one, std::memory_order_release);  // its owner's
      gather(call, h, w, others);
      return counted_word;
    }
    break;
  }
  // Owned by another handle (or by an older generation, or full): join the list.
  h.tasks.reserve(h.tasks.size() + 1);  // may throw; nothing changed yet
  auto it = holder_at(h.tasks, call.task);
  if (it != h.tasks.end() && it->task == call.task)
    ++it->count;
  else
    h.tasks.insert(it, holder_t{call.task, 1});
  // Before the word is read again: pairs with the load after the swap in hold().
  h.listed.store(static_cast<std::uint32_t>(h.tasks.size()), std::memory_order_seq_cst);
  gather(call, h, h.word.load(std::memory_order_seq_cst), others);
  return counted_list;
}

void re_t::listed_others(call_t& call, holders_t& h, std::uint64_t before, handles_t& others) {
  lock_scope held(feature_lock);
  if (generation_.load(std::memory_order_relaxed) != call.generation) return;  // reset() writes it under this lock
  try {
    others.reserve(h.tasks.size() + 1);  // and the caller, whom raise() appends
  } catch (...) {
    // Not counted after all. The word is this task's while it counts, so a
    // store puts it back; pairs with the acquire loads in hold().
    h.word.store(before, std::memory_order_release);
    throw;
  }
  gather(call, h, word(call.generation, call.task, 1), others);
}

void re_t::gather(call_t const& call, holders_t const& h, std::uint64_t w, handles_t& out) const {
  bool const owner = count_of(w) != 0 && generation_of(w) == call.generation && holder_of(w) != call.task;
  unsigned short const o = holder_of(w);
  bool pending = owner;
  for (holder_t const& x : h.tasks) {
    if (pending && o <= x.task) {
      if (o != x.task) out.push_back(o);
      pending = false;
    }
    if (x.task != call.task) out.push_back(x.task);
  }
  if (pending) out.push_back(o);
}

[[gnu::always_inline]] inline void re_t::release(call_t& call, slot_t const& entry) {
  if (entry.counted == counted_word) {
    // This task owns the word while it counts entries, and nobody else
    // writes it; the store pairs with the acquire loads in hold().
    std::atomic<std::uint64_t>& word = entry.holders->word;
    word.store(word.load(std::memory_order_relaxed) - one, std::memory_order_release);
  } else if (entry.counted == counted_list) {
    release_listed(call, *entry.holders);
  }
}

void re_t::release_listed(call_t& call, holders_t& h) {
  lock_scope held(feature_lock);
  if (generation_.load(std::memory_order_relaxed) != call.generation) return;  // reset() emptied the list
  auto it = holder_at(h.tasks, call.task);
  if (--it->count == 0) h.tasks.erase(it);
  h.listed.store(static_cast<std::uint32_t>(h.tasks.size()), std::memory_order_seq_cst);
}

void re_t::others_holding(call_t& call, void const* function, handles_t& out) {
  holders_t* h = functions_.find(function);
  if (h == nullptr) return;
  // Pairs with the stores of the word's owners and of the list's members.
  std::uint64_t const w = h->word.load(std::memory_order_acquire);
  if (h->listed.load(std::memory_order_acquire) == 0) {
    if (count_of(w) != 0 && generation_of(w) == call.generation && holder_of(w) != call.task)
      out.push_back(holder_of(w));
    return;
  }
  lock_scope held(feature_lock);
  if (generation_.load(std::memory_order_relaxed) != call.generation) return;  // reset() writes it under this lock
  gather(call, *h, h->word.load(std::memory_order_acquire), out);
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
  handles_t noted;
  unsigned char const counted = hold(call, *h, noted);  // may throw, counting nothing
  push(call, {function, frame}, h, counted);
  if (!noted.empty() && checked(function)) raise(task, function, noted);
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
  handles_t noted;
  others_holding(call, function, noted);
  if (!noted.empty()) raise(task, function, noted);
}

void re_t::leave(unsigned short task) {
  stack_t* s = stacks_.find(task);
  if (s == nullptr) return;
  call_t call{task, generation_.load(std::memory_order_acquire), s};  // pairs with reset()
  if (s->generation.load(std::memory_order_relaxed) != call.generation) clear_if_stale(call);
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

void re_t::raise(unsigned short task, void const* function, handles_t& noted) {
  noted.push_back(task);  // into room that hold() reserved, on entry
  // A report names two or three tasks: their identities are built on the
  // stack, as every recursive call of a function two tasks run raises one.
  vexa_task_identity_t few[8];
  std::vector<vexa_task_identity_t> many;
  if (noted.size() > std::size(few)) many.resize(noted.size());
  vexa_task_identity_t* const list = many.empty() ? few : many.data();
  lock_scope held(vexa.lock);
  auto& record = __vexa_current_detection.u.re;
  record.function = to_address(function);
  // A function raised before, with distinct detections on, is only counted:
  // every recursive call of a function that two tasks run comes here, and
  // naming all its holders under the runtime lock for nothing was most of
  // the detector's cost in a recursive program.
  if (!vexa.admit(VEXA_EVENT_REENTRANT_CALL)) return;
  for (std::size_t i = 0; i < noted.size(); ++i) {
    thread_model_t::threadid_t const id = vexa.identity_of(noted[i]);
    list[i] = {id.task_id, id.thread};
  }
  record.count = noted.size();
  record.offenses = to_address(list);
  vexa.notify_debugger(VEXA_EVENT_REENTRANT_CALL, true);
}

}  // namespace vexa
