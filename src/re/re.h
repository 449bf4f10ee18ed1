// re_t: the reentrant call detector ("re"). Finds a function that one task
// enters while another task still has an activation of it open. Recursion
// inside one task is never reported.
//
// Each task handle keeps a stack of its open activations, oldest first.
// Stacks grow down, so a deeper activation has a lower frame; an entry whose
// frame lies below a new activation's frame was left without a leave report
// (longjmp, an exception, an uninstrumented exit) and is dropped by sync().
//
// So that an entry costs the same however many tasks are open, every
// function with open activations records who holds it, with how many
// activations each: the check looks at that record only, not at every
// task's stack.
//
// Protocol (no shared lock while only the calling task holds a function):
//
// - Stacks. A handle's stack is pushed and popped only by the thread that
//   runs the handle's task (its owner). Other threads read a stack only in
//   activations_of() and open_tasks(), holding feature_lock, through the
//   stack's sequence counter (odd while the owner changes entries). The
//   owner never takes feature_lock while the counter is odd, and swaps the
//   entry buffer (growth, shrinking) only while holding feature_lock, so a
//   reader never sees a freed buffer.
// - Holders. Each function has one word (generation, handle, count) and a
//   sorted list of further holders with its length `listed`. A handle whose
//   count in the word is not zero is the word's owner: only the owner's
//   thread writes the word then, with plain stores (recursion, leaves).
//   Anyone takes a word whose count is zero by compare-and-swap. A task
//   that finds the word owned by another handle joins the list under
//   feature_lock instead. Each stack entry remembers where it was counted.
// - Seeing each other. A task that takes the word (compare-and-swap) then
//   reads `listed`; a task that joins the list stores `listed` and then
//   reads the word, all sequentially consistent: of two entries that meet,
//   at least one sees the other, and that one reports. A recursive entry
//   changes nothing another task can see, so it needs no such order.
// - Generation. reset() does not touch stacks or words; it bumps
//   generation_ and empties the lists. A stack or a word tagged with an
//   older generation counts as empty (32 bits: only a stack idle through
//   2^32 resets could be taken for current). A call reads the generation once, at
//   its start, and behaves as if it had completed just before any reset
//   that overlaps it. An owner's words keep their old generation and their
//   count until its next call, which zeroes them before it drops its stale
//   entries; a word that is old but still counted is never taken by another
//   task (its owner may still write it), which joins the list meanwhile.
// - Fork. The lock-free paths do not wait for the fork handlers' locks: a
//   child forked while another thread was between taking a word and
//   pushing its entry keeps that count for the vanished task until a
//   reset. A stack left mid-change there is put right by its next writer.
// - Function table. Looked up without a lock. Tables and records are added
//   under feature_lock and published with release stores; a replaced table
//   and every record live until the detector is destroyed.
//
// Locks: feature_lock guards the lists, table growth, stack buffer swaps,
// and serialises reset(). check() releases it before it takes the runtime
// lock; configure() takes the runtime lock and then feature_lock (reset()),
// possibly from inside the event that a check raised.
#ifndef VEXA_RE_RE_H
#define VEXA_RE_RE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

#include "../vexa/feature.h"
#include "../vexa/handle_table.h"

namespace vexa {

class re_t : public feature_t {
 public:
  struct instance_t {
    void const* function;
    void const* frame;
  };

  re_t();
  ~re_t() override;

  void reset() override;

  void enter(unsigned short task, void const* function, void const* frame);
  void leave(unsigned short task, void const* function, void const* frame);
  void leave(unsigned short task);

  // The open activations of a task, oldest first (tests and statistics).
  std::vector<instance_t> activations_of(unsigned short task);
  // How many tasks have an open activation.
  std::size_t open_tasks();

 private:
  // A handle that holds a function open, and how many times.
  struct holder_t {
    unsigned short task;
    std::uint32_t count;
  };
  // Who holds one function. word: bits 0-15 the owning handle, 16-31 its
  // count, 32-63 the generation.
  struct holders_t {
    void const* function = nullptr;
    // Released by its owner's stores and by swaps, acquired by every reader;
    // the swap that takes it and the load after joining the list are
    // sequentially consistent with `listed` (above).
    std::atomic<std::uint64_t> word{0};
    // tasks.size(); stored under feature_lock, read without it after the
    // word is taken (sequentially consistent, see above).
    std::atomic<std::uint32_t> listed{0};
    std::vector<holder_t> tasks;  // ascending; guarded by feature_lock
  };
  // Open addressing by function address; entries stay once made (a program
  // has few functions), so a probe never meets a hole it must skip.
  class function_table_t {
   public:
    ~function_table_t();
    holders_t* find(void const* function) const;  // lock-free
    // Caller holds feature_lock; may throw std::bad_alloc, changing nothing.
    holders_t& at(void const* function);
    template <class F>
    void for_each(F&& f) {  // caller holds feature_lock
      table_t const* t = table_.load(std::memory_order_relaxed);
      for (std::size_t i = 0; t != nullptr && i <= t->mask; ++i)
        if (holders_t* h = t->slots[i].load(std::memory_order_relaxed)) f(*h);
    }

   private:
    struct table_t {
      std::size_t mask;
      std::atomic<holders_t*>* slots;
      table_t* older;  // replaced tables, freed with the detector
    };
    static holders_t* probe(table_t const& t, void const* function, std::size_t& slot);
    std::atomic<table_t*> table_{nullptr};
    std::size_t used_ = 0;  // guarded by feature_lock
  };
  // One open activation as its stack stores it: read by other threads
  // (activations_of) while the owner writes, hence relaxed atomics under
  // the stack's sequence counter.
  struct slot_t {
    std::atomic<void const*> function;
    std::atomic<void const*> frame;
    holders_t* holders;  // the function's record; only the owner reads it
    unsigned char counted;  // where: counted_word, counted_list or neither; the owner's
  };
  struct stack_t {
    ~stack_t() { delete[] data.load(std::memory_order_relaxed); }
    // The generation of the entries; written by the owner, read under
    // feature_lock by activations_of/open_tasks (relaxed: the sequence
    // counter orders it).
    std::atomic<std::uint32_t> generation{0};
    // Odd while the owner changes size or entries; pairs with the readers'
    // loads in read_stack().
    std::atomic<std::uint32_t> sequence{0};
    std::atomic<std::uint32_t> size{0};
    std::uint32_t capacity = 0;  // owner's; changes with data
    std::atomic<slot_t*> data{nullptr};  // swapped by the owner under feature_lock
  };

  // The other holders of a function, for a report: room for a few in
  // place. Every entry into a function that another task holds fills one,
  // and a fresh heap buffer for each was a malloc and a free per call.
  class handles_t {
   public:
    handles_t() = default;
    handles_t(handles_t const&) = delete;
    handles_t& operator=(handles_t const&) = delete;
    ~handles_t() {
      if (data_ != inline_) delete[] data_;
    }
    // May throw std::bad_alloc, changing nothing.
    void reserve(std::size_t n) {
      if (n <= capacity_) return;
      auto* const bigger = new unsigned short[n];
      for (std::size_t i = 0; i < size_; ++i) bigger[i] = data_[i];
      if (data_ != inline_) delete[] data_;
      data_ = bigger;
      capacity_ = n;
    }
    void push_back(unsigned short h) {
      if (size_ == capacity_) reserve(2 * capacity_);
      data_[size_++] = h;
    }
    bool empty() const { return size_ == 0; }
    std::size_t size() const { return size_; }
    unsigned short operator[](std::size_t i) const { return data_[i]; }

   private:
    unsigned short inline_[16];
    unsigned short* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = std::size(inline_);
  };

  struct call_t;
  void begin(call_t& call, unsigned short task);
  // Pops the stale activations at the back of the caller's stack; with a
  // function, also those at the same frame that belong to another function.
  void sync(call_t& call, void const* frame, void const* function);
  void push(call_t& call, instance_t const& a, holders_t* h, unsigned char counted);
  // Pops the entries above the first `keep`.
  void pop_to(call_t& call, std::uint32_t keep);
  [[gnu::noinline]] void clear_if_stale(call_t& call);
  // Counts one more activation of h's function for the caller's task;
  // returns where, and the other holders in `others`.
  unsigned char hold(call_t& call, holders_t& h, handles_t& others);
  [[gnu::noinline]] unsigned char hold_slow(call_t& call, holders_t& h, handles_t& others);
  // The list's holders other than the caller, who has just counted itself
  // in the word (changed from `before`, put back if this throws).
  [[gnu::noinline]] void listed_others(call_t& call, holders_t& h, std::uint64_t before,
                                       handles_t& others);
  void release(call_t& call, slot_t const& entry);
  [[gnu::noinline]] void release_listed(call_t& call, holders_t& h);
  // The other handles holding `function`, ascending.
  void others_holding(call_t& call, void const* function, handles_t& out);
  // The other holders in the list and the word of h, ascending; caller
  // holds feature_lock.
  void gather(call_t const& call, holders_t const& h, std::uint64_t w, handles_t& out) const;
  [[gnu::noinline]] void grow(stack_t& s);
  // Raises event 257 for function, listing `noted` then the caller.
  void raise(unsigned short task, void const* function, handles_t& noted);
  bool checked(void const* function) const;
  std::vector<instance_t> read_stack(stack_t const& s, std::uint32_t generation) const;

  // Bumped by reset() under feature_lock (release); every call loads it
  // (acquire) at its start, so it sees the stores of the reset it follows.
  std::atomic<std::uint32_t> generation_{1};
  handle_table_t<stack_t> stacks_;
  function_table_t functions_;
};

}  // namespace vexa

#endif  // VEXA_RE_RE_H
