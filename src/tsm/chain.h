// chain_t: a sorted, doubly linked, insert-only list for many threads.
//
// Algorithm. Nodes are only ever added, never unlinked or freed while the
// chain lives, so a node pointer stays valid and its links stay walkable
// without any reclamation scheme: lookups walk the links with no lock at
// all. A node is completely built (value, both links, lock) before the one
// store that makes it reachable, and those publishing stores are releases
// paired with the acquire loads of the unlocked walks.
//
// Insertion behind a node locks that node and its successor (lock
// coupling), so two insertions into the same gap serialise and the loser
// sees the winner's node. Insertion in front of head takes the chain lock
// and the head node's lock. Who writes what:
//   head         only under the chain lock;
//   tail         under the lock of the current last node (or the chain
//                lock while the chain is empty);
//   node->next   under that node's lock;
//   node->prev   under that node's lock.
// Lock order: the chain lock before any node lock; node locks in chain
// order, a node before its next. Forward walks hold at most two node locks.
//
// Node memory comes from the inserting thread's arena and outlives the
// chain; the destructor only runs the nodes' destructors.
#ifndef VEXA_TSM_CHAIN_H
#define VEXA_TSM_CHAIN_H

#include <atomic>
#include <new>

#include "../lock/lock.h"
#include "../vexa/current.h"

namespace vexa {

// T carries its key in a member named `object`.
template <class T, class Key, class Equal, class Less>
class chain_t {
 public:
  struct node_t {
    node_t(Key const& key, node_t* p, node_t* n) : value(key), prev(p), next(n) {}
    T value;
    std::atomic<node_t*> prev;  // towards head
    std::atomic<node_t*> next;  // towards tail
    lock_t lock;                // guards this node's links and the contents of value
  };

  // A handle on one node; empty when the node is null.
  class const_iterator {
   public:
    const_iterator(node_t* n = nullptr) noexcept : node_(n) {}  // NOLINT: implicit on purpose
    const_iterator(const_iterator const&) = default;
    const_iterator& operator=(const_iterator const&) = default;
    virtual ~const_iterator() = default;

    T const& operator*() const { return node_->value; }
    T const* operator->() const { return &node_->value; }
    explicit operator bool() const { return node_ != nullptr; }
    node_t* node() const { return node_; }
    friend bool operator==(const_iterator const& a, const_iterator const& b) { return a.node_ == b.node_; }
    friend bool operator!=(const_iterator const& a, const_iterator const& b) { return a.node_ != b.node_; }

   protected:
    node_t* node_;
  };

  // Holds its node's lock while it points at it; moving on locks the next
  // node before it unlocks the current one, so a walk never sees a value
  // that another thread is changing.
  class locked_iterator : public const_iterator {
   public:
    explicit locked_iterator(node_t* n) noexcept : const_iterator(n) {
      if (n != nullptr) n->lock.lock();
    }
    explicit locked_iterator(const_iterator const& it) noexcept : locked_iterator(it.node()) {}
    locked_iterator(locked_iterator const&) = delete;
    locked_iterator& operator=(locked_iterator const&) = delete;
    ~locked_iterator() override {
      if (this->node_ != nullptr) this->node_->lock.unlock();
    }

    T& operator*() const { return this->node_->value; }
    T* operator->() const { return &this->node_->value; }

    locked_iterator& operator++() noexcept {
      // next only changes under the lock we hold; acquire pairs with the
      // release that linked the successor, for the successor's contents.
      node_t* following = this->node_->next.load(std::memory_order_acquire);
      if (following != nullptr) following->lock.lock();
      this->node_->lock.unlock();
      this->node_ = following;
      return *this;
    }
  };

  chain_t() noexcept : head(nullptr), tail(nullptr) {}
  chain_t(chain_t const&) = delete;
  chain_t& operator=(chain_t const&) = delete;

  virtual ~chain_t() {
    node_t* n = head.load(std::memory_order_acquire);
    while (n != nullptr) {
      node_t* following = n->next.load(std::memory_order_acquire);
      n->~node_t();  // memory stays in the inserting threads' arenas
      n = following;
    }
  }

  // The node whose key equals key, inserted (from the calling thread's
  // arena) when there is none. The search starts at hint, or at head.
  const_iterator insert(Key const& key, thread_info_t::allocation_t where, const_iterator hint) {
    (void)where;  // every allocation selector means the calling thread's arena
    // Pairs with the release stores of head in the front insertion.
    node_t* start = hint.node() != nullptr ? hint.node() : head.load(std::memory_order_acquire);
    for (;;) {
      node_t* n = start;
      while (n != nullptr) {
        if (equal_(n->value.object, key)) return n;
        if (less_(n->value.object, key)) return insert_behind(n, key);
        // Pairs with the release stores of prev when a node is linked in front.
        n = n->prev.load(std::memory_order_acquire);
      }
      // key belongs in front of head (or the chain is empty).
      lock_scope chain(lock);
      node_t* h = head.load(std::memory_order_relaxed);  // only written under the lock we hold
      if (h == nullptr) {
        node_t* fresh = make_node(key, nullptr, nullptr);
        // Publish the finished node; pair with the acquire loads of head/tail.
        tail.store(fresh, std::memory_order_release);
        head.store(fresh, std::memory_order_release);
        return fresh;
      }
      node_unlocker held(h);
      if (h->prev.load(std::memory_order_relaxed) != nullptr || !less_(key, h->value.object)) {
        // The front moved while we walked: search again from the new head.
        start = h;
        continue;
      }
      node_t* fresh = make_node(key, nullptr, h);
      // Publish: pairs with the acquire loads of prev in backward walks and
      // of head in every walk that starts there.
      h->prev.store(fresh, std::memory_order_release);
      head.store(fresh, std::memory_order_release);
      return fresh;
    }
  }

  // The node equal to key if the unlocked walk from hint (or head) meets it,
  // else a neighbour of key's position; empty only for an empty chain.
  const_iterator approximate(Key const& key, const_iterator hint) const {
    node_t* n = hint.node() != nullptr ? hint.node() : head.load(std::memory_order_acquire);
    if (n == nullptr) return const_iterator();
    node_t* visited = n;
    if (less_(key, n->value.object)) {
      for (; n != nullptr; n = n->prev.load(std::memory_order_acquire)) {  // pairs with linking releases
        if (equal_(n->value.object, key)) return n;
        if (less_(n->value.object, key)) return visited;
        visited = n;
      }
    } else {
      for (; n != nullptr; n = n->next.load(std::memory_order_acquire)) {  // pairs with linking releases
        if (equal_(n->value.object, key)) return n;
        if (less_(key, n->value.object)) return visited;
        visited = n;
      }
    }
    return visited;
  }

  const_iterator first() const { return head.load(std::memory_order_acquire); }

  std::atomic<node_t*> head;
  std::atomic<node_t*> tail;
  lock_t lock;  // serialises insertion in front of head and into the empty chain

 private:
  struct node_unlocker {
    explicit node_unlocker(node_t* n) noexcept : n(n) { n->lock.lock(); }
    ~node_unlocker() {
      if (n != nullptr) n->lock.unlock();
    }
    void release_to(node_t* other) noexcept {
      n->lock.unlock();
      n = other;
    }
    node_t* n;
  };

  static node_t* make_node(Key const& key, node_t* p, node_t* n) {
    void* memory = current.thread_arena_get().allocate(sizeof(node_t));
    return new (memory) node_t(key, p, n);
  }

  // Locked forward walk from a node that precedes key.
  const_iterator insert_behind(node_t* n, Key const& key) {
    node_unlocker cur(n);
    for (;;) {
      if (equal_(cur.n->value.object, key)) return cur.n;
      // Stable: next changes only under cur's lock, which we hold.
      node_t* following = cur.n->next.load(std::memory_order_acquire);
      if (following == nullptr || less_(key, following->value.object)) {
        if (following != nullptr) following->lock.lock();
        struct unlock_following {
          node_t* f;
          ~unlock_following() {
            if (f != nullptr) f->lock.unlock();
          }
        } guard{following};
        node_t* fresh = make_node(key, cur.n, following);
        // Publish the finished node: the releases pair with the acquire
        // loads of prev/tail/next in unlocked walks.
        if (following != nullptr)
          following->prev.store(fresh, std::memory_order_release);
        else
          tail.store(fresh, std::memory_order_release);
        cur.n->next.store(fresh, std::memory_order_release);
        return fresh;
      }
      following->lock.lock();
      cur.release_to(following);
    }
  }

  Equal equal_;
  Less less_;
};

}  // namespace vexa

#endif  // VEXA_TSM_CHAIN_H
