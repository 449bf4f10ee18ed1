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
// - Generation. reset() does not touch the stacks or the holder words; it
//   bumps generation_. A stack or a holder word tagged with an older
//   generation counts as empty. A call reads the generation once, at its
//   start; a call that overlaps a reset behaves as if it had completed just
//   before it (what it adds is tagged with the old generation, so it is
//   forgotten; what it reports, it had seen before the reset).
// - Stacks. A handle's stack is pushed and popped only by the thread that
//   runs the handle's task (its owner). Other threads read a stack only in
//   activations_of() and open_tasks(), holding feature_lock, through the
//   stack's sequence counter (odd while the owner changes entries). The
//   owner never takes feature_lock while the counter is odd, and it swaps
//   the entry buffer (growth, shrinking) only while holding feature_lock,
//   so a reader never sees a freed buffer.
// - Holder words. Each function has one 64-bit word: generation, a shared
//   bit, and otherwise the one holding handle with its activation count.
//   While the shared bit is clear, every change is one compare-and-swap on
//   the word, lock-free: the owner entering or leaving again, or any task
//   taking a free word. Whoever finds another handle in the word, or a
//   count that would overflow, takes feature_lock, moves the holders into
//   the function's sorted list and sets the shared bit by compare-and-swap;
//   from then on only feature_lock holders change the word or the list,
//   until the list is down to one holder or none and the word goes back.
//   Two entries into one function are ordered by their compare-and-swaps
//   on its word, so the later one always sees the earlier.
// - Function table. Looked up without a lock. Tables and records are added
//   under feature_lock and published with release stores; a replaced table
//   and every record live until the detector is destroyed.
//
// Locks: feature_lock guards the holder lists, words with the shared bit,
// table growth, stack buffer swaps, and serialises reset(). check() releases
// it before it takes the runtime lock; configure() takes the runtime lock
// and then feature_lock (reset()), possibly from inside the event that a
// check raised.
#ifndef VEXA_RE_RE_H
#define VEXA_RE_RE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
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
  // Who holds one function. word: bits 0-15 the handle, 16-30 its count,
  // 31 shared (then `tasks` says who), 32-63 the generation.
  struct holders_t {
    void const* function = nullptr;
    std::atomic<std::uint64_t> word{0};
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

  struct call_t;
  void begin(call_t& call, unsigned short task);
  // Pops the stale activations at the back of the caller's stack; with a
  // function, also those at the same frame that belong to another function.
  void sync(call_t& call, void const* frame, void const* function);
  void push(call_t& call, instance_t const& a, holders_t* h);
  // Pops the entries above the first `keep`.
  void pop_to(call_t& call, std::uint32_t keep);
  [[gnu::noinline]] void clear_if_stale(call_t& call);
  // Adds one activation of `function` by the caller's task to its holders;
  // returns false when nothing else holds it, else fills `others`.
  bool hold(call_t& call, holders_t& h, std::vector<unsigned short>& others);
  [[gnu::noinline]] bool hold_slow(call_t& call, holders_t& h, std::vector<unsigned short>& others);
  void release(call_t& call, holders_t& h);
  [[gnu::noinline]] void release_slow(call_t& call, holders_t& h);
  // The other handles holding `function`, ascending.
  void others_holding(call_t& call, void const* function, std::vector<unsigned short>& out);
  [[gnu::noinline]] void grow(stack_t& s);
  // Raises event 257 for function, listing `noted` then the caller.
  void raise(unsigned short task, void const* function, std::vector<unsigned short>& noted);
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
