#include "distinct.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "diagnostics.h"
#include "runtime.h"

namespace vexa {

distinct_t& distinct_t::get() {
  static distinct_t* const table = new distinct_t;
  return *table;
}

bool distinct_t::first_time(std::uint32_t kind, std::uint64_t first, std::uint64_t second) {
  auto const found = index_.find(key_t{first, second, kind});
  if (found != index_.end()) {
    ++entries_[found->second].seen;
    return false;
  }
  // Out of memory only costs the deduplication of this one detection: it is
  // raised, and the next occurrence is taken for new again.
  try {
    entries_.push_back(vexa_distinct_t{kind, 0, first, second, 1});
  } catch (std::bad_alloc const&) {
    return true;
  }
  try {
    index_.emplace(key_t{first, second, kind}, entries_.size() - 1);
  } catch (std::bad_alloc const&) {
    entries_.pop_back();
  }
  return true;
}

bool distinct_t::admit(vexa_event_reason_t reason, vexa_detection_t& record) {
  lock_scope held(lock_);
  if (reason == VEXA_EVENT_REENTRANT_CALL) return first_time(VEXA_EVENT_REENTRANT_CALL, record.u.re.function, 0);

  auto const* offended =
      reinterpret_cast<tsm_access_desc_t const*>(static_cast<std::uintptr_t>(record.u.tsm.offended));
  std::uint64_t const count = record.u.tsm.count;
  std::uint64_t const offender = record.u.tsm.offender.code;
  // Most detections are all new or all old: nothing is copied for those.
  std::uint64_t kept = 0;
  bool copying = false;
  for (std::uint64_t i = 0; i < count; ++i) {
    bool const fresh = first_time(VEXA_EVENT_DATA_SHARING, offender, offended[i].code);
    if (fresh && !copying) {
      ++kept;  // still a prefix of the detector's array
      continue;
    }
    if (!copying) {
      try {
        kept_.assign(offended, offended + kept);
      } catch (std::bad_alloc const&) {
        return true;  // raise the whole detection, old pairs included
      }
      copying = true;
    }
    if (fresh) {
      try {
        kept_.push_back(offended[i]);
      } catch (std::bad_alloc const&) {
      }
    }
  }
  if (!copying) return kept != 0;
  if (kept_.empty()) return false;
  record.u.tsm.count = kept_.size();
  record.u.tsm.offended = reinterpret_cast<std::uintptr_t>(kept_.data());
  return true;
}

bool distinct_t::publish() {
  lock_scope held(lock_);
  __vexa_distinct.count = entries_.size();
  __vexa_distinct.entries = reinterpret_cast<std::uintptr_t>(entries_.data());
  return !entries_.empty();
}

std::vector<vexa_distinct_t> distinct_t::repeated(std::size_t& total, std::size_t shown, held_t* held) {
  std::vector<vexa_distinct_t> result;
  lock_scope locked(lock_);
  total = std::min(entries_.size(), shown);
  for (std::size_t i = 0; i < total; ++i)
    if (entries_[i].seen > 1) result.push_back(entries_[i]);
  if (held != nullptr) {
    *held = held_t{};
    for (std::size_t i = total; i < entries_.size(); ++i) {
      ++held->distinct;
      held->seen += entries_[i].seen;
    }
  }
  std::stable_sort(result.begin(), result.end(),
                   [](vexa_distinct_t const& a, vexa_distinct_t const& b) { return a.seen > b.seen; });
  return result;
}

std::size_t distinct_t::size() {
  lock_scope locked(lock_);
  return entries_.size();
}

void read_distinct_environment() {
  std::uint32_t limit;
  if (read_environment("VEXA_PRINT_LIMIT", 10, limit)) print_limit = limit;
  char const* text = std::getenv("VEXA_DISTINCT");
  if (text == nullptr) return;
  if (std::strcmp(text, "1") == 0) {
    set_bits(__vexa_config[VEXA_CONFIG_ENABLE], VEXA_ENABLE_DISTINCT);
    return;
  }
  clear_bits(__vexa_config[VEXA_CONFIG_ENABLE], VEXA_ENABLE_DISTINCT);
  if (std::strcmp(text, "0") != 0 && (logging_level & log_errors)) print_bad_environment("VEXA_DISTINCT", text);
}

}  // namespace vexa
