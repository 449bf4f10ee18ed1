#include "access_log.h"

#include <algorithm>
#include <vector>

namespace vexa {
namespace {
bool before(site_t const& s, unsigned short task, address_t code) {
  return s.task < task || (s.task == task && s.code < code);
}
}  // namespace

site_t const* site_list_t::lower_bound(unsigned short task, address_t code) const {
  site_t const* lo = data_;
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

bool site_list_t::has_task(unsigned short task) const {
  site_t const* p = lower_bound(task, 0);
  return p != end() && p->task == task;
}

bool site_list_t::contains(unsigned short task, address_t code) const {
  // The common repeat: one site, the one asked for.
  if (size_ == 1) return data_[0].task == task && data_[0].code == code;
  site_t const* p = lower_bound(task, code);
  return p != end() && p->task == task && p->code == code;
}

void site_list_t::insert(unsigned short task, address_t code, site_how_t const& how) {
  site_t* p = const_cast<site_t*>(lower_bound(task, code));
  if (p != end() && p->task == task && p->code == code) {
    p->merge(how);
    return;
  }
  std::uint32_t const at = static_cast<std::uint32_t>(p - data_);
  if (size_ == capacity_) {
    std::uint32_t const grown = capacity_ < 4 ? 4 : capacity_ * 2;
    site_t* bigger = new site_t[grown];
    std::copy(data_, data_ + at, bigger);
    std::copy(data_ + at, data_ + size_, bigger + at + 1);
    if (data_ != inline_) delete[] data_;
    data_ = bigger;
    capacity_ = grown;
  } else {
    std::copy_backward(data_ + at, data_ + size_, data_ + size_ + 1);
  }
  data_[at] = site_t{code, how.step, how.locks, task, how.atomic};
  ++size_;
}

bool site_list_t::move_task(unsigned short from, unsigned short to, std::uint64_t step) {
  site_t const* first = lower_bound(from, 0);
  site_t const* last = first;
  while (last != end() && last->task == from) ++last;
  if (first == last) return false;
  // Inserting may move the list: the moved sites are copied out first.
  std::vector<site_t> moved(first, last);
  site_list_t merged;
  merged.reserve(size_);
  for (site_t const& s : *this)
    if (s.task != from) merged.append(s);
  for (site_t s : moved) {
    s.step = step;
    merged.insert(to, s.code, s.how());
  }
  swap(merged);
  return true;
}

void site_list_t::reserve(std::uint32_t n) {
  if (n <= capacity_) return;
  site_t* bigger = new site_t[n];
  std::copy(data_, data_ + size_, bigger);
  if (data_ != inline_) delete[] data_;
  data_ = bigger;
  capacity_ = n;
}

void site_list_t::swap(site_list_t& other) {
  // The inline site moves by value; a heap array by pointer.
  site_t const mine = inline_[0], theirs = other.inline_[0];
  bool const mine_inline = data_ == inline_, theirs_inline = other.data_ == other.inline_;
  std::swap(data_, other.data_);
  std::swap(size_, other.size_);
  std::swap(capacity_, other.capacity_);
  inline_[0] = theirs;
  other.inline_[0] = mine;
  if (theirs_inline) data_ = inline_;
  if (mine_inline) other.data_ = other.inline_;
}

bool site_list_t::erase_task(unsigned short task) {
  site_t* first = const_cast<site_t*>(lower_bound(task, 0));
  site_t* last = first;
  while (last != data_ + size_ && last->task == task) ++last;
  if (first == last) return false;
  std::copy(last, data_ + size_, first);
  size_ -= static_cast<std::uint32_t>(last - first);
  // A long list gives the heap back once it is small again, so that memory
  // follows what live tasks hold; a short one keeps its room for the next
  // task at the same object (a sweep per parallel region would otherwise
  // allocate and free it every time).
  if (size_ <= 1 && capacity_ > 8) {
    site_t const keep = size_ == 1 ? data_[0] : site_t{};
    release();
    inline_[0] = keep;
  }
  return true;
}

std::uint32_t site_list_t::tasks() const {
  std::uint32_t n = 0;
  for (std::uint32_t i = 0; i < size_; ++i)
    if (i == 0 || data_[i].task != data_[i - 1].task) ++n;
  return n;
}

}  // namespace vexa
