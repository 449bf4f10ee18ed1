// re_t: the reentrant call detector ("re"). Finds a function that one task
// enters while another task still has an activation of it open. Recursion
// inside one task is never reported.
//
// Each task keeps a deque of its open activations, oldest first. Stacks grow
// down, so a deeper activation has a lower frame; an entry whose frame lies
// below a new activation's frame was left without a leave report (longjmp,
// an exception, an uninstrumented exit) and is dropped by sync().
//
// Locks: feature_lock guards `instances` and every deque in it. check()
// releases it before it takes the runtime lock; configure() takes the
// runtime lock and then feature_lock (reset()), possibly from inside the
// event that check() raised.
#ifndef VEXA_RE_RE_H
#define VEXA_RE_RE_H

#include <deque>
#include <map>

#include "../vexa/feature.h"

namespace vexa {

class re_t : public feature_t {
 public:
  struct instance_t {
    void const* function;
    void const* frame;
  };

  re_t();
  ~re_t() override = default;

  void reset() override;

  void enter(unsigned short task, void const* function, void const* frame);
  void leave(unsigned short task, void const* function, void const* frame);
  void leave(unsigned short task);

  // Drops the stale activations at the back of one task's deque; with a
  // function, also those at the same frame that belong to another function.
  static void sync(std::deque<instance_t>& activations, void const* frame, void const* function);
  // Looks for function in the other tasks' deques and raises event 257.
  void check(unsigned short task, void const* function);

  std::map<unsigned short, std::deque<instance_t>> instances;  // guarded by feature_lock
};

}  // namespace vexa

#endif  // VEXA_RE_RE_H
