// Open activations per task, and the check across tasks.
#include "re.h"

#include <utility>
#include <vector>

#include "../vexa/runtime.h"

namespace vexa {

re_t::re_t() {
  // VEXA_RE narrows the check to one function: its address in hexadecimal,
  // any address of the target. The range's end counts as inside, so the
  // address one higher is checked too.
  address_t value;
  if (read_environment_address("VEXA_RE", value)) {
    auto* f = new logging_filter_t;
    f->code_ranges.insert({value, 1});
    f->code_mode = logging_filter_t::mode_only;
    install_filter(f);
  }
}

void re_t::reset() {
  lock_scope held(feature_lock);
  instances.clear();
}

void re_t::sync(std::deque<instance_t>& activations, void const* frame, void const* function) {
  address_t const f = to_address(frame);
  while (!activations.empty() && to_address(activations.back().frame) < f) activations.pop_back();
  if (function == nullptr) return;
  while (!activations.empty() && activations.back().function != function && to_address(activations.back().frame) <= f)
    activations.pop_back();
}

void re_t::enter(unsigned short task, void const* function, void const* frame) {
  {
    lock_scope held(feature_lock);
    std::deque<instance_t>& activations = instances[task];
    sync(activations, frame, nullptr);
    activations.push_back({function, frame});
  }
  check(task, function);
}

void re_t::leave(unsigned short task, void const* function, void const* frame) {
  {
    lock_scope held(feature_lock);
    std::deque<instance_t>& activations = instances[task];
    sync(activations, frame, function);
    if (activations.empty()) return;
    if (activations.back().function == function) {
      activations.pop_back();
      return;
    }
  }
  // A leave that matches no open activation is checked like an entry.
  check(task, function);
}

void re_t::leave(unsigned short task) {
  lock_scope held(feature_lock);
  instances.erase(task);
}

void re_t::check(unsigned short task, void const* function) {
  if (logging_filter_t const* f = current_filter()) {
    if (!f->code_passes(to_address(function))) return;
  }

  std::vector<unsigned short> noted;
  {
    lock_scope held(feature_lock);
    for (auto const& entry : instances) {
      if (entry.first == task) continue;
      for (instance_t const& a : entry.second) {
        if (a.function == function) {
          noted.push_back(entry.first);
          break;
        }
      }
    }
  }
  if (noted.empty()) return;

  lock_scope held(vexa.lock);
  std::vector<vexa_task_identity_t> list;
  list.reserve(noted.size() + 1);
  noted.push_back(task);
  for (unsigned short h : noted) {
    thread_model_t::threadid_t const id = vexa.identity_of(h);
    list.push_back({id.task_id, id.thread});
  }
  auto& record = __vexa_current_detection.u.re;
  record.function = to_address(function);
  record.count = list.size();
  record.offenses = to_address(list.data());
  vexa.notify_debugger(VEXA_EVENT_REENTRANT_CALL);
}

}  // namespace vexa
