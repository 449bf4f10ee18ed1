#include "access_log.h"

namespace vexa {

void access_log_t::insert(log_t*& list, void const* code) {
  auto make = [code](log_t* next) {
    void* memory = current.thread_arena_get().allocate(sizeof(log_t));
    return new (memory) log_t{code, next};
  };
  address_t const c = to_address(code);
  if (list == nullptr || c < to_address(list->code)) {
    list = make(list);
    return;
  }
  for (log_t* e = list;; e = e->next) {
    if (to_address(e->code) == c) return;
    if (e->next == nullptr || c < to_address(e->next->code)) {
      e->next = make(e->next);
      return;
    }
  }
}

}  // namespace vexa
