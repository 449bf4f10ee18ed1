#include "debugger.h"

#include <pthread.h>

#include <cstring>

namespace vexa_test {
namespace {

// Constant-initialised: the load stop arrives before any constructor of the
// test program has run.
stop_t stops[capacity];
std::size_t stop_total = 0;
std::size_t stop_first = 0;  // index (in total order) of the oldest kept stop
script_t current_script = nullptr;
void* current_context = nullptr;

void record(stop_t& s) {
  s.reason = __vexa_event_reason;
  std::memcpy(s.config, __vexa_config, sizeof s.config);
  s.guard = __VEXA_isGuardedCall;
  std::memcpy(&s.detection, &__vexa_current_detection, sizeof s.detection);
  s.thread = static_cast<unsigned long>(pthread_self());
  s.entries = 0;
  if (s.reason == VEXA_EVENT_DATA_SHARING) {
    auto const* a = reinterpret_cast<tsm_access_desc_t const*>(static_cast<std::uintptr_t>(s.detection.u.tsm.offended));
    for (std::uint64_t i = 0; i < s.detection.u.tsm.count && i < stop_t::max_entries; ++i) s.offended[s.entries++] = a[i];
  } else if (s.reason == VEXA_EVENT_REENTRANT_CALL) {
    auto const* a = reinterpret_cast<vexa_task_identity_t const*>(static_cast<std::uintptr_t>(s.detection.u.re.offenses));
    for (std::uint64_t i = 0; i < s.detection.u.re.count && i < stop_t::max_entries; ++i) s.offenses[s.entries++] = a[i];
  }
}

}  // namespace

void set_script(script_t script, void* context) {
  current_script = script;
  current_context = context;
}

std::size_t total() { return stop_total; }
std::size_t recorded() { return stop_total - stop_first; }
stop_t const& stop(std::size_t i) { return stops[(stop_first + i) % capacity]; }
void forget() { stop_first = stop_total; }

std::vector<vexa_event_reason_t> reasons() {
  std::vector<vexa_event_reason_t> r;
  for (std::size_t i = 0; i < recorded(); ++i) r.push_back(stop(i).reason);
  return r;
}

vexa_filter_t filter_record(unsigned feature, unsigned kind, unsigned action, std::uint64_t first,
                            std::uint64_t second) {
  vexa_filter_t r{};
  r.feature = static_cast<std::uint8_t>(feature);
  r.kind = static_cast<std::uint8_t>(kind);
  r.action = static_cast<std::uint8_t>(action);
  r.first = first;
  r.second = second;
  return r;
}

namespace {

struct install_state {
  std::vector<vexa_filter_t> const* records;
  int phase;  // 0 allocation posted, 1 records posted, 2 done
  vexa_event_reason_t result;
  script_t saved_script;
  void* saved_context;
};

void install_script(stop_t const& s, std::size_t index, void* context) {
  auto* st = static_cast<install_state*>(context);
  std::uint32_t* config = __vexa_config;
  if (st->phase == 0) {
    if (s.reason == VEXA_EVENT_CONFIGURED) {
      auto* buffer = reinterpret_cast<vexa_filter_t*>(static_cast<std::uintptr_t>(__vexa_filter_space));
      for (std::size_t i = 0; i < st->records->size(); ++i) buffer[i] = (*st->records)[i];
      config[VEXA_CONFIG_COUNT] = static_cast<std::uint32_t>(st->records->size());
      __atomic_fetch_or(&config[VEXA_CONFIG_PENDING], VEXA_PENDING_APPLY_FILTERS, __ATOMIC_SEQ_CST);
      __atomic_store_n(&st->phase, 1, __ATOMIC_SEQ_CST);
    } else if (s.reason < 0) {
      __atomic_fetch_and(&config[VEXA_CONFIG_PENDING], ~VEXA_PENDING_ALLOCATE_FILTERS, __ATOMIC_SEQ_CST);
      st->result = s.reason;
      __atomic_store_n(&st->phase, 2, __ATOMIC_SEQ_CST);
    }
  } else if (st->phase == 1) {
    st->result = s.reason;
    if (s.reason < 0) __atomic_fetch_and(&config[VEXA_CONFIG_PENDING], ~VEXA_PENDING_APPLY_FILTERS, __ATOMIC_SEQ_CST);
    __atomic_store_n(&st->phase, 2, __ATOMIC_SEQ_CST);
  } else if (st->saved_script != nullptr) {
    st->saved_script(s, index, st->saved_context);
  }
}

}  // namespace

vexa_event_reason_t install_filters(std::vector<vexa_filter_t> const& records) {
  install_state st{&records, 0, 0, current_script, current_context};
  set_script(install_script, &st);
  __atomic_store_n(&__vexa_config[VEXA_CONFIG_COUNT], static_cast<std::uint32_t>(records.size()), __ATOMIC_SEQ_CST);
  post(VEXA_PENDING_ALLOCATE_FILTERS);
  // Any hook serves a pending command; on a thread without a task this one
  // does nothing else. Another thread's hook may serve it first: wait.
  while (__atomic_load_n(&st.phase, __ATOMIC_SEQ_CST) != 2) _VEXA_suspendTask();
  set_script(st.saved_script, st.saved_context);
  return st.result;
}

}  // namespace vexa_test

// Every stop of the library lands here.
extern "C" __attribute__((noinline)) void __vexa_switch_to_debugger(void) {
  using namespace vexa_test;
  std::size_t const index = stop_total;
  stop_t& s = stops[index % capacity];
  record(s);
  ++stop_total;
  if (stop_total - stop_first > capacity) stop_first = stop_total - capacity;
  if (current_script != nullptr) current_script(s, index, current_context);
}
