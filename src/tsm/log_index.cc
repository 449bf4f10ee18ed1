#include "log_index.h"

namespace vexa {

log_index_t::chain_type::node_t* log_index_t::entry_of(address_t a) const {
  chain_type const& chain = chains[bucket(a)];
  address_t const wanted = page(a);
  // All link loads are acquires pairing with the releases that linked each
  // node (chain.h).
  chain_type::node_t* e = chain.head.load(std::memory_order_acquire);
  if (e == nullptr) return nullptr;
  if (wanted > page(e->value.object.base)) {
    while (e != nullptr && page(e->value.object.base) < wanted) e = e->prev.load(std::memory_order_acquire);
  } else {
    while (e != nullptr && page(e->value.object.base) > wanted) e = e->next.load(std::memory_order_acquire);
  }
  return e != nullptr && page(e->value.object.base) == wanted ? e : nullptr;
}

access_log_chain_t::const_iterator log_index_t::find(object_t const& object, bool& usable_entry) const {
  usable_entry = false;
  chain_type::node_t* e = entry_of(object.base);
  if (e == nullptr) return {};

  // Pairs with the release store in find_or_create(); a null here only sends
  // the caller down the creation path.
  access_log_chain_t::node_t* n = e->value.access_log.load(std::memory_order_acquire);
  if (n == nullptr) return {};
  usable_entry = true;

  // Walk within the line from the access log the entry names.
  if (object < n->value.object) {
    while (n != nullptr && object < n->value.object) n = n->prev.load(std::memory_order_acquire);
  } else {
    while (n != nullptr && n->value.object < object) n = n->next.load(std::memory_order_acquire);
  }
  if (n != nullptr && n->value.object == object) return n;
  return {};
}

access_log_chain_t::const_iterator log_index_t::find_or_create(access_log_chain_t& logs, object_t const& object) {
  bool usable_entry;
  access_log_chain_t::const_iterator found = find(object, usable_entry);
  if (found) return found;

  chain_type& chain = chains[bucket(object.base)];
  access_log_chain_t::const_iterator hint;
  if (!usable_entry) {
    // The first access log of its line. The logs of the line just below
    // come right before it in the chain; when that line has any (a sweep
    // through an array always does), start there instead of at the nearest
    // indexed page of this bucket, which is 16 KiB or more away.
    if (chain_type::node_t* below = entry_of(object.base - line_size))
      hint = below->value.access_log.load(std::memory_order_acquire);  // pairs with the release below
  }
  if (!hint) {
    if (chain_type::const_iterator near = chain.approximate(object, chain.first()))
      hint = near->access_log.load(std::memory_order_acquire);  // pairs with the release below
  }
  access_log_chain_t::const_iterator log = logs.insert(object, thread_info_t::thread_arena, hint);

  if (!usable_entry) {
    chain_type::const_iterator entry = chain.insert(log->object, thread_info_t::thread_arena, chain.first());
    chain_type::locked_iterator locked(entry);
    // Publish the (complete, already linked) access log to find(); pairs
    // with its acquire load. Two creators in one line may both store: any
    // access log of the line satisfies the index.
    locked->access_log.store(log.node(), std::memory_order_release);
  }
  return log;
}

}  // namespace vexa
