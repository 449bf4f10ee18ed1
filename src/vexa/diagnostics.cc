#include "diagnostics.h"

#include <iomanip>
#include <iostream>

#include "runtime.h"

namespace vexa {

namespace {

std::ostream& operator<<(std::ostream& os, thread_model_t::threadid_t const& id) {
  return os << "(" << id.task_id << ", " << id.thread << ")";
}

void const* as_pointer(std::uint64_t field) {
  return reinterpret_cast<void const*>(static_cast<std::uintptr_t>(field));
}

void full_report(vexa_event_reason_t reason, vexa_detection_t const& d) {
  std::ostream& os = std::cerr;
  if (reason == VEXA_EVENT_DATA_SHARING) {
    os << "vexa: data sharing detected" << std::endl;
    auto line = [&](tsm_access_desc_t const& a) {
      os << "  object(base): 0x" << std::hex << a.base << ", " << std::dec << a.size << " bytes "
         << (a.access != 0 ? "written" : "read") << " by task " << a.task << ", thread " << a.thread
         << " at address 0x" << std::hex << a.code << std::endl;
    };
    line(d.u.tsm.offender);
    auto const* offended = static_cast<tsm_access_desc_t const*>(as_pointer(d.u.tsm.offended));
    for (std::uint64_t i = 0; i < d.u.tsm.count; ++i) line(offended[i]);
  } else {
    os << "vexa: reentrant call detected" << std::endl;
    os << "  function: 0x" << std::hex << d.u.re.function << std::endl;
    auto const* tasks = static_cast<vexa_task_identity_t const*>(as_pointer(d.u.re.offenses));
    for (std::uint64_t i = 0; i < d.u.re.count; ++i)
      os << "  task: " << std::dec << tasks[i].task_id << ", thread: " << tasks[i].thread << std::endl;
  }
}

void compact_report(vexa_event_reason_t reason, vexa_detection_t const& d) {
  std::ostream& os = std::cerr;
  if (reason == VEXA_EVENT_DATA_SHARING) {
    auto group = [&](tsm_access_desc_t const& a) {
      os << "(" << std::dec << a.task << ", " << a.thread << ": " << (a.access != 0 ? "w" : "r") << " 0x"
         << std::hex << a.base << "+" << std::dec << a.size << " @ 0x" << std::hex << a.code << ")";
    };
    os << "tsm: ";
    group(d.u.tsm.offender);
    auto const* offended = static_cast<tsm_access_desc_t const*>(as_pointer(d.u.tsm.offended));
    for (std::uint64_t i = 0; i < d.u.tsm.count; ++i) {
      os << ", ";
      group(offended[i]);
    }
  } else {
    os << "re (" << std::hex << d.u.re.function << "): ";
    auto const* tasks = static_cast<vexa_task_identity_t const*>(as_pointer(d.u.re.offenses));
    for (std::uint64_t i = 0; i < d.u.re.count; ++i) {
      if (i != 0) os << ", ";
      os << "(" << std::dec << tasks[i].task_id << ", " << tasks[i].thread << ")";
    }
  }
  os << std::endl;
}

}  // namespace

char const* event_message(vexa_event_reason_t reason) {
  switch (reason) {
    case 0: return "vexa: ok";
    case 1: return "vexa: library loaded";
    case 2: return "vexa: library unloaded";
    case 3: return "vexa: configuration updated";
    case 4: return "vexa: how are you?";
    case 256: return "vexa: data sharing detected";
    case 257: return "vexa: reentrant call detected";
    case -991: return "vexa: invalid task handle";
    case -992: return "vexa: task nesting error";
    case -993: return "vexa: task handle overflow";
    case -994: return "vexa: filter operation failed";
    case -995: return "vexa: bad filter operation";
    case -996: return "vexa: unknown feature";
    case -997: return "vexa: invalid parameter";
    case -998: return "vexa: out of memory";
    case -1000: return "vexa: version mismatch";
    default: return nullptr;
  }
}

void raw_dump(char const* label, void const* object, std::size_t n) {
  std::ostream& os = std::cerr;
  os << label << "(0x" << object << "): ";
  auto const* bytes = static_cast<unsigned char const*>(object);
  for (std::size_t i = 0; i < n; ++i)
    os << std::setfill('0') << std::setw(2) << std::hex << static_cast<unsigned>(bytes[i]) << " ";
  os << std::endl;
}

void dump_communication() {
  std::uint32_t const level = logging_level;
  if (level == 0) return;
  vexa_event_reason_t const reason = __vexa_event_reason;
  vexa_detection_t const& d = __vexa_current_detection;
  bool const detection = reason == VEXA_EVENT_DATA_SHARING || reason == VEXA_EVENT_REENTRANT_CALL;

  if ((level & log_status) && reason >= 0 && reason <= 4) std::cerr << event_message(reason) << std::endl;
  if (level & log_raw) {
    raw_dump("__vexa_event_reason", &__vexa_event_reason, sizeof __vexa_event_reason);
    if (reason == VEXA_EVENT_DATA_SHARING) {
      raw_dump("__vexa_current_detection", &d, sizeof d);
      raw_dump("offended", as_pointer(d.u.tsm.offended),
               static_cast<std::size_t>(d.u.tsm.count) * sizeof(tsm_access_desc_t));
    } else if (reason == VEXA_EVENT_REENTRANT_CALL) {
      raw_dump("__vexa_current_detection", &d, sizeof d);
      raw_dump("offenses", as_pointer(d.u.re.offenses),
               static_cast<std::size_t>(d.u.re.count) * sizeof(vexa_task_identity_t));
    }
  }
  if ((level & log_detection) && detection) full_report(reason, d);
  if ((level & log_compact) && detection) compact_report(reason, d);
  if ((level & log_errors) && reason < 0) {
    if (char const* message = event_message(reason))
      std::cerr << message << std::endl;
    else
      std::cerr << "vexa: internal error " << std::dec << static_cast<std::uint32_t>(reason) << std::endl;
  }
}

void dump_filter(vexa_filter_t const& record) {
  if (logging_level & log_raw) raw_dump("filter", &record, sizeof record);
  if (!(logging_level & log_status)) return;
  auto word = [](unsigned v, char const* one, char const* two, char const* four, char const* other) {
    return v == 1 ? one : v == 2 ? two : v == 4 ? four : other;
  };
  std::cerr << "vexa: " << word(record.action & 0xf, "clear ", "add ", "remove ", "? ")
            << word(record.feature, "tsm", "re", "?", "?") << word(record.kind & 0xf, " code ", " data ", " thread ", " ? ")
            << "filter(0x" << std::hex << record.first << ", 0x" << record.second << ")" << std::endl;
}

void print_no_task_id(thread_model_t::threadid_t const& self) {
  std::cerr << "vexa: no task id for " << std::dec << self << std::endl;
}

void print_task_id_mismatch(thread_model_t::threadid_t const& recorded, thread_model_t::threadid_t const& self) {
  std::cerr << "vexa: task id mismatch: " << std::dec << recorded << " != " << self << std::endl;
}

void print_task_trace(char const* verb, void const* code, unsigned short handle,
                      thread_model_t::threadid_t const& identity) {
  std::cerr << "vexa: task " << verb << " at 0x" << std::hex << code << ", handle: " << std::dec << handle
            << " = " << identity << std::endl;
}

void print_bad_environment(char const* name, char const* text) {
  std::cerr << "vexa: " << name << " must be 0 or 1, not \"" << text << "\"" << std::endl;
}

void print_distinct_summary(std::vector<vexa_distinct_t> const& repeated, std::size_t distinct_count) {
  if (repeated.empty()) return;
  std::uint64_t repeats = 0;
  for (vexa_distinct_t const& e : repeated) {
    repeats += e.seen - 1;
    if (e.kind == VEXA_EVENT_DATA_SHARING)
      std::cerr << "vexa: data sharing 0x" << std::hex << e.first << " / 0x" << e.second;
    else
      std::cerr << "vexa: reentrant call 0x" << std::hex << e.first;
    std::cerr << " reported once, seen " << std::dec << e.seen << " times" << std::endl;
  }
  std::cerr << "vexa: " << distinct_count << " distinct detections reported, " << repeats << " repeats not reported"
            << std::endl;
}

}  // namespace vexa
