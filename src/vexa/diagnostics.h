// Text on stderr, chosen by the bits of logging_level. Decides nothing:
// it only prints what the stop loop, configure() and the hooks hand it.
#ifndef VEXA_DIAGNOSTICS_H
#define VEXA_DIAGNOSTICS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "../../include/vexa.h"
#include "base.h"

namespace vexa {

// The particulars of a hook's error, printed under its error line (logging
// bit 0x4) as "vexa: HOOK(VALUES): PROBLEM", so that the line says which
// value was wrong. Set by raise_error() under the runtime lock for one
// stop; the first dump of that stop uses it up.
struct error_detail_t {
  char const* hook;  // null: nothing to add
  std::uint64_t values[2];
  unsigned count;  // values shown
  bool addresses;  // shown in hexadecimal
  char const* problem;
};
extern error_detail_t error_detail;

// The diagnostics of one stop, for __vexa_event_reason and the record.
// Past print_limit printed detections, detections are counted instead.
void dump_communication();

// VEXA_PRINT_LIMIT: the most detection reports printed (logging bits 0x1
// and 0x8), 0 for no limit. Read at load; later detections still stop for
// a debugger and are counted, and the unload summary says how many.
extern std::uint32_t print_limit;
// How many entries of the distinct table belong to printed reports: all
// of them (SIZE_MAX) until the limit held one back.
std::size_t printed_distinct_entries();
// At unload, after print_distinct_summary: what the limit held back
// (`held` from the distinct table, empty outside distinct mode). Nothing
// when the limit held nothing.
void print_held_summary(std::size_t held_distinct, std::uint64_t held_seen);
// One filter record, before configure() examines it.
void dump_filter(vexa_filter_t const& record);
// label(0x<address>): xx xx ... (one byte each, memory order)
void raw_dump(char const* label, void const* object, std::size_t n);
// The message of a reason, or null when it has none.
char const* event_message(vexa_event_reason_t reason);

// Hook lines; callers hold the runtime lock.
void print_no_task_id(thread_model_t::threadid_t const& self);
void print_task_id_mismatch(thread_model_t::threadid_t const& recorded, thread_model_t::threadid_t const& self);
void print_task_trace(char const* verb, void const* code, unsigned short handle,
                      thread_model_t::threadid_t const& identity);

// "vexa: NAME must be 0 or 1, not \"TEXT\"" (logging bit 0x4 is the caller's test).
void print_bad_environment(char const* name, char const* text);
// At unload, under logging bits 0x1 or 0x8: one line per distinct detection
// that was seen more than once (`repeated`, most frequent first), then a
// total; nothing when no detection repeated.
void print_distinct_summary(std::vector<vexa_distinct_t> const& repeated, std::size_t distinct_count);

}  // namespace vexa

#endif  // VEXA_DIAGNOSTICS_H
