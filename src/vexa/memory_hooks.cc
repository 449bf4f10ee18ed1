// _VEXA_readMemory and _VEXA_writeMemory: feed the sharing detector.
#include "diagnostics.h"
#include "hook_frame.h"

namespace vexa {
namespace {

// Memory hooks switch themselves off once no task is alive; the next task
// entered with the detector enabled switches them on again.
bool no_live_task() {
  // Unlocked first look; pairs with nothing: a stale count only costs one
  // more hook call on either side of the change.
  if (vexa.live_tasks.load(std::memory_order_relaxed) != 0) return false;
  lock_scope held(vexa.lock);
  if (vexa.live_tasks.load(std::memory_order_relaxed) != 0) return false;
  clear_bits(__VEXA_isGuardedCall, VEXA_GUARD_MEMORY);
  return true;
}

[[gnu::noinline]] void memory_hook(void const* address, unsigned size, tsm_access_t access, void const* ret,
                                   bool atomic = false) {
  hook_scope_t const scope; if (scope.nested()) return;
  if (no_live_task()) return;
  thread_info_t& self = current;
  task_record_t* record = self.record;
  check_task_id(record);
  if (record == nullptr || !enabled(VEXA_ENABLE_TSM)) return;
  self.code = ret;
  tsm_t& tsm = vexa.tsm;
  object_t const object{to_address(address), size};
  // A repeat returns before anything else: it would be logged and checked
  // to no effect, and an access that the task's state or a filter keeps
  // out of the log has no effect either, so the order of the two tests
  // does not matter.
  site_how_t const how{record->step, record->locks, atomic};
  arena_t& arena = self.thread_arena_get();
  std::uint64_t const places = tsm.replaced_places();
  if (arena.repeats.slot(object, access, to_address(ret))
          .repeats(object, access, to_address(ret), record->handle, how, self.era, places))
    return;
  // Then the stamps in shadow memory, for repeats past what the cache
  // holds (a task that reads a block of a matrix over and over).
  if (shadow_memory_t::fits(object.base, object.size)) {
    // Relaxed: the stamp was stored under the log's lock, and a change
    // made under it since clears it; a clear that happens before this
    // access (through the program's synchronisation) is seen by
    // coherence, and one made concurrently may be missed as if the access
    // came first. The stamp is made only for a word that holds one: most
    // words a first touch finds are empty.
    shadow_memory_t::word_t const* word = shadow_memory.find(object.base);
    std::uint64_t const stamp = word != nullptr ? word->load(std::memory_order_relaxed) : 0;
    if (stamp != 0 &&
        stamp == arena.stamps.stamp(object, access, to_address(ret), record->handle, how, self.era, places))
      return;
  }
  if (tsm_t::case_t* c = tsm.access(object, access, record->handle, ret, atomic)) tsm.commit(c);
}

}  // namespace
}  // namespace vexa

using namespace vexa;

VEXA_EXPORT void _VEXA_readMemory(void const* address, unsigned size) {
  poll_configuration();
  if (VEXA_LIKELY(!guarded(VEXA_GUARD_MEMORY))) return;
  memory_hook(address, size, TSM_READ, VEXA_RETURN_ADDRESS());
}

VEXA_EXPORT void _VEXA_writeMemory(void const* address, unsigned size) {
  poll_configuration();
  if (VEXA_LIKELY(!guarded(VEXA_GUARD_MEMORY))) return;
  memory_hook(address, size, TSM_WRITE, VEXA_RETURN_ADDRESS());
}

VEXA_EXPORT void _VEXA_readMemoryAt(void const* address, unsigned size, void const* code) {
  poll_configuration();
  if (VEXA_LIKELY(!guarded(VEXA_GUARD_MEMORY))) return;
  memory_hook(address, size, TSM_READ, code);
}

VEXA_EXPORT void _VEXA_writeMemoryAt(void const* address, unsigned size, void const* code) {
  poll_configuration();
  if (VEXA_LIKELY(!guarded(VEXA_GUARD_MEMORY))) return;
  memory_hook(address, size, TSM_WRITE, code);
}

VEXA_EXPORT void _VEXA_readAtomicAt(void const* address, unsigned size, void const* code) {
  poll_configuration();
  if (VEXA_LIKELY(!guarded(VEXA_GUARD_MEMORY))) return;
  memory_hook(address, size, TSM_READ, code, true);
}

VEXA_EXPORT void _VEXA_writeAtomicAt(void const* address, unsigned size, void const* code) {
  poll_configuration();
  if (VEXA_LIKELY(!guarded(VEXA_GUARD_MEMORY))) return;
  memory_hook(address, size, TSM_WRITE, code, true);
}

VEXA_EXPORT void _VEXA_forgetMemory(void const* begin, void const* end) {
  poll_configuration();
  if (VEXA_LIKELY(!guarded(VEXA_GUARD_MEMORY))) return;
  hook_scope_t const scope;
  if (scope.nested() || !enabled(VEXA_ENABLE_TSM)) return;
  if (to_address(begin) > to_address(end)) {
    raise_error(VEXA_ERROR_INVALID_PARAMETER, {"_VEXA_forgetMemory", {to_address(begin), to_address(end)}, 2, true,
                                               "begin lies above end; nothing is forgotten"});
    return;
  }
  vexa::vexa.tsm.forget(to_address(begin), to_address(end));
}
