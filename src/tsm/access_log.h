// What the sharing detector remembers of one memory object: which live
// tasks read and wrote it, and from which code addresses.
//
// Access logs come from a pool and are recycled once no live task holds
// them, but their memory is never returned while the detector exists
// (type-stable): a thread that found a log without a lock may always lock
// it, and then checks under the lock that it is still alive and still the
// log of the object it looked for.
#ifndef VEXA_TSM_ACCESS_LOG_H
#define VEXA_TSM_ACCESS_LOG_H

#include <atomic>
#include <cstdint>

#include "../lock/lock.h"
#include "lockset.h"
#include "object.h"
#include "shadow_memory.h"

namespace vexa {

// Whose a site is: the handle of the live task that made it (1..65535), or
// the key a finished task's accesses moved to when it gave its handle back
// (tsm_t::set_aside(); from 65536 up).
using task_key_t = std::uint32_t;
constexpr task_key_t first_key = 65536;
inline bool is_key(task_key_t task) { return task >= first_key; }

// What an access carries besides its place, for the race rule: a bridge
// that knows how its tasks are ordered tells the library (tsm.h).
struct site_how_t {
  std::uint64_t step = 0;   // the task's step when it made the access
  std::uint32_t locks = 0;  // the locks it held, an interned set (lockset.h)
  bool atomic = false;      // an atomic operation
};

// One code address of one task for one kind of access. A task that comes
// back to the same place keeps one site: the latest step (a later access is
// ordered with fewer tasks, never more), the locks held every time, atomic
// only while every access there was.
struct site_t {
  address_t code;
  std::uint64_t step;
  std::uint32_t locks;
  // One word for both, so that a site is no larger than it was with 16-bit
  // handles (a site per task per place is most of a log).
  task_key_t task : 31;
  task_key_t atomic : 1;

  site_how_t how() const { return {step, locks, atomic != 0}; }
  // Writes only what changes: a repeated access from the same place, the
  // common case, leaves the site's cache line clean. Whether anything did.
  bool merge(site_how_t const& h) {
    if (VEXA_LIKELY(h.step <= step && locks == h.locks && (h.atomic || !atomic))) return false;
    if (h.step > step) step = h.step;
    locks = lockset::meet(locks, h.locks);
    atomic = atomic && h.atomic;
    return true;
  }
};

// The sites of one kind of access to one object, ordered by task handle and
// then by code address, each once. Most objects are touched by one task from
// one place, so the first site lives inside the list and the heap is used
// only from the second on.
class site_list_t {
 public:
  site_list_t() noexcept : size_(0), capacity_(1), inline_{} {}
  ~site_list_t() { release(); }
  site_list_t(site_list_t const&) = delete;
  site_list_t& operator=(site_list_t const&) = delete;

  bool empty() const { return size_ == 0; }
  std::uint32_t size() const { return size_; }
  site_t const* begin() const { return data(); }
  site_t const* end() const { return data() + size_; }

  // Whether a task other than `task` has a site here: sorted by task, so the
  // two ends tell.
  bool others_than(task_key_t task) const {
    return size_ != 0 && (data()[0].task != task || data()[size_ - 1].task != task);
  }
  bool has_task(task_key_t task) const;
  bool contains(task_key_t task, address_t code) const { return find(task, code) != nullptr; }
  // The site, or null.
  site_t const* find(task_key_t task, address_t code) const;
  site_t* find(task_key_t task, address_t code) {
    return const_cast<site_t*>(static_cast<site_list_t const*>(this)->find(task, code));
  }
  // Adds the site, or merges `how` into it when it is there; may throw
  // std::bad_alloc, leaving the list as it was.
  void insert(task_key_t task, address_t code, site_how_t const& how = {});
  // Gives every site of `from` to `to`, merged with `to`'s own at the same
  // place, with step `step`; whether `from` had any. `had` is set when `to`
  // held a site here before (and left alone otherwise).
  bool move_task(task_key_t from, task_key_t to, std::uint64_t step, bool& had);
  // Gives every site of `from` to `to`, which is the larger and holds none
  // here when `from` does, each with its own step and locks; whether `from`
  // had any.
  bool relabel(task_key_t from, task_key_t to);
  // Drops every site of `task`; whether there was any.
  bool erase_task(task_key_t task);
  void clear() {
    release();
    size_ = 0;
  }
  // Number of distinct tasks, and the sites of each in order (statistics).
  std::uint32_t tasks() const;

 private:
  site_t const* lower_bound(task_key_t task, address_t code) const;
  void release() {
    if (capacity_ != 1) delete[] heap_;
    capacity_ = 1;
  }

  site_t const* data() const { return capacity_ == 1 ? &inline_ : heap_; }
  site_t* data() { return capacity_ == 1 ? &inline_ : heap_; }

  std::uint32_t size_;
  std::uint32_t capacity_;  // 1: the list's one site is inline_
  // A pointer per list would make every log 16 bytes larger: the heap's
  // pointer takes the inline site's room once the list has moved there.
  union {
    site_t inline_;
    site_t* heap_;
  };
};

struct access_log_t {
  // The object, set when the log is taken from the pool for it. Written
  // under `lock` by the detector's structure lock holder; read without a
  // lock by index lookups, which confirm it under `lock` before they use
  // the log, so a stale value only costs a retry.
  object_t key() const {
    return {base_.load(std::memory_order_relaxed), size_.load(std::memory_order_relaxed)};
  }
  void set_key(object_t const& o) {
    base_.store(o.base, std::memory_order_relaxed);
    size_.store(o.size, std::memory_order_relaxed);
  }

  // Raised under `lock` by every change to what a check of this log could
  // find: its key and liveness, its sites, its neighbour count. Read
  // without the lock by the calling thread's cache of repeated accesses
  // (repeat_cache.h): an unchanged version means an access it checked
  // before would be logged and checked the same way again.
  std::uint64_t version() const {
    // Pairs with the release in changed(); coherence alone already makes
    // a change that happens before the reader's access visible to it.
    return version_.load(std::memory_order_acquire);
  }
  // The stamp of a repeat (shadow_memory.h) ends with the version.
  void changed() {
    version_.store(version_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    if (stamped) {
      stamped = false;
      shadow_memory.erase(base_.load(std::memory_order_relaxed));
    }
  }
  // Leaves a stamp in the object's word (under `lock`, like changed()).
  void stamp(shadow_memory_t::word_t& word, std::uint64_t stamp) {
    word.store(stamp, std::memory_order_relaxed);
    stamped = true;
  }

  // Not in the lock registry: fork takes it through the pools (log_pool.h).
  basic_lock_t lock{lock_rank::access_log};  // guards everything below but the links
  bool dead = true;        // in the pool, or being taken out of the detector
  bool idle = false;       // empty, kept indexed for the object's next task
  std::uint8_t listed = 0;  // entries of listed_logs in use (below)
  bool stamped = false;     // its object's shadow word may hold a stamp
  // Indexed in its granule's chain (log_index.h), not in the tables of the
  // log and extent indexes; set when it is made, under the structure lock.
  bool chained = false;
  std::uint32_t neighbours = 0;  // other live logs whose objects share a byte with this one
  // The first of them (room for more costs every log its size): an
  // access to an object inside one other, an element of a copied
  // structure or range, examines both without the extent index and its
  // structure lock. Complete when `listed` equals `neighbours`; a
  // neighbour that goes leaves the list.
  static constexpr unsigned listed_at_most = 1;
  access_log_t* listed_logs[listed_at_most] = {};
  void add_neighbour(access_log_t* n) {
    ++neighbours;
    if (listed < listed_at_most) listed_logs[listed++] = n;
  }
  void drop_neighbour(access_log_t* n) {
    --neighbours;
    for (unsigned i = 0; i < listed; ++i)
      if (listed_logs[i] == n) {
        listed_logs[i] = listed_logs[--listed];
        return;
      }
  }
  void clear_neighbours() {
    neighbours = 0;
    listed = 0;
  }
  site_list_t reads;
  site_list_t writes;

  // The next log of the same index bucket. Written under the structure
  // lock; read without a lock by lookups (see log_index.h).
  std::atomic<access_log_t*> bucket_next{nullptr};
  access_log_t* pool_next = nullptr;  // free list; under the structure lock

 private:
  std::atomic<address_t> base_{0};
  std::atomic<address_t> size_{0};
  std::atomic<std::uint64_t> version_{0};  // written under `lock`, see version()
};

}  // namespace vexa

#endif  // VEXA_TSM_ACCESS_LOG_H
