// Open activations per task, the holders of each function, and the check
// across tasks.
#include "re.h"

#include <algorithm>
#include <new>

#include "../vexa/runtime.h"

namespace vexa {

re_t::re_t() : feature_t(lock_rank::re_feature) {
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

re_t::~re_t() = default;

re_t::function_table_t::~function_table_t() {
  for (std::size_t i = 0; i < capacity_; ++i) delete slots_[i];
  delete[] slots_;
}

std::size_t re_t::function_table_t::slot_of(void const* function, std::size_t mask) const {
  std::size_t i = (to_address(function) * static_cast<std::size_t>(0x9e3779b97f4a7c15ull)) >> 7;
  for (;; ++i)
    if (slots_[i & mask] == nullptr || slots_[i & mask]->function == function) return i & mask;
}

re_t::holders_t* re_t::function_table_t::find(void const* function) const {
  if (capacity_ == 0) return nullptr;
  return slots_[slot_of(function, capacity_ - 1)];
}

re_t::holders_t& re_t::function_table_t::at(void const* function) {
  if (holders_t* h = find(function)) return *h;
  if (2 * (used_ + 1) > capacity_) {
    std::size_t const grown = capacity_ == 0 ? 64 : capacity_ * 2;
    holders_t** bigger = new holders_t*[grown]();
    std::swap(slots_, bigger);
    std::size_t const old = capacity_;
    capacity_ = grown;
    for (std::size_t i = 0; i < old; ++i)
      if (bigger[i] != nullptr) slots_[slot_of(bigger[i]->function, grown - 1)] = bigger[i];
    delete[] bigger;
  }
  auto* h = new holders_t;
  h->function = function;
  slots_[slot_of(function, capacity_ - 1)] = h;
  ++used_;
  return *h;
}

void re_t::reset() {
  lock_scope held(feature_lock);
  stacks_.for_each([](unsigned short, stack_t& s) { stack_t().swap(s); });
  functions_.for_each([](holders_t& h) { h.tasks.clear(); });
}

void re_t::push(unsigned short task, stack_t& activations, instance_t const& a) {
  holders_t& h = functions_.at(a.function);  // may throw; nothing changed yet
  auto it = std::lower_bound(h.tasks.begin(), h.tasks.end(), task,
                             [](holder_t const& x, unsigned short t) { return x.task < t; });
  if (it != h.tasks.end() && it->task == task) {
    activations.push_back(a);  // may throw; nothing changed yet
    ++it->count;
    return;
  }
  activations.push_back(a);
  try {
    h.tasks.insert(it, holder_t{task, 1});
  } catch (...) {
    activations.pop_back();
    throw;
  }
}

void re_t::pop(unsigned short task, stack_t& activations) {
  holders_t* h = functions_.find(activations.back().function);
  activations.pop_back();
  auto it = std::lower_bound(h->tasks.begin(), h->tasks.end(), task,
                             [](holder_t const& x, unsigned short t) { return x.task < t; });
  if (--it->count == 0) h->tasks.erase(it);
}

void re_t::sync(unsigned short task, stack_t& activations, void const* frame, void const* function) {
  address_t const f = to_address(frame);
  while (!activations.empty() && to_address(activations.back().frame) < f) pop(task, activations);
  if (function == nullptr) return;
  while (!activations.empty() && activations.back().function != function && to_address(activations.back().frame) <= f)
    pop(task, activations);
}

void re_t::others_holding(unsigned short task, void const* function, std::vector<unsigned short>& out) const {
  holders_t const* h = functions_.find(function);
  if (h == nullptr) return;
  // The common case, a function only its own task holds, allocates nothing.
  if (h->tasks.empty() || (h->tasks.size() == 1 && h->tasks[0].task == task)) return;
  for (holder_t const& x : h->tasks)
    if (x.task != task) out.push_back(x.task);
}

bool re_t::checked(void const* function) const {
  logging_filter_t const* f = current_filter();
  return f == nullptr || f->code_passes(to_address(function));
}

void re_t::enter(unsigned short task, void const* function, void const* frame) {
  bool const check = checked(function);
  std::vector<unsigned short> noted;
  {
    lock_scope held(feature_lock);
    stack_t& activations = stacks_.at(task);
    sync(task, activations, frame, nullptr);
    push(task, activations, {function, frame});
    if (check) others_holding(task, function, noted);
  }
  if (!noted.empty()) raise(task, function, noted);
}

void re_t::leave(unsigned short task, void const* function, void const* frame) {
  bool const check = checked(function);
  std::vector<unsigned short> noted;
  {
    lock_scope held(feature_lock);
    stack_t& activations = stacks_.at(task);
    sync(task, activations, frame, function);
    if (activations.empty()) return;
    if (activations.back().function == function) {
      pop(task, activations);
      return;
    }
    // A leave that matches no open activation is checked like an entry.
    if (check) others_holding(task, function, noted);
  }
  if (!noted.empty()) raise(task, function, noted);
}

void re_t::leave(unsigned short task) {
  lock_scope held(feature_lock);
  stack_t* activations = stacks_.find(task);
  if (activations == nullptr) return;
  while (!activations->empty()) pop(task, *activations);
  // A task that opened very deep recursion gives the room back.
  if (activations->capacity() > 1024) stack_t().swap(*activations);
}

std::vector<re_t::instance_t> re_t::activations_of(unsigned short task) {
  lock_scope held(feature_lock);
  stack_t const* activations = stacks_.find(task);
  return activations == nullptr ? std::vector<instance_t>{} : *activations;
}

std::size_t re_t::open_tasks() {
  lock_scope held(feature_lock);
  std::size_t n = 0;
  stacks_.for_each([&](unsigned short, stack_t const& s) { n += s.empty() ? 0 : 1; });
  return n;
}

void re_t::raise(unsigned short task, void const* function, std::vector<unsigned short>& noted) {
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
