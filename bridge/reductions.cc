// clang's reductions when libomp combines them in a tree: at a team of
// more than four threads `__kmpc_reduce` gathers the threads' private
// copies inside its barrier, each thread calling the program's combining
// function on its own copy and on the copy of a thread that arrived below
// it. Those calls run after the arrival of the thread whose copy they read,
// before anyone departs: they are ordered after what that thread did before
// the barrier, which the barrier's clock so far holds (the threads that
// arrived; their copies are all that the combining function touches).
#include <cstdint>

#include "bridge.h"
#include "sync_order.h"
#include "task_order.h"

namespace vexa_bridge {
namespace {

using combine_t = void (*)(void*, void*);
using reduce_t = std::int32_t (*)(void*, std::int32_t, std::int32_t, std::size_t, void*, combine_t, void*);

std::atomic<reduce_t> real_reduce{nullptr}, real_reduce_nowait{nullptr};

// The program's combining function, for the calls that the runtime makes
// on this thread inside its own __kmpc_reduce.
thread_local combine_t program_combine;

void combine_after_arrivals(void* mine, void* theirs) {
  task_t* const t = ordered_task();
  if (t != nullptr && t->region != nullptr) {
    own_memory_scope own;
    vector_clock_t arrived;
    {
      spin_scope held(t->region->lock);
      arrived = epoch_clock(t->region, epoch_of(t->step));
    }
    merge_into(t, arrived);
  }
  program_combine(mine, theirs);
}

std::int32_t reduce(std::atomic<reduce_t>& real, char const* name, void* location, std::int32_t thread,
                    std::int32_t count, std::size_t size, void* data, combine_t combine, void* lock) {
  reduce_t const next = next_definition(real, name);
  if (combine == nullptr || !race_view.load(std::memory_order_relaxed))
    return next(location, thread, count, size, data, combine, lock);
  // Tasks run at the barrier may hold regions with reductions of their own.
  combine_t const outer = program_combine;
  program_combine = combine;
  std::int32_t const r = next(location, thread, count, size, data, combine_after_arrivals, lock);
  program_combine = outer;
  return r;
}

}  // namespace
}  // namespace vexa_bridge

using namespace vexa_bridge;

BRIDGE_EXPORT std::int32_t __kmpc_reduce(void* location, std::int32_t thread, std::int32_t count, std::size_t size,
                                         void* data, combine_t combine, void* lock) {
  return reduce(real_reduce, "__kmpc_reduce", location, thread, count, size, data, combine, lock);
}

BRIDGE_EXPORT std::int32_t __kmpc_reduce_nowait(void* location, std::int32_t thread, std::int32_t count,
                                                std::size_t size, void* data, combine_t combine, void* lock) {
  return reduce(real_reduce_nowait, "__kmpc_reduce_nowait", location, thread, count, size, data, combine, lock);
}
