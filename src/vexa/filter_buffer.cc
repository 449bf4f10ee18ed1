// The two filter commands: allocating the buffer the debugger writes filter
// records into, and applying a batch of records.
//
// A batch is all-or-nothing: records edit private copies of the detectors'
// filters, and the copies are installed only when every record succeeded,
// each with one pointer store. Hooks on other threads read the installed
// filters without a lock, so an installed filter is never changed or freed;
// a replaced one stays allocated.
#include <cstdlib>
#include <iostream>
#include <limits>
#include <memory>

#include "diagnostics.h"
#include "runtime.h"

namespace vexa {

vexa_event_reason_t vexa_t::allocate_filter_buffer() {
  std::uint32_t const count = load_word(__vexa_config[VEXA_CONFIG_COUNT]);
  // The byte size is computed in the address space's own width. Only on
  // i386 can it exceed that space (a count above 178956970): such a buffer
  // cannot exist, and a wrapped size would hand the debugger less than it
  // asked for, so the count is refused before anything changes. On x86_64
  // every count fits, and one too large for the machine gets malloc's
  // answer: out of memory.
  if (static_cast<address_t>(count) > std::numeric_limits<address_t>::max() / sizeof(vexa_filter_t))
    return VEXA_ERROR_INVALID_PARAMETER;

  // Our own pointer, never the exported word: a debugger or a wild write may
  // have left anything there, and free() of it would abort the program.
  std::free(filter_buffer);
  filter_buffer = nullptr;
  __vexa_filter_space = 0;
  address_t const bytes = static_cast<address_t>(count) * sizeof(vexa_filter_t);
  __vexa_filter_space_size = 0;
  if (logging_level & log_status)
    std::cerr << "vexa: allocate " << std::dec << bytes << " bytes of filter buffer" << std::endl;

  void* buffer = std::malloc(bytes);
  filter_buffer = static_cast<vexa_filter_t*>(buffer);
  __vexa_filter_space = static_cast<std::uint64_t>(to_address(buffer));
  if (buffer == nullptr) return VEXA_ERROR_OUT_OF_MEMORY;
  __vexa_filter_space_size = count;
  clear_bits(__vexa_config[VEXA_CONFIG_PENDING], VEXA_PENDING_ALLOCATE_FILTERS);
  return VEXA_EVENT_CONFIGURED;
}

namespace {

// Applies one record to a working copy; 0 or the failure's reason.
vexa_event_reason_t apply(logging_filter_t& f, vexa_filter_t const& record) {
  unsigned const kind = record.kind & 0xf;
  unsigned const action = record.action & 0xf;
  if (kind != VEXA_FILTER_CODE && kind != VEXA_FILTER_DATA && kind != VEXA_FILTER_THREAD)
    return VEXA_ERROR_BAD_FILTER_OPERATION;
  if (action != VEXA_FILTER_CLEAR && action != VEXA_FILTER_ADD && action != VEXA_FILTER_REMOVE)
    return VEXA_ERROR_BAD_FILTER_OPERATION;

  auto edit = [&](auto& set, auto const& value) -> vexa_event_reason_t {
    if (action == VEXA_FILTER_CLEAR) {
      set.clear();
      return VEXA_EVENT_NONE;
    }
    if (action == VEXA_FILTER_ADD)
      return set.insert(value).second ? VEXA_EVENT_NONE : VEXA_ERROR_FILTER_OPERATION_FAILED;
    return set.erase(value) != 0 ? VEXA_EVENT_NONE : VEXA_ERROR_FILTER_OPERATION_FAILED;
  };
  // The fields are 64 bits wide for debuggers of either word size; a value
  // keeps what fits the target's own type: the low 32 bits of a range or a
  // thread on i386, all 64 on x86_64, where a range must reach the
  // program's high addresses and pthread_self() is a 64-bit value.
  if (kind == VEXA_FILTER_THREAD) {
    thread_model_t::threadid_t const id{record.first, static_cast<unsigned long>(record.second)};
    return edit(f.thread_ids, id);
  }
  logging_filter_t::range_t const range{static_cast<address_t>(record.first), static_cast<address_t>(record.second)};
  return edit(kind == VEXA_FILTER_CODE ? f.code_ranges : f.data_ranges, range);
}

}  // namespace

vexa_event_reason_t vexa_t::apply_filter_records() {
  std::uint32_t& count = __vexa_config[VEXA_CONFIG_COUNT];
  if (__vexa_filter_space_size < load_word(count)) return VEXA_ERROR_INVALID_PARAMETER;

  std::unique_ptr<logging_filter_t> copies[2];
  vexa_filter_t const* p = filter_buffer;  // what the exported word should say, whatever it says now
  for (; load_word(count) != 0; ++p) {
    dump_filter(*p);
    unsigned const feature = p->feature;
    if (feature != VEXA_FEATURE_TSM && feature != VEXA_FEATURE_RE) return VEXA_ERROR_UNKNOWN_FEATURE;
    unsigned const i = feature - 1;
    if (features[i] == nullptr) return VEXA_ERROR_UNKNOWN_FEATURE;
    if (!copies[i]) {
      if (logging_filter_t const* installed = features[i]->current_filter()) {
        copies[i].reset(new logging_filter_t(*installed));
      } else {
        copies[i].reset(new logging_filter_t);
        // "re" filters list the only functions to examine; "tsm" filters
        // list what to ignore. Fixed here for the filter's whole life.
        if (feature == VEXA_FEATURE_RE) copies[i]->code_mode = logging_filter_t::mode_only;
      }
    }
    vexa_event_reason_t r = apply(*copies[i], *p);
    if (r != VEXA_EVENT_NONE) return r;  // the copies die here; nothing installed
    store_word(count, load_word(count) - 1);
  }

  for (unsigned i = 0; i < 2; ++i)
    if (copies[i]) features[i]->install_filter(copies[i].release());
  clear_bits(__vexa_config[VEXA_CONFIG_PENDING], VEXA_PENDING_APPLY_FILTERS);
  return VEXA_EVENT_CONFIGURED;
}

}  // namespace vexa
