// The sharing rule: comparing a logged access with the live accesses of
// other tasks, gathering conflicts in a case, and delivering it as event 256.
#include <memory>

#include "../vexa/runtime.h"
#include "tsm.h"

namespace vexa {

tsm_t::case_t* tsm_t::check(const_iterator log, tsm_access_t access, unsigned short task, void const* code) {
  object_t const o = log->object;

  // Objects that start up to largest_write bytes below o may reach into it.
  // The bound saturates at 0: a plain unsigned difference would wrap for an
  // object within largest_write bytes of address 0 and hide every object
  // below it.
  address_t const reach = largest_write.load(std::memory_order_relaxed);  // raised under feature_lock; a stale value is at most one racing write behind
  address_t const bound = o.base > reach ? o.base - reach : 0;
  chain_type::node_t* start = log.node();
  chain_type::node_t* const head = logs.head.load(std::memory_order_acquire);  // pairs with the front insertion's release
  while (start != head && start->value.object.base > bound) {
    chain_type::node_t* p = start->prev.load(std::memory_order_acquire);  // pairs with linking releases
    if (p == nullptr) break;
    start = p;
  }

  address_t const end = o.base + o.size;
  case_t* c = nullptr;
  auto obtain = [&]() {
    if (c == nullptr) {
      tsm_access_desc_t offender{};
      offender.access = access;
      offender.size = static_cast<std::uint32_t>(o.size);
      offender.base = o.base;
      offender.thread = task;
      offender.code = to_address(code);
      c = log_offender(offender);
    }
    return c;
  };
  auto others = [task](access_log_t::tasks_t const& tasks) {
    return tasks.size() >= 2 || (tasks.size() == 1 && tasks.begin()->first != task);
  };

  try {
    for (chain_type::locked_iterator p(start); p.node() != nullptr && p->object.base < end; ++p) {
      object_t const& po = p->object;
      bool const overlaps = po.base <= o.base ? o.base < po.base + po.size : true;
      if (!overlaps) continue;
      if (others(p->writes)) report(obtain(), TSM_WRITE, po, p->writes);
      if (access == TSM_WRITE && others(p->reads)) report(obtain(), TSM_READ, po, p->reads);
    }
  } catch (...) {
    // Out of memory half-way: the case must not outlive this hook call, or
    // the next conflict of this handle (perhaps another task by then) would
    // deliver its stale offender and offenses. The node locks are released
    // by now, so cases_lock is taken in order.
    if (c != nullptr) {
      {
        lock_scope held(cases_lock);
        cases.erase(task);
      }
      delete c;
    }
    throw;
  }
  return c;
}

tsm_t::case_t* tsm_t::log_offender(tsm_access_desc_t const& offender) {
  lock_scope held(cases_lock);
  case_t*& entry = cases[static_cast<unsigned short>(offender.thread)];
  if (entry == nullptr) entry = new case_t{offender, {}};
  return entry;
}

void tsm_t::report(case_t* c, tsm_access_t access, object_t const& object, access_log_t::tasks_t const& tasks) {
  auto const offender = static_cast<unsigned short>(c->offender.thread);
  for (auto const& entry : tasks) {
    if (entry.first == offender) continue;
    for (access_log_t::log_t const* l = entry.second; l != nullptr; l = l->next) {
      tsm_access_desc_t offense{};
      offense.access = access;
      offense.size = static_cast<std::uint32_t>(object.size);
      offense.base = object.base;
      offense.thread = entry.first;
      offense.code = to_address(l->code);
      log_offense(c, offense);
    }
  }
}

void tsm_t::log_offense(case_t* c, tsm_access_desc_t const& offense) {
  lock_scope held(cases_lock);
  c->offenses.push_back(offense);
}

void tsm_t::commit(case_t* c) {
  if (c == nullptr) return;
  std::unique_ptr<case_t> owned(c);
  {
    lock_scope held(cases_lock);
    cases.erase(static_cast<unsigned short>(c->offender.thread));
  }

  lock_scope held(vexa.lock);
  std::unique_ptr<tsm_access_desc_t[]> offended(new tsm_access_desc_t[c->offenses.size()]);
  auto translate = [](tsm_access_desc_t& d) {
    thread_model_t::threadid_t const id = vexa.identity_of(static_cast<unsigned short>(d.thread));
    d.task = id.task_id;
    d.thread = id.thread;
  };

  auto& record = __vexa_current_detection.u.tsm;
  record.offender = c->offender;
  translate(record.offender);
  record.count = 0;
  record.offended = to_address(offended.get());
  for (tsm_access_desc_t const& offense : c->offenses) {
    tsm_access_desc_t& d = offended[record.count];
    d = offense;
    translate(d);
    ++record.count;
  }
  owned.reset();
  if (record.count != 0) vexa.notify_debugger(VEXA_EVENT_DATA_SHARING);
}

}  // namespace vexa
