#include "access_log.h"

#include <algorithm>
#include <iterator>

namespace vexa {
namespace {
bool before(site_t const& s, task_key_t task, address_t code) {
  return s.task < task || (s.task == task && s.code < code);
}
}  // namespace

site_t const* site_list_t::lower_bound(task_key_t task, address_t code) const {
  site_t const* lo = data();
  std::uint32_t n = size_;
  while (n != 0) {
    std::uint32_t const half = n / 2;
    if (before(lo[half], task, code)) {
      lo += half + 1;
      n -= half + 1;
    } else {
      n = half;
    }
  }
  return lo;
}

bool site_list_t::has_task(task_key_t task) const {
  site_t const* p = lower_bound(task, 0);
  return p != end() && p->task == task;
}

site_t const* site_list_t::find(task_key_t task, address_t code) const {
  // The common repeat: one site, the one asked for.
  if (size_ == 1) return data()[0].task == task && data()[0].code == code ? data() : nullptr;
  site_t const* p = lower_bound(task, code);
  return p != end() && p->task == task && p->code == code ? p : nullptr;
}

void site_list_t::insert(task_key_t task, address_t code, site_how_t const& how) {
  site_t* p = const_cast<site_t*>(lower_bound(task, code));
  if (p != end() && p->task == task && p->code == code) {
    p->merge(how);
    return;
  }
  std::uint32_t const at = static_cast<std::uint32_t>(p - data());
  if (size_ == capacity_) {
    // By half past four, not double: sites are most of a log's memory, and
    // a list seldom grows past a handful (a task's places at the object,
    // and those of the tasks it absorbed).
    std::uint32_t const grown = capacity_ < 4 ? 4 : capacity_ + capacity_ / 2;
    site_t* const bigger = new site_t[grown];
    site_t* const old = data();
    std::copy(old, old + at, bigger);
    std::copy(old + at, old + size_, bigger + at + 1);
    // Only now: the heap pointer shares its room with the inline site.
    if (capacity_ != 1) delete[] old;
    heap_ = bigger;
    capacity_ = grown;
  } else {
    std::copy_backward(data() + at, data() + size_, data() + size_ + 1);
  }
  data()[at] = site_t{code, how.step, how.locks, task, how.atomic};
  ++size_;
  // Sorted by (task, code), each once: its neighbours say so.
  VEXA_CHECK(at == 0 || before(data()[at - 1], task, code));
  VEXA_CHECK(at + 1 == size_ || before(data()[at], data()[at + 1].task, data()[at + 1].code));
}

bool site_list_t::move_task(task_key_t from, task_key_t to, std::uint64_t step, bool& had) {
  if (size_ <= 1) {
    // The common case, one task at one place: nothing to reorder or merge.
    if (size_ == 0) return false;
    if (data()[0].task == to) had = true;
    if (data()[0].task != from) return false;
    data()[0].task = to;
    data()[0].step = step;
    return true;
  }
  if (has_task(to)) had = true;
  site_t* const first = const_cast<site_t*>(lower_bound(from, 0));
  site_t* last = first;
  while (last != data() + size_ && last->task == from) ++last;
  if (first == last) return false;
  std::uint32_t const moving = static_cast<std::uint32_t>(last - first);
  // A task has few places at one object: its run is taken out and each
  // site put in at `to`'s place, in place (the room it left is enough), as
  // absorbing a finished task must not allocate at every log it touched.
  site_t taken[8];
  if (moving <= std::size(taken)) {
    std::copy(first, last, taken);
    std::copy(last, data() + size_, first);
    size_ -= moving;
    for (std::uint32_t i = 0; i < moving; ++i) {
      site_t* p = const_cast<site_t*>(lower_bound(to, taken[i].code));
      site_how_t const how{step, taken[i].locks, taken[i].atomic != 0};
      if (p != data() + size_ && p->task == to && p->code == taken[i].code) {
        p->merge(how);
        continue;
      }
      std::copy_backward(p, data() + size_, data() + size_ + 1);
      *p = site_t{taken[i].code, step, taken[i].locks, to, taken[i].atomic};
      ++size_;
    }
    return true;
  }
  for (site_t* p = first; p != last; ++p) {
    p->task = to;
    p->step = step;
  }
  std::sort(data(), data() + size_, [](site_t const& a, site_t const& b) { return before(a, b.task, b.code); });
  std::uint32_t kept = 0;
  for (std::uint32_t i = 0; i < size_; ++i) {
    if (kept != 0 && data()[kept - 1].task == data()[i].task && data()[kept - 1].code == data()[i].code) {
      data()[kept - 1].merge(data()[i].how());
      continue;
    }
    data()[kept++] = data()[i];
  }
  size_ = kept;
  return true;
}

bool site_list_t::relabel(task_key_t from, task_key_t to) {
  site_t* first = const_cast<site_t*>(lower_bound(from, 0));
  site_t* last = first;
  while (last != data() + size_ && last->task == from) ++last;
  if (first == last) return false;
  VEXA_CHECK(from < to && !has_task(to));
  site_t* const at = const_cast<site_t*>(lower_bound(to, 0));
  for (site_t* p = first; p != last; ++p) p->task = to;
  // The keys between the two stay in order ahead of the moved run.
  std::rotate(first, last, at);
  return true;
}

bool site_list_t::erase_task(task_key_t task) {
  site_t* first = const_cast<site_t*>(lower_bound(task, 0));
  site_t* last = first;
  while (last != data() + size_ && last->task == task) ++last;
  if (first == last) return false;
  std::copy(last, data() + size_, first);
  size_ -= static_cast<std::uint32_t>(last - first);
  // A long list gives the heap back once it is small again, so that memory
  // follows what live tasks hold; a short one keeps its room for the next
  // task at the same object (a sweep per parallel region would otherwise
  // allocate and free it every time).
  if (size_ <= 1 && capacity_ > 8) {
    site_t const keep = size_ == 1 ? data()[0] : site_t{};
    release();
    inline_ = keep;
  }
  return true;
}

std::uint32_t site_list_t::tasks() const {
  std::uint32_t n = 0;
  for (std::uint32_t i = 0; i < size_; ++i)
    if (i == 0 || data()[i].task != data()[i - 1].task) ++n;
  return n;
}

}  // namespace vexa
