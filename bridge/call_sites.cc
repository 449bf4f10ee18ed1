// The call-site cache: an open-addressing table that only grows.
//
// Readers take no lock: a slot's key is published with a release store
// after its value is complete, and neither ever changes again, so a reader
// that sees the key with an acquire load sees the value. Writers serialise
// on one lock; a site is resolved outside it, so two threads may
// resolve the same site and the second insertion finds the first's key.
#include "call_sites.h"

#include "../src/lock/lock.h"

#include <unwind.h>

#include <atomic>

#include "bridge.h"

namespace vexa_bridge {
namespace {

constexpr std::uintptr_t frame_pointer_offset = 2 * sizeof(void*);  // saved frame pointer, return address

struct site_t {
  std::atomic<std::uintptr_t> pc;  // 0: empty
  void const* function;
  bool frame_pointer;  // CFA = frame pointer + frame_pointer_offset at this site
};

// 16384 slots hold the function hooks of a program with ~5000 instrumented
// functions (entry and exits) at a load of 3/4; a program with more keeps
// working, only its extra sites are unwound on every call.
constexpr unsigned table_bits = 14;
constexpr std::uint32_t table_size = 1u << table_bits;
constexpr std::uint32_t table_limit = table_size / 4 * 3;

site_t table[table_size];
std::atomic<std::uint32_t> used{0};
vexa::lock_t insert_lock{vexa::lock_rank::bridge_call_sites};

std::uint32_t slot_of(std::uintptr_t pc) {
  return static_cast<std::uint32_t>((static_cast<std::uint32_t>(pc) * 2654435761u) >> (32 - table_bits));
}

site_t const* find(std::uintptr_t pc) {
  for (std::uint32_t i = slot_of(pc);; i = (i + 1) & (table_size - 1)) {
    // Pairs with the release store in insert(): the value is complete.
    std::uintptr_t const key = table[i].pc.load(std::memory_order_acquire);
    if (key == pc) return &table[i];
    if (key == 0) return nullptr;
  }
}

void insert(std::uintptr_t pc, void const* function, bool frame_pointer) {
  vexa::lock_scope held(insert_lock);
  VEXA_CHECK(used.load(std::memory_order_relaxed) <= table_limit);
  // Under insert_lock; readers only look at `pc`.
  if (used.load(std::memory_order_relaxed) < table_limit) {
    std::uint32_t i = slot_of(pc);
    for (;; i = (i + 1) & (table_size - 1)) {
      std::uintptr_t const key = table[i].pc.load(std::memory_order_relaxed);
      if (key == pc || key == 0) break;
    }
    if (table[i].pc.load(std::memory_order_relaxed) == 0) {
      table[i].function = function;
      table[i].frame_pointer = frame_pointer;
      // Publish the complete slot; pairs with the acquire load in find().
      table[i].pc.store(pc, std::memory_order_release);
      used.store(used.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
  }
}

struct search_t {
  std::uintptr_t pc;
  unsigned frames;  // frames looked at so far
  bool found;
  void const* function;
  std::uintptr_t cfa;
};

// libgcc's unwinder reports, in the callback for frame i, the CFA of frame
// i - 1; so the CFA of the frame that contains `pc` is read one callback
// later, in its caller's frame.
_Unwind_Reason_Code visit(struct _Unwind_Context* context, void* argument) {
  auto* search = static_cast<search_t*>(argument);
  if (search->found) {
    search->cfa = _Unwind_GetCFA(context);
    return _URC_END_OF_STACK;
  }
  if (_Unwind_GetIP(context) == search->pc) {
    search->found = true;
    search->function = reinterpret_cast<void const*>(_Unwind_GetRegionStart(context));
  }
  // The hook's caller is two or three frames up; give up long before a
  // deep stack is walked for a frame that has no unwind information.
  return ++search->frames < 8 ? _URC_NO_REASON : _URC_END_OF_STACK;
}

[[gnu::noinline]] frame_t unwind(std::uintptr_t pc, std::uintptr_t frame_pointer) {
  search_t search{pc, 0, false, nullptr, 0};
  _Unwind_Backtrace(visit, &search);
  if (search.found && search.cfa != 0) return {search.function, search.cfa};
  // No unwind information (-fno-asynchronous-unwind-tables): the wrappers
  // always keep frame pointers, and the call site itself stands for the
  // function; the shadow stack carries it from entry to exit.
  return {reinterpret_cast<void const*>(pc), frame_pointer + frame_pointer_offset};
}

[[gnu::noinline, gnu::cold]] frame_t resolve(std::uintptr_t pc, std::uintptr_t frame_pointer) {
  frame_t const frame = unwind(pc, frame_pointer);
  insert(pc, frame.function, frame.cfa == frame_pointer + frame_pointer_offset);
  return frame;
}

}  // namespace

frame_t locate(void const* pc, std::uintptr_t frame_pointer) {
  auto const key = reinterpret_cast<std::uintptr_t>(pc);
  site_t const* site = find(key);
  if (BRIDGE_LIKELY(site != nullptr && site->frame_pointer)) {
    return {site->function, frame_pointer + frame_pointer_offset};
  }
  if (site != nullptr) return {site->function, unwind(key, frame_pointer).cfa};
  return resolve(key, frame_pointer);
}

std::uint32_t cached_call_sites() { return used.load(std::memory_order_relaxed); }

}  // namespace vexa_bridge

// Where the library's fork handlers find the bridge's locks (the bridge's
// lock registry, lock.h): the library refers to this name weakly.
extern "C" {
__attribute__((visibility("default"))) vexa::lock_registry_t* __vexa_bridge_locks = &vexa::lock_registry;
}
