#include "diagnostics.h"

#include <cstring>
#include <iostream>

#include "distinct.h"
#include "runtime.h"

namespace vexa {

std::uint32_t print_limit = 0;

namespace {

// Detections are raised under the runtime lock, which guards these; the
// unload stop reads them without it, when no detection comes any more.
std::uint64_t detections_printed = 0;
std::uint64_t detections_held = 0;
std::size_t distinct_entries_printed = SIZE_MAX;

// The text of one report, built in place and handed to std::cerr's buffer
// in one piece: on the standard stream that is one write(2) (unbuffered
// stderr writes a whole block at once), where inserting each field into
// the stream would be a system call per field, all of them under the
// runtime lock while the other threads wait for it. The bytes are those
// the stream's own formatting gives: hexadecimal in lower case without a
// prefix, decimal, and pointers in libstdc++'s form ("0x..." and "0" for
// null). The stream's state is neither read nor changed.
//
// No allocation: a report longer than the buffer (a detection with dozens
// of offenses) goes out in pieces, each a whole number of bytes of the same
// text, which the runtime lock keeps together.
class text_t {
 public:
  text_t() = default;
  text_t(text_t const&) = delete;
  text_t& operator=(text_t const&) = delete;
  ~text_t() { send(); }

  text_t& operator<<(char const* s) { return put(s, std::strlen(s)); }
  text_t& hex(std::uint64_t v) {
    char digits[16];
    int n = 0;
    do {
      digits[n++] = "0123456789abcdef"[v & 0xf];
      v >>= 4;
    } while (v != 0);
    return reversed(digits, n);
  }
  text_t& dec(std::uint64_t v) {
    char digits[20];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    return reversed(digits, n);
  }
  text_t& pointer(void const* p) {
    if (p == nullptr) return put("0", 1);
    put("0x", 2);
    return hex(reinterpret_cast<std::uintptr_t>(p));
  }
  text_t& byte(unsigned char b) {
    char const three[3] = {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 0xf], ' '};
    return put(three, 3);
  }
  text_t& identity(thread_model_t::threadid_t const& id) {
    return put("(", 1).dec(id.task_id).put(", ", 2).dec(id.thread).put(")", 1);
  }
  text_t& end_line() { return put("\n", 1); }

  // Hands what was built to the stream's buffer. An ostream that failed
  // before writes nothing more, and a short write makes it fail, as
  // inserting through the stream would.
  void send() {
    if (size_ == 0) return;
    std::size_t const n = size_;
    size_ = 0;
    if (!std::cerr.good()) return;
    std::streambuf* out = std::cerr.rdbuf();
    if (out == nullptr || out->sputn(buffer_, static_cast<std::streamsize>(n)) != static_cast<std::streamsize>(n) ||
        out->pubsync() == -1)
      std::cerr.setstate(std::ios_base::badbit);
  }

 private:
  text_t& put(char const* s, std::size_t n) {
    while (n != 0) {
      if (size_ == sizeof buffer_) send();
      std::size_t const room = sizeof buffer_ - size_;
      std::size_t const part = n < room ? n : room;
      std::memcpy(buffer_ + size_, s, part);
      size_ += part;
      s += part;
      n -= part;
    }
    return *this;
  }
  text_t& reversed(char const* digits, int n) {
    char in_order[20];
    for (int i = 0; i < n; ++i) in_order[i] = digits[n - 1 - i];
    return put(in_order, static_cast<std::size_t>(n));
  }

  char buffer_[4096];
  std::size_t size_ = 0;
};

void const* as_pointer(std::uint64_t field) {
  return reinterpret_cast<void const*>(static_cast<std::uintptr_t>(field));
}

void raw_dump(text_t& t, char const* label, void const* object, std::size_t n) {
  t << label << "(0x";
  t.pointer(object) << "): ";
  auto const* bytes = static_cast<unsigned char const*>(object);
  for (std::size_t i = 0; i < n; ++i) t.byte(bytes[i]);
  t.end_line();
}

void full_report(text_t& t, vexa_event_reason_t reason, vexa_detection_t const& d) {
  if (reason == VEXA_EVENT_DATA_SHARING) {
    t << "vexa: data sharing detected";
    t.end_line();
    auto line = [&](tsm_access_desc_t const& a) {
      t << "  object(base): 0x";
      t.hex(a.base) << ", ";
      t.dec(a.size) << " bytes " << (a.access != 0 ? "written" : "read") << " by task ";
      t.dec(a.task) << ", thread ";
      t.dec(a.thread) << " at address 0x";
      t.hex(a.code).end_line();
    };
    line(d.u.tsm.offender);
    auto const* offended = static_cast<tsm_access_desc_t const*>(as_pointer(d.u.tsm.offended));
    for (std::uint64_t i = 0; i < d.u.tsm.count; ++i) line(offended[i]);
  } else {
    t << "vexa: reentrant call detected";
    t.end_line() << "  function: 0x";
    t.hex(d.u.re.function).end_line();
    auto const* tasks = static_cast<vexa_task_identity_t const*>(as_pointer(d.u.re.offenses));
    for (std::uint64_t i = 0; i < d.u.re.count; ++i) {
      t << "  task: ";
      t.dec(tasks[i].task_id) << ", thread: ";
      t.dec(tasks[i].thread).end_line();
    }
  }
}

void compact_report(text_t& t, vexa_event_reason_t reason, vexa_detection_t const& d) {
  if (reason == VEXA_EVENT_DATA_SHARING) {
    auto group = [&](tsm_access_desc_t const& a) {
      t << "(";
      t.dec(a.task) << ", ";
      t.dec(a.thread) << ": " << (a.access != 0 ? "w" : "r") << " 0x";
      t.hex(a.base) << "+";
      t.dec(a.size) << " @ 0x";
      t.hex(a.code) << ")";
    };
    t << "tsm: ";
    group(d.u.tsm.offender);
    auto const* offended = static_cast<tsm_access_desc_t const*>(as_pointer(d.u.tsm.offended));
    for (std::uint64_t i = 0; i < d.u.tsm.count; ++i) {
      t << ", ";
      group(offended[i]);
    }
  } else {
    t << "re (";
    t.hex(d.u.re.function) << "): ";
    auto const* tasks = static_cast<vexa_task_identity_t const*>(as_pointer(d.u.re.offenses));
    for (std::uint64_t i = 0; i < d.u.re.count; ++i) {
      if (i != 0) t << ", ";
      t.identity({tasks[i].task_id, static_cast<unsigned long>(tasks[i].thread)});
    }
  }
  t.end_line();
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

error_detail_t error_detail = {nullptr, {0, 0}, 0, false, nullptr};

void raw_dump(char const* label, void const* object, std::size_t n) {
  text_t t;
  raw_dump(t, label, object, n);
}

void dump_communication() {
  std::uint32_t const level = logging_level;
  if (level == 0) return;
  vexa_event_reason_t const reason = __vexa_event_reason;
  vexa_detection_t const& d = __vexa_current_detection;
  bool const detection = reason == VEXA_EVENT_DATA_SHARING || reason == VEXA_EVENT_REENTRANT_CALL;

  text_t t;
  if ((level & log_status) && reason >= 0 && reason <= 4) (t << event_message(reason)).end_line();
  if (level & log_raw) {
    raw_dump(t, "__vexa_event_reason", &__vexa_event_reason, sizeof __vexa_event_reason);
    if (reason == VEXA_EVENT_DATA_SHARING) {
      raw_dump(t, "__vexa_current_detection", &d, sizeof d);
      raw_dump(t, "offended", as_pointer(d.u.tsm.offended),
               static_cast<std::size_t>(d.u.tsm.count) * sizeof(tsm_access_desc_t));
    } else if (reason == VEXA_EVENT_REENTRANT_CALL) {
      raw_dump(t, "__vexa_current_detection", &d, sizeof d);
      raw_dump(t, "offenses", as_pointer(d.u.re.offenses),
               static_cast<std::size_t>(d.u.re.count) * sizeof(vexa_task_identity_t));
    }
  }
  bool print = detection && (level & (log_detection | log_compact));
  if (print && print_limit != 0) {
    if (detections_printed >= print_limit) {
      if (detections_held++ == 0) {
        (t << "vexa: the limit of ").dec(print_limit)
            << " printed reports is reached; further ones are counted, not printed (VEXA_PRINT_LIMIT=0 prints all)";
        t.end_line();
      }
      print = false;
    } else {
      ++detections_printed;
      // Entries are made in the order detections are raised, each before
      // it is printed: those so far all belong to printed reports.
      distinct_entries_printed = distinct_t::get().size();
    }
  }
  if (print && (level & log_detection)) full_report(t, reason, d);
  if (print && (level & log_compact)) compact_report(t, reason, d);
  if ((level & log_errors) && reason < 0) {
    if (char const* message = event_message(reason))
      t << message;
    else
      (t << "vexa: internal error ").dec(static_cast<std::uint32_t>(reason));
    t.end_line();
    if (error_detail.hook != nullptr) {
      t << "vexa: " << error_detail.hook << "(";
      for (unsigned i = 0; i < error_detail.count; ++i) {
        if (i != 0) t << ", ";
        if (error_detail.addresses) (t << "0x").hex(error_detail.values[i]);
        else t.dec(error_detail.values[i]);
      }
      (t << "): " << error_detail.problem).end_line();
    }
  }
  error_detail.hook = nullptr;  // this stop's only; a further answer in its loop is another error
}

void dump_filter(vexa_filter_t const& record) {
  text_t t;
  if (logging_level & log_raw) raw_dump(t, "filter", &record, sizeof record);
  if (!(logging_level & log_status)) return;
  auto word = [](unsigned v, char const* one, char const* two, char const* four, char const* other) {
    return v == 1 ? one : v == 2 ? two : v == 4 ? four : other;
  };
  t << "vexa: " << word(record.action & 0xf, "clear ", "add ", "remove ", "? ")
    << word(record.feature, "tsm", "re", "?", "?") << word(record.kind & 0xf, " code ", " data ", " thread ", " ? ")
    << "filter(0x";
  t.hex(record.first) << ", 0x";
  t.hex(record.second) << ")";
  t.end_line();
}

void print_no_task_id(thread_model_t::threadid_t const& self) {
  text_t t;
  t << "vexa: no task id for ";
  t.identity(self).end_line();
}

void print_task_id_mismatch(thread_model_t::threadid_t const& recorded, thread_model_t::threadid_t const& self) {
  text_t t;
  t << "vexa: task id mismatch: ";
  t.identity(recorded) << " != ";
  t.identity(self).end_line();
}

void print_task_trace(char const* verb, void const* code, unsigned short handle,
                      thread_model_t::threadid_t const& identity) {
  text_t t;
  t << "vexa: task " << verb << " at 0x";
  t.pointer(code) << ", handle: ";
  t.dec(handle) << " = ";
  t.identity(identity).end_line();
}

void print_bad_environment(char const* name, char const* text) {
  text_t t;
  t << "vexa: " << name << " must be 0 or 1, not \"" << text << "\"";
  t.end_line();
}

void print_distinct_summary(std::vector<vexa_distinct_t> const& repeated, std::size_t distinct_count) {
  if (repeated.empty()) return;
  text_t t;
  std::uint64_t repeats = 0;
  for (vexa_distinct_t const& e : repeated) {
    repeats += e.seen - 1;
    if (e.kind == VEXA_EVENT_DATA_SHARING) {
      t << "vexa: data sharing 0x";
      t.hex(e.first) << " / 0x";
      t.hex(e.second);
    } else {
      t << "vexa: reentrant call 0x";
      t.hex(e.first);
    }
    t << " reported once, seen ";
    t.dec(e.seen) << " times";
    t.end_line();
  }
  t << "vexa: ";
  t.dec(distinct_count) << " distinct detections reported, ";
  t.dec(repeats) << " repeats not reported";
  t.end_line();
}

std::size_t printed_distinct_entries() { return detections_held != 0 ? distinct_entries_printed : SIZE_MAX; }

void print_held_summary(std::size_t held_distinct, std::uint64_t held_seen) {
  if (detections_held == 0) return;
  text_t t;
  t << "vexa: ";
  if (held_distinct != 0) {
    t.dec(held_distinct) << " more distinct detections not printed, seen ";
    t.dec(held_seen) << " times";
  } else {
    t.dec(detections_held) << " more detections not printed";
  }
  t << " past the limit of ";
  t.dec(print_limit) << " printed reports (VEXA_PRINT_LIMIT=0 prints all)";
  t.end_line();
}

}  // namespace vexa
