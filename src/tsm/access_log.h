// What the sharing detector remembers of one memory object: which live
// tasks read and wrote it, and from which code addresses.
#ifndef VEXA_TSM_ACCESS_LOG_H
#define VEXA_TSM_ACCESS_LOG_H

#include <functional>
#include <map>

#include "chain.h"
#include "object.h"

namespace vexa {

// The maps and the lists they point to are read and changed only under the
// node lock of the chain node that holds this access log; `object` never
// changes and is read without a lock.
struct access_log_t {
  // One code address in a task's list. Lists are ascending and hold each
  // address once, so a loop that repeats an access adds nothing after its
  // first iteration. Entries live in the inserting thread's arena and are
  // abandoned, never freed, when their task's map entry is erased.
  struct log_t {
    void const* code;
    log_t* next;
  };
  using tasks_t = std::map<unsigned short, log_t*>;

  explicit access_log_t(object_t const& o) noexcept : object(o) {}

  // Adds code to the list, keeping it ascending and free of duplicates.
  static void insert(log_t*& list, void const* code);

  object_t object;
  tasks_t reads;   // task handle -> read code addresses
  tasks_t writes;  // task handle -> write code addresses
};

using access_log_chain_t = chain_t<access_log_t, object_t, std::equal_to<object_t>, std::less<object_t>>;

}  // namespace vexa

#endif  // VEXA_TSM_ACCESS_LOG_H
