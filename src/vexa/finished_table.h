// The finished tasks that keep their accesses until they are absorbed or
// released (runtime.h, vexa_t::finished), by task id. Every task with an id
// goes in at its end and out at its join, on two threads as often as not:
// a tree's node per task was an allocation on one thread and a free on the
// other, both under glibc's arena locks. Open addressing with linear
// probing; a removal shifts the entries behind it back, so no slot is ever
// a tombstone and a lookup stops at the first empty slot.
//
// Guarded by its owner (finished_lock); no locks or atomics of its own.
#ifndef VEXA_FINISHED_TABLE_H
#define VEXA_FINISHED_TABLE_H

#include <cstddef>
#include <cstdint>

namespace vexa {

struct task_record_t;

class finished_table_t {
 public:
  finished_table_t() = default;
  finished_table_t(finished_table_t const&) = delete;
  finished_table_t& operator=(finished_table_t const&) = delete;
  ~finished_table_t() { delete[] slots_; }

  // Adds id -> record; false, changing nothing, when id is there already.
  // May throw std::bad_alloc (growth), leaving the table as it was.
  bool insert(std::uint64_t id, task_record_t* record) {
    if (2 * (size_ + 1) > capacity()) grow();
    std::size_t i = home(id);
    for (; slots_[i].record != nullptr; i = (i + 1) & mask_)
      if (slots_[i].id == id) return false;
    slots_[i] = {id, record};
    ++size_;
    return true;
  }

  // Removes id and returns its record, or null when it is not there.
  task_record_t* take(std::uint64_t id) {
    if (slots_ == nullptr) return nullptr;
    std::size_t i = home(id);
    for (; slots_[i].id != id || slots_[i].record == nullptr; i = (i + 1) & mask_)
      if (slots_[i].record == nullptr) return nullptr;
    task_record_t* const found = slots_[i].record;
    // Each entry after the hole that would not be found past it moves in.
    for (std::size_t j = (i + 1) & mask_; slots_[j].record != nullptr; j = (j + 1) & mask_) {
      if (((j - home(slots_[j].id)) & mask_) >= ((j - i) & mask_)) {
        slots_[i] = slots_[j];
        i = j;
      }
    }
    slots_[i] = {0, nullptr};
    --size_;
    return found;
  }

  std::size_t size() const { return size_; }

 private:
  struct slot_t {
    std::uint64_t id;
    task_record_t* record;  // null: empty
  };

  std::size_t capacity() const { return slots_ == nullptr ? 0 : mask_ + 1; }
  // Ids are handed out in order, but a program may choose its own: the
  // top bits of a multiplicative hash spread neighbours and ids alike in
  // their low bits.
  std::size_t home(std::uint64_t id) const { return static_cast<std::size_t>((id * 0x9e3779b97f4a7c15ull) >> shift_); }

  void grow() {
    std::size_t const grown = capacity() == 0 ? 64 : 2 * capacity();
    slot_t* const bigger = new slot_t[grown]();
    slot_t* const old = slots_;
    std::size_t const old_capacity = capacity();
    slots_ = bigger;
    mask_ = grown - 1;
    shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(grown));
    for (std::size_t k = 0; k < old_capacity; ++k) {
      if (old[k].record == nullptr) continue;
      std::size_t i = home(old[k].id);
      while (slots_[i].record != nullptr) i = (i + 1) & mask_;
      slots_[i] = old[k];
    }
    delete[] old;
  }

  slot_t* slots_ = nullptr;
  std::size_t mask_ = 0;
  unsigned shift_ = 63;  // 64 - log2 of the capacity
  std::size_t size_ = 0;
};

}  // namespace vexa

#endif  // VEXA_FINISHED_TABLE_H
