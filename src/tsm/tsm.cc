// Logging accesses, forgetting tasks, reset and statistics.
#include "tsm.h"

namespace vexa {

tsm_t::tsm_t() : largest_write(4) {}

tsm_t::~tsm_t() = default;  // open cases are not released; `filter` is left alone

void tsm_t::initialize_lock_order(lock_t const& outer) {
  (void)outer;
  index.initialize_lock_order(feature_lock);
}

void tsm_t::enter(unsigned short task, void const* code) {
  (void)task;
  logging_filter_t const* f = current_filter();
  if (f == nullptr || f->code_passes(to_address(code))) return;
  if (task_record_t* r = current.record) r->flags |= task_record_t::flag_unlogged;
}

tsm_t::const_iterator tsm_t::log(object_t const& object, tsm_access_t access, unsigned short task,
                                 void const* code) {
  task_record_t* r = current.record;
  if (r == nullptr || (r->flags & (task_record_t::flag_unlogged | task_record_t::flag_suspended))) return {};
  if (logging_filter_t const* f = current_filter()) {
    if (!f->access_passes(object.base, object.size) || !f->code_passes(to_address(code))) return {};
  }

  const_iterator found = index.find_or_create(logs, object);
  {
    chain_type::locked_iterator log(found);
    access_log_t::tasks_t& tasks = access == TSM_WRITE ? log->writes : log->reads;
    access_log_t::log_t*& list = tasks.try_emplace(task, nullptr).first->second;
    access_log_t::insert(list, code);
  }

  if (access == TSM_WRITE && object.size > r->largest_write) {
    r->largest_write = static_cast<std::uint32_t>(object.size);
    if (object.size > largest_write.load(std::memory_order_relaxed)) {
      lock_scope held(feature_lock);
      if (object.size > largest_write.load(std::memory_order_relaxed))
        largest_write.store(static_cast<std::uint32_t>(object.size), std::memory_order_relaxed);
    }
  }
  return found;
}

void tsm_t::leave(unsigned short task, void const* code) {
  (void)code;
  discard(task);
}

void tsm_t::discard(unsigned short task) {
  for (chain_type::locked_iterator it(logs.first()); it.node() != nullptr; ++it) {
    it->reads.erase(task);
    it->writes.erase(task);
  }
}

void tsm_t::reset() {
  for (chain_type::locked_iterator it(logs.first()); it.node() != nullptr; ++it) {
    it->reads.clear();
    it->writes.clear();
  }
}

void tsm_t::collect(statistic_t& s) {
  s.objects = 0;
  for (int i = 0; i < 5; ++i) s.readers[i] = s.writers[i] = s.read_sites[i] = s.write_sites[i] = 0;
  // A width of 0 would divide by zero; every count is then taken to exceed
  // the last bucket's bound, as it would with an infinitely fine width.
  auto count = [](std::uint32_t (&buckets)[5], std::size_t c, std::uint16_t step) {
    std::size_t b = step == 0 ? 4 : c / step;
    ++buckets[b > 4 ? 4 : b];
  };
  auto length = [](access_log_t::log_t const* l) {
    std::size_t n = 0;
    for (; l != nullptr; l = l->next) ++n;
    return n;
  };
  for (chain_type::locked_iterator it(logs.first()); it.node() != nullptr; ++it) {
    ++s.objects;
    count(s.readers, it->reads.size(), s.readers_step);
    count(s.writers, it->writes.size(), s.writers_step);
    for (auto const& e : it->reads) count(s.read_sites, length(e.second), s.read_sites_step);
    for (auto const& e : it->writes) count(s.write_sites, length(e.second), s.write_sites_step);
  }
}

}  // namespace vexa
