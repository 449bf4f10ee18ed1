// The sharing detector's side of fork(): every lock it has, taken in lock
// order, so that no other thread holds one at the moment the process is
// copied (the child would wait for it for ever).
#include "tsm.h"

namespace vexa {
namespace {

// With the chain lock held nothing is linked in front of head, and with a
// node's lock held nothing is linked behind it, so the walk meets every
// node and leaves the chain unable to change.
template <class Chain>
void lock_chain(Chain& chain) {
  chain.lock.lock();
  // Each next is read under its node's lock, where it is stable; the
  // acquires pair with the releases that linked the nodes.
  for (auto* n = chain.head.load(std::memory_order_acquire); n != nullptr;
       n = n->next.load(std::memory_order_acquire))
    n->lock.lock();
}

template <class Chain>
void unlock_chain(Chain& chain) {
  auto* n = chain.head.load(std::memory_order_acquire);
  while (n != nullptr) {
    auto* following = n->next.load(std::memory_order_acquire);  // still stable: n is locked
    n->lock.unlock();
    n = following;
  }
  chain.lock.unlock();
}

}  // namespace

// The access log chain and the index chains are never locked together, so
// their order among themselves is free; cases_lock comes after node locks.
void tsm_t::lock_for_fork() {
  lock_chain(logs);
  for (auto& chain : index.chains) lock_chain(chain);
  cases_lock.lock();
}

void tsm_t::unlock_after_fork() {
  cases_lock.unlock();
  for (auto& chain : index.chains) unlock_chain(chain);
  unlock_chain(logs);
}

}  // namespace vexa
