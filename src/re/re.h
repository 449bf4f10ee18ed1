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
// function with open activations keeps the list of handles that hold it,
// with how many activations each: the check looks at that list only, not at
// every task's stack. Both always change together.
//
// Locks: feature_lock guards every stack and every holder list. check()
// releases it before it takes the runtime lock; configure() takes the
// runtime lock and then feature_lock (reset()), possibly from inside the
// event that check() raised.
#ifndef VEXA_RE_RE_H
#define VEXA_RE_RE_H

#include <cstddef>
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
  // The handles holding one function, ascending.
  struct holders_t {
    void const* function = nullptr;
    std::vector<holder_t> tasks;
  };
  // Open addressing by function address; entries stay once made (a program
  // has few functions), so a probe never meets a hole it must skip.
  class function_table_t {
   public:
    ~function_table_t();
    holders_t* find(void const* function) const;
    holders_t& at(void const* function);  // may throw std::bad_alloc, changing nothing
    template <class F>
    void for_each(F&& f) {
      for (std::size_t i = 0; i < capacity_; ++i)
        if (slots_[i] != nullptr) f(*slots_[i]);
    }

   private:
    std::size_t slot_of(void const* function, std::size_t mask) const;
    holders_t** slots_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t used_ = 0;
  };
  using stack_t = std::vector<instance_t>;

  // Pops the stale activations at the back of one task's stack; with a
  // function, also those at the same frame that belong to another function.
  void sync(unsigned short task, stack_t& activations, void const* frame, void const* function);
  void push(unsigned short task, stack_t& activations, instance_t const& a);
  void pop(unsigned short task, stack_t& activations);
  // The other handles holding `function`, ascending; caller holds feature_lock.
  void others_holding(unsigned short task, void const* function, std::vector<unsigned short>& out) const;
  // Raises event 257 for function, listing `noted` then the caller.
  void raise(unsigned short task, void const* function, std::vector<unsigned short>& noted);
  bool checked(void const* function) const;

  handle_table_t<stack_t> stacks_;  // guarded by feature_lock
  function_table_t functions_;     // guarded by feature_lock
};

}  // namespace vexa

#endif  // VEXA_RE_RE_H
