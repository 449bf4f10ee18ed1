// Device constructs in programs compiled without offload targets: every
// one runs on the host.
//
// GCC outlines a target region into a function and calls GOMP_target_ext
// with the region's data; LLVM's libomp only has the older forms of these
// entry points, so without the definitions below a GCC program with
// `target` does not link. clang compiles the host version into the program
// and needs the runtime only for `target nowait`, a task like any other
// whose arguments are written as for __kmpc_omp_task_alloc (openmp.cc).
//
// The host is the only device, so mapping data is the identity: a region
// gets the host addresses of what it maps, and the data calls (target data,
// update, enter / exit data) move nothing. Only firstprivate data is copied,
// since the region may change its copy and the original must not see it.
// A region runs at once in the encountering thread, as an undeferred task
// would: `nowait` only allows deferring, and dependences are met by waiting
// for the earlier tasks they name before running. On a device the region is
// the initial task of its own implicit parallel region, whose end completes
// every task made in it; on the host a taskgroup around it does.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "bridge.h"

namespace vexa_bridge {
namespace {

// The low byte of a map kind says how an item is mapped, the high byte the
// log2 of its alignment. Firstprivate items are passed by address; the
// region owns a copy. (Small scalars are passed by value in the address
// slot instead, another kind, and need nothing.)
constexpr unsigned short map_kind_mask = 0xff;
constexpr unsigned short map_firstprivate = 0x0c;
constexpr unsigned map_align_shift = 8;

using target_task_alloc_t = kmp_task_prefix_t* (*)(void*, int, int, std::size_t, std::size_t, void*, std::int64_t);
std::atomic<target_task_alloc_t> real_target_task_alloc{nullptr};

using taskwait_depend_t = void (*)(void**);
std::atomic<taskwait_depend_t> real_taskwait_depend{nullptr};
using taskgroup_call_t = void (*)();
std::atomic<taskgroup_call_t> real_taskgroup_start{nullptr}, real_taskgroup_end{nullptr};

// Waits until the sibling tasks that `depend` orders this construct after
// have completed. The array is in the form GOMP_task takes, which libomp's
// taskwait with dependences reads too.
void wait_for_dependences(void** depend) {
  if (depend != nullptr) next_definition(real_taskwait_depend, "GOMP_taskwait_depend")(depend);
}

// The region's copies of its firstprivate items, each at its alignment, in
// one block that lives as long as the region.
class firstprivate_copies_t {
 public:
  firstprivate_copies_t(std::size_t count, void** addresses, std::size_t const* sizes, unsigned short const* kinds) {
    std::size_t total = 0, max_align = 1;
    for (std::size_t i = 0; i < count; ++i) {
      if ((kinds[i] & map_kind_mask) != map_firstprivate) continue;
      std::size_t const align = std::size_t{1} << (kinds[i] >> map_align_shift);
      total = (total + align - 1) & ~(align - 1);
      total += sizes[i];
      if (align > max_align) max_align = align;
    }
    if (total == 0) return;
    block_ = std::malloc(total + max_align - 1);
    if (block_ == nullptr) throw std::bad_alloc();
    std::uintptr_t next = (reinterpret_cast<std::uintptr_t>(block_) + max_align - 1) & ~(max_align - 1);
    for (std::size_t i = 0; i < count; ++i) {
      if ((kinds[i] & map_kind_mask) != map_firstprivate) continue;
      std::size_t const align = std::size_t{1} << (kinds[i] >> map_align_shift);
      next = (next + align - 1) & ~(align - 1);
      void* copy = reinterpret_cast<void*>(next);
      std::memcpy(copy, addresses[i], sizes[i]);
      addresses[i] = copy;
      next += sizes[i];
    }
  }
  ~firstprivate_copies_t() { std::free(block_); }
  firstprivate_copies_t(firstprivate_copies_t const&) = delete;
  firstprivate_copies_t& operator=(firstprivate_copies_t const&) = delete;

 private:
  void* block_ = nullptr;
};

}  // namespace
}  // namespace vexa_bridge

using namespace vexa_bridge;

// A target region (also `target teams`, `target parallel`, ...). `args`
// carries the num_teams / thread_limit the host has no use for: the teams
// construct inside the region asks GOMP_teams4 again with the same values.
BRIDGE_EXPORT void GOMP_target_ext(int /*device*/, void (*region)(void*), std::size_t count, void** addresses,
                                   std::size_t* sizes, unsigned short* kinds, unsigned /*flags*/, void** depend,
                                   void** /*args*/) {
  wait_for_dependences(depend);
  // The region reads its data through the array it is given; the caller's
  // array keeps the original addresses.
  std::vector<void*> mapped(addresses, addresses + count);
  firstprivate_copies_t const copies(count, mapped.data(), sizes, kinds);
  next_definition(real_taskgroup_start, "GOMP_taskgroup_start")();
  region(mapped.data());
  next_definition(real_taskgroup_end, "GOMP_taskgroup_end")();
}

// `target data`: the region that follows uses the host data in place.
// GOMP_target_end_data (libomp has it) closes it.
BRIDGE_EXPORT void GOMP_target_data_ext(int /*device*/, std::size_t /*count*/, void** /*addresses*/,
                                        std::size_t* /*sizes*/, unsigned short* /*kinds*/) {}

// `target update`: host and device data are the same memory.
BRIDGE_EXPORT void GOMP_target_update_ext(int /*device*/, std::size_t /*count*/, void** /*addresses*/,
                                          std::size_t* /*sizes*/, unsigned short* /*kinds*/, unsigned /*flags*/,
                                          void** depend) {
  wait_for_dependences(depend);
}

// `target enter data` and `target exit data`.
BRIDGE_EXPORT void GOMP_target_enter_exit_data(int /*device*/, std::size_t /*count*/, void** /*addresses*/,
                                               std::size_t* /*sizes*/, unsigned short* /*kinds*/,
                                               unsigned /*flags*/, void** depend) {
  wait_for_dependences(depend);
}

// The teams construct inside a target region. GCC runs the league's body in
// a loop, `while (GOMP_teams4(low, high, limit, first)) { body; first = false; }`,
// and hands out the work of `distribute` by omp_get_num_teams() and
// omp_get_team_num(). The host's league is one team: the body runs once,
// and libomp, outside any host teams construct, answers 1 and 0.
BRIDGE_EXPORT bool GOMP_teams4(unsigned /*low*/, unsigned /*high*/, unsigned /*thread_limit*/, bool first) {
  return first;
}

// clang's `target nowait`: the region is a task whose descriptor and block
// of shared-variable pointers the program fills before submitting it. Those
// writes move arguments into the task; the task's creation closes the
// window they fall in, as for every other task.
BRIDGE_EXPORT void* __kmpc_omp_target_task_alloc(void* location, int thread, int flags, std::size_t task_size,
                                                 std::size_t shareds_size, void* entry, std::int64_t device) {
  target_task_alloc_t const allocate = next_definition(real_target_task_alloc, "__kmpc_omp_target_task_alloc");
  kmp_task_prefix_t* task = allocate(location, thread, flags, task_size, shareds_size, entry, device);
  open_argument_window(task, task_size, shareds_size);
  return task;
}
