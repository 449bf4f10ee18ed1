// The sharing rule: comparing a logged access with the live accesses of
// other tasks, gathering conflicts in a case, and delivering it as event 256.
#include <algorithm>
#include <iterator>
#include <list>
#include <memory>

#include "../vexa/current.h"
#include "../vexa/runtime.h"
#include "tsm.h"

namespace vexa {

// The case of one checked access, opened at its first conflict. If the
// check runs out of memory half-way, the case must not outlive the hook
// call, or the next conflict of this handle (perhaps another task by then)
// would deliver its stale offender and offenses.
struct case_builder_t {
  case_builder_t(tsm_t& t, tsm_access_t access, object_t const& o, unsigned short task, void const* code,
                 site_how_t const& h)
      : tsm(t), how(h) {
    offender = tsm_access_desc_t{};
    offender.access = access;
    offender.size = static_cast<std::uint32_t>(o.size);
    offender.base = o.base;
    offender.thread = task;
    offender.code = to_address(code);
  }
  tsm_t::case_t* obtain() {
    if (c == nullptr) c = tsm.log_offender(offender);
    return c;
  }
  // Lock order allows it under a log's lock: cases_lock comes after.
  void abandon() {
    if (c == nullptr) return;
    {
      lock_scope held(tsm.cases_lock);
      tsm.cases.erase(static_cast<unsigned short>(offender.thread));
    }
    delete c;
    c = nullptr;
  }
  // Reports the conflicts of the access with one log's sites.
  void examine(access_log_t const& l, object_t const& key, unsigned short task) {
    tsm_access_t const access = static_cast<tsm_access_t>(offender.access);
    if (l.writes.others_than(task)) consider(TSM_WRITE, key, l.writes, task);
    if (access == TSM_WRITE && l.reads.others_than(task)) consider(TSM_READ, key, l.reads, task);
  }
  void consider(tsm_access_t kind, object_t const& key, site_list_t const& sites, unsigned short task) {
    for (site_t const& s : sites) {
      if (s.task == task || !tsm.conflicts(s, how)) continue;
      tsm_access_desc_t offense{};
      offense.access = kind;
      offense.size = static_cast<std::uint32_t>(key.size);
      offense.base = key.base;
      // Named now, under the log's lock, where the site's handle still
      // belongs to the task that made it (tsm_t::name()).
      thread_model_t::threadid_t const id = tsm.name_of(s.task);
      offense.task = id.task_id;
      offense.thread = id.thread;
      offense.code = s.code;
      tsm.log_offense(obtain(), offense);
      ++logged;
    }
  }

  tsm_t& tsm;
  site_how_t how;
  tsm_access_desc_t offender;
  tsm_t::case_t* c = nullptr;
  std::size_t logged = 0;  // offenses this builder added to c
};

// Whether an earlier access (a site of another task) conflicts with the
// access being checked. Called under the site's log lock.
bool tsm_t::conflicts(site_t const& s, site_how_t const& how) const {
  if (s.atomic && how.atomic) return false;
  if (lockset::share(s.locks, how.locks)) return false;
  // Pairs with the release store in order_by(): the bridge's order is
  // registered before any task it places.
  vexa_order_t const ordered = order_.load(std::memory_order_acquire);
  if (ordered == nullptr) return true;
  std::atomic<void const*> const* slot = places_.find(s.task);
  // The place was stored by the task's own thread before it logged the
  // site, and the site was logged under the lock held here.
  void const* place = slot == nullptr ? nullptr : slot->load(std::memory_order_relaxed);
  return place == nullptr || ordered(place, s.step) == 0;
}

tsm_t::case_t* tsm_t::access(object_t const& object, tsm_access_t access, unsigned short task, void const* code,
                             bool atomic) {
  if (!logged(object, code)) return nullptr;
  site_how_t const how = how_now(atomic);
  thread_info_t& self = current;
  repeat_cache_t::entry_t& seen = self.thread_arena_get().repeats.slot(object, access, to_address(code));
  std::uint64_t const places = replaced_places();
  if (seen.repeats(object, access, to_address(code), task, how, self.era, places)) return nullptr;
  access_log_t* l = locked_log_of(object);
  case_builder_t b(*this, access, object, task, code, how);
  bool isolated;
  bool appended;
  std::uint64_t version;
  // The log and all its neighbours, when it lists them all.
  extent_index_t::entry_t near[1 + access_log_t::listed_at_most];
  std::size_t listed = 0;
  try {
    lock_scope held(l->lock, lock_scope::adopt);
    std::uint64_t const before = l->version();
    appended = record(l, access, task, to_address(code), how);
    isolated = l->neighbours == 0;
    if (!isolated && l->listed == l->neighbours) {
      near[listed++] = extent_index_t::entry_t{object, l};
      // Their keys are read again under their own locks.
      for (unsigned i = 0; i < l->listed; ++i) near[listed++] = extent_index_t::entry_t{{}, l->listed_logs[i]};
    }
    // No other live log shares a byte with the object, so its own log is
    // all there is to examine; an empty (or wrapping) object does not even
    // overlap itself.
    if (isolated && object.base < object.base + object.size) b.examine(*l, object, task);
    version = l->version();
    // Under the lock, after the log and check it vouches for: the log's
    // next change (changed(), under this lock too) clears it. Only from the
    // second time on (the access found its site as it was): most objects a
    // task touches once, and a stamp for each would give shadow memory to
    // every page the program's heap spans. (Making a leaf here is a system
    // call under the lock, once per leaf.)
    if (isolated && b.c == nullptr && version == before && shadow_memory_t::fits(object.base, object.size))
      if (shadow_memory_t::word_t* word = shadow_memory.word(object.base))
        l->stamp(*word, self.thread_arena_get().stamps.stamp(object, access, to_address(code), task, how,
                                                             self.era, places));
  } catch (...) {
    b.abandon();
    throw;
  }
  if (appended) prune(task);
  if (access == TSM_WRITE) note_write_size(object.size);
  if (!isolated) {
    if (listed != 0) return examine_logs(object, access, task, code, how, near, near + listed, false);
    return check_extents(object, access, task, code, how);
  }
  if (b.c == nullptr) seen.remember(object, access, to_address(code), task, how, self.era, places, l, version);
  return b.c;
}

tsm_t::case_t* tsm_t::check(access_log_t* log, tsm_access_t access, unsigned short task, void const* code) {
  return check_extents(log->key(), access, task, code, how_now(false));
}

// Every live log that overlaps o, examined one at a time under its own lock,
// its offenses reported in the address order of the logs. Every one counts:
// a wide earlier access that starts further below o than the largest write
// reaches still shares o's bytes, whatever objects lie between. The logs
// are examined as the index gives them, not sorted: a copy over a large
// range meets a log per element, and sorting them all at every copy made a
// recursive sort's copies cost n log n each; only the few logs that
// conflict are put in order afterwards.
tsm_t::case_t* tsm_t::check_extents(object_t const& o, tsm_access_t access, unsigned short task, void const* code,
                                    site_how_t const& how) {
  address_t const end = o.base + o.size;
  extent_index_t::entry_t few[16];
  std::vector<extent_index_t::entry_t> many;
  std::size_t n = 0;
  {
    shard_mask_t const mask = shards_of(o);
    shards_held held(*this, mask);
    for_each_meeting(mask, extent_index_t::low(o), extent_index_t::high(o), [&](extent_index_t::entry_t const& e) {
      object_t const& p = e.key;
      bool const overlaps = p.base < end && (p.base <= o.base ? o.base < p.base + p.size : true);
      if (!overlaps) return;
      if (n < 16) {
        few[n++] = e;
      } else {
        if (many.empty()) many.assign(few, few + 16);
        many.push_back(e);
      }
    });
  }
  extent_index_t::entry_t* first = many.empty() ? few : many.data();
  extent_index_t::entry_t* past = many.empty() ? few + n : many.data() + many.size();
  return examine_logs(o, access, task, code, how, first, past, true);
}

// Examines the logs one at a time under their own locks. With `keyed`, each
// entry's key is the one its log had when the entry was taken; otherwise
// the log's key is read under its lock, and a log that no longer shares a
// byte with o is passed over.
tsm_t::case_t* tsm_t::examine_logs(object_t const& o, tsm_access_t access, unsigned short task, void const* code,
                                   site_how_t const& how, extent_index_t::entry_t* first,
                                   extent_index_t::entry_t* past, bool keyed) {
  address_t const end = o.base + o.size;
  case_builder_t b(*this, access, o, task, code, how);
  std::vector<found_at_t> runs;
  try {
    for (extent_index_t::entry_t* e = first; e != past; ++e) {
      std::size_t const before = b.logged;
      {
        lock_scope held(e->log->lock);
        // Reclaimed since, it held nothing; recycled for another object, it
        // is not one of ours.
        if (e->log->dead) continue;
        if (keyed) {
          if (!(e->log->key() == e->key)) continue;
        } else {
          e->key = e->log->key();
          object_t const& p = e->key;
          if (!(p.base < end && (p.base <= o.base ? o.base < p.base + p.size : true))) continue;
        }
        b.examine(*e->log, e->key, task);
      }
      if (b.logged != before) runs.push_back(found_at_t{e->key, b.logged - before});
    }
  } catch (...) {
    b.abandon();
    throw;
  }
  if (runs.size() > 1) put_in_address_order(b.c, runs);
  return b.c;
}

void tsm_t::put_in_address_order(case_t* c, std::vector<found_at_t> const& runs) {
  using offense_t = std::list<tsm_access_desc_t>::iterator;
  struct run_t {
    object_t key;
    offense_t first;
    std::size_t offenses;
  };
  std::vector<run_t> order;
  try {
    order.reserve(runs.size());
  } catch (std::bad_alloc const&) {
    return;  // found, but not in address order: better than lost
  }
  lock_scope held(cases_lock);
  std::size_t total = 0;
  for (found_at_t const& r : runs) total += r.offenses;
  // The runs are the last offenses of the case, in the order found.
  offense_t at = std::prev(c->offenses.end(), static_cast<std::ptrdiff_t>(total));
  for (found_at_t const& r : runs) {
    order.push_back(run_t{r.key, at, r.offenses});
    std::advance(at, static_cast<std::ptrdiff_t>(r.offenses));
  }
  std::sort(order.begin(), order.end(), [](run_t const& a, run_t const& b) { return a.key < b.key; });
  // Moved to the end one after the other, the runs end up there in order.
  // Each run's end is found as it goes: the next run's first offense, which
  // ended it, may have moved already.
  for (run_t const& r : order)
    c->offenses.splice(c->offenses.end(), c->offenses, r.first,
                       std::next(r.first, static_cast<std::ptrdiff_t>(r.offenses)));
}

tsm_t::case_t* tsm_t::log_offender(tsm_access_desc_t const& offender) {
  lock_scope held(cases_lock);
  case_t*& entry = cases[static_cast<unsigned short>(offender.thread)];
  if (entry == nullptr) entry = new case_t{offender, {}};
  return entry;
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
  for (tsm_access_desc_t const& offense : c->offenses) offended[record.count++] = offense;  // named by check()
  owned.reset();
  if (record.count != 0) vexa.notify_debugger(VEXA_EVENT_DATA_SHARING);
}

}  // namespace vexa
