// OpenMP tasks through the OpenMP tools interface (OMPT) of LLVM's libomp,
// which also runs programs compiled by GCC (it provides GOMP_*).
//
// Tied tasks run nested on their thread's stack, so each thread holds a
// stack of tasks: the one running on top, the ones it interrupted below,
// suspended. The callbacks keep the library's per-thread task stack in step
// with the runtime's:
//   implicit task begin / end           enter / leave
//   parallel begin / end                suspend / resume the encountering task
//   task_schedule(prior, status, next)  complete, cancel, detach: leave prior;
//                                       switch, yield: suspend prior;
//                                       then resume next if it ran before,
//                                       else enter it
//   taskwait with depend                the parent waits: suspended from the
//                                       creation of the runtime's stand-in
//                                       task until its taskwait_complete
//                                       (the bridge's own wait reports the
//                                       same, see __kmpc_omp_wait_deps)
// In the sharing view the initial task is not a task: it runs only the
// sequential part of the program, which never overlaps a parallel region's
// tasks, and counting it would report every value the sequential part hands
// to them. In the race view (task_order.h) it is one, ordered before the
// regions it starts.
//
// libomp signals completion before it releases dependences, so a task has
// left before any task that depends on it starts. An untied task that
// resumes on another thread leaves one thread's stack and joins another's
// (see untied_t); worksharing hands out pieces that are tasks of their own
// (see pieces_t).
//
// Task creation moves arguments into the new task: clang's code writes them
// into the descriptor that __kmpc_omp_task_alloc returns, GCC's copy
// function writes them for GOMP_task, and an undeferred GOMP_task reads the
// parent's argument block directly. Those writes and that block are the
// runtime's business; without excluding them every task would share its
// arguments with its parent. The bridge wraps both entry points for that.
#include <link.h>
#include <omp-tools.h>
#include <pthread.h>
#include <sched.h>
#include <sys/auxv.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bridge.h"
#include "exit_gate.h"
#include "sync_order.h"
#include "task_order.h"

namespace vexa_bridge {
namespace {

// The race view (the default) keeps finished tasks' accesses until what
// orders them, and tells the library about locks and the order of tasks;
// VEXA_VIEW=sharing keeps the sharing view: accesses of tasks alive at the
// same time. Set once, before the first task.
bool races = true;

// libomp keeps one data slot per thread for two things: a worker's
// implicit task's data, copied there from the barrier that closes its
// region until the task's end is reported, and the stand-in of a taskwait
// with depend, which it asserts to be empty when the wait begins. A node
// kept in either made a wait inside a task run during that barrier, or
// inside another wait, abort the program. So a worker's implicit task
// lets go of its data when it leaves at that barrier (ended_worker keeps
// the node for the end), and stand-ins never hold theirs: their nodes are
// kept per thread, innermost last, found by the slot's address.
struct stand_in_t {
  ompt_data_t const* slot;
  task_t* task;
};
constexpr unsigned max_stand_ins = 64;
thread_local stand_in_t stand_ins[max_stand_ins] __attribute__((tls_model("initial-exec")));
thread_local unsigned stand_in_count __attribute__((tls_model("initial-exec")));
thread_local task_t* ended_worker __attribute__((tls_model("initial-exec")));

// Worksharing pieces. The runtime hands the sections of a `sections`
// construct, and the chunks of a loop with a dynamic, guided or runtime
// schedule, one at a time to whichever thread asks first: the program
// orders none of them with another, so each is a task of its own here (in
// the race view), whichever thread ran it. A piece is a child of the
// implicit task that runs it, made when the runtime hands it out and
// finished when its thread asks for the next one; nothing joins it, so
// only the barrier after the construct (with nowait, the next barrier)
// orders it, not the implicit task's own code after the construct. libomp
// 14 reports no dispatch events: the bridge wraps the entry points that
// hand pieces out (GOMP_sections_*, GOMP_loop_*, __kmpc_dispatch_*). The
// runtime's events name the implicit task while a piece runs; task_of()
// answers with the piece.
struct pieces_t {
  task_t* owner;       // the implicit task
  task_t* running;     // its piece that runs now, or null (this reference is ours)
  task_t** finished;   // its pieces finished since its last barrier, referenced
  unsigned count;      // of finished
  bool ordered;        // the loop it dispatches is ordered (see ordered_schedule)
  bool doacross;       // clang: ... or has ordered(n), between __kmpc_doacross_init and _fini
  // A chunk of a loop runs on one thread, its iterations in order; two
  // chunks may run on two. libomp hands a team of one thread the whole
  // loop at once, and a guided loop's chunks vary with the team: the
  // bridge hands each chunk out in pieces of the schedule's chunk size
  // (for guided, its smallest), each a task. Iterations and values modulo
  // 2^64, whatever the loop's type.
  std::uint64_t split_size;  // iterations per piece; 0: as the runtime hands them out
  std::uint64_t split_incr;  // from one iteration to the next
  std::uint64_t split_next;  // the first iteration of the runtime's chunk not handed out yet
  std::uint64_t split_left;  // how many are left
  std::uint64_t split_end;   // the runtime's own bound of its chunk, for its last piece
  bool split_last;           // clang: the runtime's chunk ends the loop
};
// Owners on this thread, innermost last: a region nested in a piece has
// implicit tasks of its own on the same thread.
constexpr unsigned max_piece_owners = 8;
// Pieces of one implicit task that wait for its next barrier. Past that
// many (a loop of many small chunks), the piece that runs goes on with the
// next chunks: each finished piece holds one of the library's 65535
// handles until it is absorbed.
constexpr unsigned max_waiting_pieces = 256;
thread_local pieces_t piece_owners[max_piece_owners] __attribute__((tls_model("initial-exec")));
thread_local unsigned piece_owner_count __attribute__((tls_model("initial-exec")));

// GCC's `parallel for` with a dynamic or guided schedule starts its loop in
// GOMP_parallel_loop_*: the implicit tasks take their first chunk with
// *_next, so the loop's pieces are known by its region. The wrapper tells
// on_parallel_begin (same thread), which files them for the region's
// implicit tasks; guarded by combined_lock, a leaf.
struct combined_loop_t {
  void const* region;
  std::uint64_t size, incr;
};
constexpr unsigned max_combined_loops = 32;  // regions of them at once; past that, chunks are not split
spin_t combined_lock;
combined_loop_t combined_loops[max_combined_loops];
// Written under combined_lock; read without it only to skip the look-up
// when nothing is filed (relaxed: a region files its loop before its
// implicit tasks start, through the runtime's own synchronisation).
std::atomic<unsigned> combined_count{0};
thread_local combined_loop_t starting_loop __attribute__((tls_model("initial-exec")));

void file_combined_loop(void const* region) {
  combined_loop_t const loop = starting_loop;
  starting_loop = {};
  if (loop.size == 0) return;
  spin_scope held(combined_lock);
  unsigned const n = combined_count.load(std::memory_order_relaxed);
  if (n == max_combined_loops) return;
  combined_loops[n] = {region, loop.size, loop.incr};
  combined_count.store(n + 1, std::memory_order_relaxed);
}

void drop_combined_loop(void const* region) {
  spin_scope held(combined_lock);
  unsigned const n = combined_count.load(std::memory_order_relaxed);
  for (unsigned i = 0; i < n; ++i)
    if (combined_loops[i].region == region) {
      combined_loops[i] = combined_loops[n - 1];
      combined_count.store(n - 1, std::memory_order_relaxed);
      return;
    }
}

combined_loop_t combined_loop(void const* region) {
  spin_scope held(combined_lock);
  unsigned const n = combined_count.load(std::memory_order_relaxed);
  for (unsigned i = 0; i < n; ++i)
    if (combined_loops[i].region == region) return combined_loops[i];
  return {};
}

pieces_t* pieces_of(task_t const* owner) {
  for (unsigned i = piece_owner_count; i-- != 0;)
    if (piece_owners[i].owner == owner) return &piece_owners[i];
  return nullptr;
}

// The task that runs for `t` on this thread: its piece, if one runs.
task_t* acting_for(task_t* t) {
  if (piece_owner_count == 0) return t;
  pieces_t const* p = pieces_of(t);
  return p != nullptr && p->running != nullptr ? p->running : t;
}

task_t* task_of(ompt_data_t const* data) {
  if (data == nullptr) return nullptr;
  if (data->ptr != nullptr) return acting_for(static_cast<task_t*>(data->ptr));
  for (unsigned i = stand_in_count; i-- != 0;)
    if (stand_ins[i].slot == data) return stand_ins[i].task;
  return nullptr;
}
region_t* region_of(ompt_data_t const* data) {
  return data == nullptr ? nullptr : static_cast<region_t*>(data->ptr);
}

task_t* current() { return current_task(); }

// Makes `t` (null: none) the task that runs on this thread.
void set_current(task_t* t) {
  if (task_t* before = current()) before->frame = state.task_frame;
  state.task_frame = t == nullptr ? 0 : t->frame;
  state.task = reinterpret_cast<std::uintptr_t>(t);
  state.body_rule = t == nullptr ? body_reported : t->body;
}

// A task that runs now: neither a stand-in nor one that has left.
bool running(task_t const* t) { return t != nullptr && t->entered && !t->done; }

void enter(task_t* t) {
  t->below = current();
  t->entered = true;
  set_current(t);
  _VEXA_enterTaskAs(t->id, t->code);
  if (!races) return;
  place(t);
  started(t);
  for (void const* lock : t->exclusive) _VEXA_acquireLock(lock);
}

// Forgets the accesses to this thread's stack below the frame of the first
// function the task that just ended there entered (or, if none was seen,
// below the caller's frame): those frames are dead, and the next task on
// this thread reuses their memory for objects of its own, which would
// otherwise conflict with the ones they replace.
[[gnu::noinline]] void forget_dead_stack(std::uintptr_t top) {
  if (state.stack_low == 0) {
    pthread_attr_t attributes;
    void* low = nullptr;
    std::size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
      pthread_attr_getstack(&attributes, &low, &size);
      pthread_attr_destroy(&attributes);
    }
    // Unknown: nothing is forgotten, rather than everything below the frame.
    state.stack_low = low == nullptr ? ~std::uintptr_t{0} : reinterpret_cast<std::uintptr_t>(low);
  }
  auto below = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  if (top > below) below = top;
  if (state.stack_low < below)
    _VEXA_forgetMemory(reinterpret_cast<void const*>(state.stack_low), reinterpret_cast<void const*>(below));
}

// This thread's blocks of thread-local data (threadprivate variables), one
// per instrumented module loaded when the thread first asked: every thread
// has its own copy, so what a worksharing piece did there another thread
// would have done in its own. Found once per thread; a module loaded later
// is left out. The runtime's and the C library's blocks hold nothing
// logged, and each forget costs a hold of the detector's structure lock.
struct tls_block_t {
  std::uintptr_t low, high;
};
constexpr unsigned max_tls_blocks = 8;
thread_local tls_block_t tls_blocks[max_tls_blocks] __attribute__((tls_model("initial-exec")));
thread_local int tls_block_count __attribute__((tls_model("initial-exec"))) = -1;

// Whether the object holds code the wrappers compiled: its dynamic string
// table names the instrumentation's entry points. The bridge, which
// defines them, holds no data of the program's.
bool instrumented_module(dl_phdr_info const& info) {
  auto const own = reinterpret_cast<std::uintptr_t>(&instrumented_module);
  ElfW(Dyn) const* dynamic = nullptr;
  for (unsigned p = 0; p < info.dlpi_phnum; ++p) {
    ElfW(Phdr) const& h = info.dlpi_phdr[p];
    std::uintptr_t const low = info.dlpi_addr + h.p_vaddr;
    if (h.p_type == PT_LOAD && own >= low && own - low < h.p_memsz) return false;
    if (h.p_type == PT_DYNAMIC) dynamic = reinterpret_cast<ElfW(Dyn) const*>(low);
  }
  if (dynamic == nullptr) return false;
  std::uintptr_t strings = 0;
  std::size_t size = 0;
  for (ElfW(Dyn) const* d = dynamic; d->d_tag != DT_NULL; ++d) {
    if (d->d_tag == DT_STRTAB) strings = d->d_un.d_ptr;
    if (d->d_tag == DT_STRSZ) size = d->d_un.d_val;
  }
  if (strings == 0) return false;
  if (strings < info.dlpi_addr) strings += info.dlpi_addr;  // the loader left it unrelocated
  static char const name[] = "\0__tsan_init";  // with both NULs: the whole name
  return memmem(reinterpret_cast<void const*>(strings), size, name, sizeof name) != nullptr;
}

int note_tls_block(dl_phdr_info* info, std::size_t, void*) {
  if (info->dlpi_tls_data == nullptr || !instrumented_module(*info)) return 0;  // none, or not made yet
  for (unsigned i = 0; i < info->dlpi_phnum && tls_block_count < int{max_tls_blocks}; ++i)
    if (info->dlpi_phdr[i].p_type == PT_TLS && info->dlpi_phdr[i].p_memsz != 0) {
      auto const low = reinterpret_cast<std::uintptr_t>(info->dlpi_tls_data);
      tls_blocks[tls_block_count++] = {low, low + info->dlpi_phdr[i].p_memsz};
    }
  return 0;
}

void forget_thread_locals() {
  if (tls_block_count < 0) {
    tls_block_count = 0;
    dl_iterate_phdr(note_tls_block, nullptr);
  }
  for (int i = 0; i < tls_block_count; ++i)
    _VEXA_forgetMemory(reinterpret_cast<void const*>(tls_blocks[i].low),
                       reinterpret_cast<void const*>(tls_blocks[i].high));
}

// Untied tasks. clang compiles an untied task into parts: at each task
// scheduling point in it (a task made, taskyield, taskwait) the part
// returns to the runtime, which may run the next part on any thread. The
// runtime reports a part's end as a switch from the task to the one it
// interrupted on its thread, and the next part as a switch to the task.
// The library's tasks live on one thread's stack, so each part is a task of
// the library's of its own, placed at the same node: parts are ordered
// with one another by the node's steps like one task's accesses, and with
// other tasks by its clock. The first part has the task's id, the others
// fresh ones; each finishes where it ends, and when the task completes its
// parts are gathered, each at the step it began at (a part's accesses all
// come before the scheduling point that ends it), into one task of the
// task's id, which is then what joins and dependences absorb. GCC compiles
// an untied task as one function: it runs whole on one thread.
struct part_t {
  std::uint64_t id;    // the library's id of its task
  std::uint64_t step;  // the node's step when it began
};
struct untied_t {
  task_t* task;
  std::vector<part_t> parts;  // finished
  part_t running;             // the part that runs, unless away
  bool away;                  // between two parts
};
// Untied tasks that ended a part; guarded by untied_lock, a leaf. The count
// is read without it to skip the look-up when there are none (relaxed: a
// task's part ends before the runtime hands the task to another thread).
spin_t untied_lock;
std::vector<untied_t>* untied_tasks;  // made on first use, never freed
std::atomic<unsigned> untied_count{0};

// Runs f on t's entry (made when `make`), under the lock; false if none.
template <class F>
bool with_untied(task_t const* t, bool make, F f) {
  if (!make && untied_count.load(std::memory_order_relaxed) == 0) return false;
  spin_scope held(untied_lock);
  if (untied_tasks == nullptr) {
    if (!make) return false;
    untied_tasks = new (std::nothrow) std::vector<untied_t>;
    if (untied_tasks == nullptr) return false;
  }
  for (untied_t& u : *untied_tasks)
    if (u.task == t) {
      f(u);
      return true;
    }
  if (!make) return false;
  untied_tasks->push_back({const_cast<task_t*>(t), {}, {t->id, 0}, false});
  untied_count.store(static_cast<unsigned>(untied_tasks->size()), std::memory_order_relaxed);
  f(untied_tasks->back());
  return true;
}

// Untied tasks were made: a task entered elsewhere may come to this thread.
// Relaxed: it only decides whether to look (see part_reported()).
std::atomic<bool> untied_made{false};

// A part of t ends on this thread: t leaves its stack until the next part.
// Away is marked last: the thread that takes the next part may then write
// t's fields (part_begins()).
void part_ends(task_t* t) {
  if (races)
    for (void const* lock : t->exclusive) _VEXA_releaseLock(lock);
  forget_dead_stack(state.task_frame);
  _VEXA_finishTaskAt(t->code);
  set_current(t->below);
  with_untied(t, true, [](untied_t& u) {
    u.parts.push_back(u.running);
    u.away = true;
  });
}

bool away(task_t const* t) {
  bool result = false;
  with_untied(t, false, [&](untied_t const& u) { result = u.away; });
  return result;
}

// Whether t is on this thread's stack of tasks.
bool on_this_thread(task_t const* t) {
  for (task_t const* x = current(); x != nullptr; x = x->below)
    if (x == t) return true;
  return false;
}

// The runtime queues an untied task again from inside the part that ends,
// and reports the part's end on its thread only afterwards: another thread
// may take the next part first. It waits, briefly, for that report.
bool part_reported(task_t const* t) {
  for (int i = 0; i < 100000; ++i) {
    if (away(t)) return true;
    sched_yield();
  }
  return false;
}

// The next part of t begins on this thread, above the task that runs.
void part_begins(task_t* t) {
  std::uint64_t const id = next_task_id();
  with_untied(t, false, [&](untied_t& u) {
    u.running = {id, t->step};
    u.away = false;
  });
  t->below = current();
  t->frame = 0;  // its frames are on another thread's stack, gone
  set_current(t);
  _VEXA_enterTaskAs(id, t->code);
  if (!races) return;
  place(t);
  for (void const* lock : t->exclusive) _VEXA_acquireLock(lock);
}

// t completes, in its last part: its parts become one task of t's id.
void gather_parts(task_t* t) {
  std::vector<part_t> parts;
  bool found = with_untied(t, false, [&](untied_t& u) {
    parts.swap(u.parts);
    parts.push_back(u.running);
  });
  if (!found) return;
  {
    spin_scope held(untied_lock);
    for (auto it = untied_tasks->begin(); it != untied_tasks->end(); ++it)
      if (it->task == t) {
        untied_tasks->erase(it);
        break;
      }
    untied_count.store(static_cast<unsigned>(untied_tasks->size()), std::memory_order_relaxed);
  }
  _VEXA_finishTaskAt(t->code);  // the last part
  _VEXA_enterTaskAs(t->id, t->code);
  for (part_t const& p : parts) {
    if (races) _VEXA_placeTask(t, p.step);
    _VEXA_absorbTask(p.id);
  }
  if (races) place(t);
}

void settle_pieces(task_t* owner, bool arrived);

// A finished task keeps its accesses in the race view until what orders it
// comes (task_order.h): its parent's taskwait, its taskgroup's end, its
// region's end.
void leave(task_t* t) {
  if (t->region != nullptr && piece_owner_count != 0) settle_pieces(t, false);
  if (untied_count.load(std::memory_order_relaxed) != 0) gather_parts(t);
  t->done = true;
  if (races) {
    for (void const* lock : t->exclusive) _VEXA_releaseLock(lock);
    // Its argument block dies with it; kept, its accesses would pass from
    // task to task along a chain of absorbed tasks.
    if (t->block_end != 0)
      _VEXA_forgetMemory(reinterpret_cast<void const*>(t->block_begin), reinterpret_cast<void const*>(t->block_end));
    forget_dead_stack(state.task_frame);
    ref(t);  // the library's, dropped when it is absorbed
    t->finished = true;
    _VEXA_finishTaskAt(t->code);
    if (t->parent != nullptr) t->parent->finished_children.add(t);
    finished(t, false);
  } else {
    _VEXA_leaveTaskAt(t->code);
  }
  set_current(t->below);
  // A detached task whose end came while a task ran above it (see
  // on_task_schedule) ends now that its thread is back to it.
  if (task_t* below = current(); below != nullptr && below->ended && running(below)) {
    leave(below);
    unref(below);
  }
  // The task that made an undeferred task waited for it right there.
  task_t* const parent = t->parent;
  if (races && t->undeferred && parent != nullptr && parent == t->below && running(parent)) {
    advance(parent);
    join(t, parent);
  }
}

void suspend(task_t* t) { _VEXA_suspendTaskAt(t->code); }

void resume(task_t* t) {
  set_current(t);
  _VEXA_resumeTaskAt(t->code);
}

// A new node, made by `parent` (null: none). The runtime's data slot
// holds the first reference.
task_t* new_task(void const* code, task_t* parent) {
  auto* t = new (std::nothrow) task_t(code, next_task_id());
  if (t == nullptr) std::abort();  // OMPT callbacks cannot fail
  if (parent != nullptr && races) {
    ref(parent);
    t->parent = parent;
    t->home = parent->region != nullptr ? parent->region : parent->home;
    if (t->home != nullptr) t->home->refs.fetch_add(1, std::memory_order_relaxed);
  }
  return t;
}

// Thread identity. A piece that asks which thread runs it may then do what
// only that thread does (count into its own slot of an array, act on
// thread 0 only): in any schedule, the pieces that asked on one thread ran
// there one after the other, and pieces on two threads got two answers. So
// from its question on, a piece is ordered after the pieces that asked
// before it on its thread, through a synchronisation object of the
// thread's own; pieces that never asked stay unordered with every other.
// An implicit task that asked, itself or through one of its pieces, may
// hand the answer to the pieces after that (its number in a private
// variable, or a call the compiler moved out of the loop): they all count
// as asking from their start.
thread_local char identity_token __attribute__((tls_model("initial-exec")));

void ask_identity(task_t* t) {
  if (t->asked_identity) return;
  t->asked_identity = true;
  acquire(&identity_token);
}

// The piece that runs for p's owner ends on this thread.
void end_piece(pieces_t& p) {
  task_t* const c = p.running;
  if (c->asked_identity) release(&identity_token);
  p.running = nullptr;
  c->done = true;
  // It ran in its owner's frames, where the owner keeps its private data
  // (the loop's counter, private and reduction copies): another thread
  // would have used its own. What anyone did there is forgotten, as the
  // dead stack is at the end of a task. So is its thread-local data.
  forget_dead_stack(p.owner->frame);
  forget_thread_locals();
  ref(c);  // the library's, dropped when it is absorbed
  c->finished = true;
  _VEXA_finishTaskAt(c->code);
  finished(c, true);
  p.finished[p.count++] = c;
  set_current(c->below);
}

void begin_piece(pieces_t& p, void const* code) {
  task_t* const owner = p.owner;
  task_t* const c = new_task(code, owner);
  created(owner, c);
  owner->outstanding.fetch_add(1, std::memory_order_relaxed);
  c->group = owner->groups != nullptr ? owner->groups : owner->group;
  advance(owner);  // what the owner does after the construct may run beside the piece
  enter(c);
  p.running = c;
  if (owner->asked_identity) ask_identity(c);
}

// The entry of `t`, the calling thread's task, as an owner or as the piece
// of one; made for an implicit task when `make` says so.
pieces_t* pieces_for(task_t* t, bool make) {
  for (unsigned i = piece_owner_count; i-- != 0;)
    if (piece_owners[i].owner == t || (t != nullptr && piece_owners[i].running == t)) return &piece_owners[i];
  if (!make || !running(t) || t->region == nullptr || piece_owner_count == max_piece_owners) return nullptr;
  auto** finished = static_cast<task_t**>(std::malloc(max_waiting_pieces * sizeof(task_t*)));
  if (finished == nullptr) return nullptr;  // its pieces stay its own accesses
  pieces_t* p = &piece_owners[piece_owner_count++];
  *p = {};
  p->owner = t;
  p->finished = finished;
  if (combined_count.load(std::memory_order_relaxed) != 0) {
    combined_loop_t const loop = combined_loop(t->region);
    p->split_size = loop.size;
    p->split_incr = loop.incr;
  }
  return p;
}

// No more pieces of p's owner may wait for its barrier: the one that runs
// takes what comes next.
bool full(pieces_t const& p) { return p.count + 1 >= max_waiting_pieces; }

// The program asked the runtime for its next piece of a worksharing
// construct, from `code`; `more` says whether it got one.
void next_piece(bool more, void const* code) {
  exit_gate gate;
  if (!gate || !races) return;
  pieces_t* p = pieces_for(current(), more);
  if (p == nullptr || p->ordered || p->doacross) return;
  if (p->running != nullptr) {
    if (more && full(*p)) return;  // the running piece takes this one too
    end_piece(*p);
  }
  if (more && p->count < max_waiting_pieces) begin_piece(*p, code);
}

// `owner` reached a barrier (its construct was cancelled if a piece still
// runs) or its end.
void end_running_piece(task_t const* owner) {
  if (pieces_t* p = pieces_of(owner); p != nullptr && p->running != nullptr) end_piece(*p);
}

// After `owner` arrived at a barrier (arrived) or at its end: its finished
// pieces are absorbed where that is exact; the others wait for the end of
// the region, which holds them too.
void settle_pieces(task_t* owner, bool arrived) {
  pieces_t* p = pieces_of(owner);
  if (p == nullptr) return;
  if (p->running != nullptr) end_piece(*p);
  p->split_left = 0;
  if (arrived) absorb_pieces(p->finished, p->count, owner);
  for (unsigned i = 0; i < p->count; ++i) unref(p->finished[i]);
  p->count = 0;
  if (arrived) return;
  std::free(p->finished);
  for (pieces_t* q = p + 1; q != piece_owners + piece_owner_count; ++q) q[-1] = *q;
  --piece_owner_count;
}

void close_argument_window() { state.private_begin = state.private_end = 0; }

// The block that holds the arguments of the task being created on this
// thread: the runtime's copy, which dies with the task. Set by the copy
// (GCC) or the argument window (clang), taken by the task's creation.
struct block_t {
  std::uintptr_t begin, end;
};
thread_local block_t created_block __attribute__((tls_model("initial-exec")));

// Set while the program creates a task with if(0): the task it creates is
// undeferred by the program's own word (GOMP_task, __kmpc_omp_task_begin_if0).
thread_local bool program_undeferred __attribute__((tls_model("initial-exec")));

// Set while the bridge submits a task of its own (see __kmpc_omp_wait_deps):
// the runtime reports it like the program's, and the bridge leaves it out.
thread_local bool making_own_task __attribute__((tls_model("initial-exec")));

// The runtime's answer to which task runs on this thread (OMPT's
// ompt_get_task_info). Relaxed: stored once when the tool starts, before
// the runtime starts any thread or task that could read it.
std::atomic<ompt_get_task_info_t> get_task_info{nullptr};

// mutexinoutset runs as inout. libomp keeps the lock of a mutexinoutset
// dependence in the table of the task that made the dependent task, and
// frees that table, lock and all, when that task ends, though the
// dependent task may still be waiting to run: it then tries a lock in
// freed memory, never gets it once the memory holds other data (the
// program hangs, stuck in a taskgroup, taskwait or barrier), and its
// release writes into whatever holds it now (plain libomp drops the task
// when the program's own allocations reuse the memory first; the
// library's allocations make that likely). So the bridge submits each
// deferred task's mutexinoutset dependences as inout, which runs
// the tasks of a group one after the other in the order they were made
// (one of the schedules the program allows), and tells the race view what
// the program wrote: the positions, in the dependences the runtime reports
// for the task being submitted on this thread, that were mutexinoutset.
// Past 64 dependences of one task, the others keep the runtime's lock.
constexpr int max_exclusive_dependences = 64;
thread_local std::uint64_t exclusive_dependences __attribute__((tls_model("initial-exec")));

struct exclusive_scope {
  explicit exclusive_scope(std::uint64_t mask) : outer(exclusive_dependences) { exclusive_dependences = mask; }
  ~exclusive_scope() { exclusive_dependences = outer; }
  std::uint64_t outer;
};

void on_parallel_begin(ompt_data_t* encountering, ompt_frame_t const*, ompt_data_t* parallel, unsigned, int,
                       void const* code) {
  exit_gate gate;
  if (!gate) return;
  auto* r = new (std::nothrow) region_t;
  if (r == nullptr) std::abort();
  r->code = code;  // the implicit tasks' code address
  parallel->ptr = r;
  if (starting_loop.size != 0) file_combined_loop(r);
  task_t* t = task_of(encountering);
  // In a child of fork() the runtime starts afresh, with an initial task
  // it never reports: the thread's own initial task goes on as that one.
  if (t == nullptr && encountering != nullptr && encountering->ptr == nullptr) {
    task_t* const own = current();
    if (own != nullptr && own->parent == nullptr && own->region == nullptr && own->home == nullptr) {
      encountering->ptr = own;
      t = own;
    }
  }
  if (!running(t)) return;
  if (races) {
    ref(t);
    r->encountering = t;
    // Written before the runtime starts the region's threads, which read it.
    r->start.merge(t->clock, t->id, t->step);
    advance(t);
  }
  suspend(t);
}

void on_parallel_end(ompt_data_t* parallel, ompt_data_t* encountering, int, void const*) {
  exit_gate gate;
  if (!gate) return;
  region_t* r = region_of(parallel);
  parallel->ptr = nullptr;
  if (combined_count.load(std::memory_order_relaxed) != 0 && r != nullptr) drop_combined_loop(r);
  task_t* t = task_of(encountering);
  if (running(t)) {
    resume(t);
    if (races) advance(t);
  } else {
    t = nullptr;
  }
  if (races && r != nullptr) {
    // Everything the region did is ordered before what its encountering
    // task does next; a region that no task of ours started (the
    // runtime's own helpers) leaves nothing behind.
    end_region(r, t);
  }
  if (r != nullptr) {
    if (r->encountering != nullptr) unref(r->encountering);
    r->encountering = nullptr;
    unref(r);
  }
}

// The program's initial task (race view): the sequential part is a task,
// so that tasks it makes outside any region are ordered with it.
void enter_initial(ompt_data_t* task) {
  task_t* t = new_task(reinterpret_cast<void const*>(getauxval(AT_ENTRY)), nullptr);
  task->ptr = t;
  enter(t);
}

void on_implicit_task(ompt_scope_endpoint_t endpoint, ompt_data_t* parallel, ompt_data_t* task, unsigned,
                      unsigned index, int flags) {
  exit_gate gate;
  if (!gate) return;
  region_t* r = region_of(parallel);
  if (endpoint == ompt_scope_begin) {
    if (flags & ompt_task_initial) {
      // The program's own initial task has no region; a team of a league
      // has the league's.
      if (r == nullptr) {
        if (!races) return;
        task_t* const encountering = current();
        if (encountering == nullptr) {
          enter_initial(task);
          return;
        }
        // The team of a league that libomp starts without a region of its
        // own (a device construct run on the host): the encountering task
        // waits for it, as for an undeferred task.
        task_t* t = new_task(encountering->code, encountering);
        created(encountering, t);
        t->undeferred = true;
        encountering->outstanding.fetch_add(1, std::memory_order_relaxed);
        advance(encountering);
        task->ptr = t;
        enter(t);
        return;
      }
      if (!races) return;
    }
    // Born when the region began: the encountering task's step is not this
    // thread's to read.
    task_t* t = new_task(r == nullptr ? nullptr : r->code, r == nullptr ? nullptr : r->encountering);
    t->worker = index != 0;  // of a region, or a team of a league other than the first
    t->body = t->worker ? body_hidden : body_entry_only;
    if (races && r != nullptr) {
      // Its own region, not the one its encountering task runs in.
      t->region = r;
      t->clock.merge(r->start);
      r->refs.fetch_add(1, std::memory_order_relaxed);
      unref(t->home);
      t->home = r;
      if (t->parent != nullptr) t->parent->outstanding.fetch_add(1, std::memory_order_relaxed);
    }
    task->ptr = t;
    enter(t);
  } else {
    task_t* t = static_cast<task_t*>(task->ptr);
    if (t != nullptr) {
      task->ptr = nullptr;
    } else {  // a worker's, reported with the thread's slot
      t = ended_worker;
      ended_worker = nullptr;
    }
    if (t == nullptr) return;
    if (running(t)) leave(t);
    unref(t);
  }
}

bool barrier(ompt_sync_region_t kind) {
  return kind == ompt_sync_region_barrier || kind == ompt_sync_region_barrier_explicit ||
         kind == ompt_sync_region_barrier_implicit || kind == ompt_sync_region_barrier_implicit_workshare ||
         kind == ompt_sync_region_barrier_implicit_parallel || kind == ompt_sync_region_barrier_teams ||
         kind == ompt_sync_region_barrier_implementation;  // what libomp 14 reports for an explicit one
}

// libomp reports the end of a worker's implicit task only when the worker
// wakes for the next parallel region, long after the region has ended; the
// task would stay alive meanwhile and share everything it touched with the
// next region's tasks. It ends instead when the worker reaches the barrier
// that closes the region (the primary thread's end is reported on time).
// That barrier reports the region's own code address, or none on workers;
// the barriers of worksharing constructs report their own call.
//
// In the race view a barrier also starts a new epoch of the implicit task
// that passes it, and the ends of taskwaits and taskgroups join the tasks
// they waited for.
void on_sync_region(ompt_sync_region_t kind, ompt_scope_endpoint_t endpoint, ompt_data_t* parallel,
                    ompt_data_t* task, void const* code) {
  exit_gate gate;
  if (!gate) return;
  // A piece still running at a barrier had its construct cancelled.
  if (endpoint == ompt_scope_begin && barrier(kind) && task != nullptr && piece_owner_count != 0)
    end_running_piece(static_cast<task_t*>(task->ptr));
  task_t* t = task_of(task);
  if (endpoint == ompt_scope_begin) {
    if (races && kind == ompt_sync_region_taskgroup && running(t)) {
      auto* g = new (std::nothrow) group_t;
      if (g == nullptr) std::abort();
      g->outer = t->groups;
      t->groups = g;
      return;
    }
    if (races && barrier(kind) && running(t) && t->region != nullptr) {
      arrive(t);
      if (piece_owner_count != 0) settle_pieces(t, true);
    }
    if (parallel == nullptr) return;
    if (kind != ompt_sync_region_barrier_implicit && kind != ompt_sync_region_barrier_implicit_parallel) return;
    region_t const* r = region_of(parallel);
    if (code != nullptr && (r == nullptr || code != r->code)) return;
    if (running(t) && t->worker) {
      leave(t);
      // The runtime copies the data into the thread's slot next (see
      // stand_in_t); the end comes with that slot.
      if (task->ptr == t && ended_worker == nullptr) {
        task->ptr = nullptr;
        ended_worker = t;
      }
    }
    return;
  }
  if (!races || !running(t)) return;
  if (barrier(kind)) {
    if (t->region != nullptr) {
      absorb_epoch(t);
      depart(t);
    }
  } else if (kind == ompt_sync_region_taskwait) {
    advance(t);
    join_children(t);
    clear_dependences(t);  // its children are done
  } else if (kind == ompt_sync_region_taskgroup && t->groups != nullptr) {
    group_t* g = t->groups;
    t->groups = g->outer;
    advance(t);
    join_group(g->members.take(), t);
    delete g;
  }
}

void on_task_create(ompt_data_t* encountering, ompt_frame_t const*, ompt_data_t* created, int flags, int,
                    void const* code) {
  exit_gate gate;
  if (!gate || making_own_task) return;  // its node and argument block stay unset
  block_t block = created_block;
  if (state.private_end != 0) block = {state.private_begin, state.private_end};
  created_block = {0, 0};
  close_argument_window();
  if (flags & ompt_task_initial) return;
  if ((flags & ompt_task_untied) && !untied_made.load(std::memory_order_relaxed))
    untied_made.store(true, std::memory_order_relaxed);
  task_t* parent = task_of(encountering);
  if (!running(parent)) parent = nullptr;
  task_t* t = new_task(code, parent);
  t->block_begin = block.begin;
  t->block_end = block.end;
  if (flags & ompt_task_taskwait) {
    if (stand_in_count == max_stand_ins) {  // waits this deep: this one goes unseen
      unref(t);
      return;
    }
    stand_ins[stand_in_count++] = {created, t};
    t->waiting = true;
    if (parent != nullptr) {
      suspend(parent);
      t->waiter = parent;
    }
    return;
  }
  created->ptr = t;
  if (races && parent != nullptr) {
    // Not the runtime's undeferred flag: a team of one thread runs every
    // task at once, though the program lets it run later.
    t->undeferred = program_undeferred || parent->final;
    t->final = (flags & ompt_task_final) != 0;
    vexa_bridge::created(parent, t);
    parent->outstanding.fetch_add(1, std::memory_order_relaxed);
    t->group = parent->groups != nullptr ? parent->groups : parent->group;
    if (t->group != nullptr) t->group->members.add(t);
    advance(parent);  // what the parent does from now on may run beside the task
  }
}

void on_dependences(ompt_data_t* task, ompt_dependence_t const* deps, int n) {
  exit_gate gate;
  if (!gate) return;
  // The task's own: a team of one thread runs it inside its submission,
  // where the tasks it makes have dependences of their own.
  std::uint64_t const exclusive = exclusive_dependences;
  exclusive_dependences = 0;
  task_t* t = task_of(task);
  if (t == nullptr || t->parent == nullptr || n <= 0) return;
  std::vector<void const*> addresses;
  std::vector<int> kinds;
  for (int i = 0; i < n; ++i) {
    ompt_dependence_type_t kind = deps[i].dependence_type;
    if (kind == ompt_dependence_type_source || kind == ompt_dependence_type_sink) continue;
    if (i < max_exclusive_dependences && (exclusive >> i & 1) != 0) kind = ompt_dependence_type_mutexinoutset;
    addresses.push_back(deps[i].variable.ptr);
    kinds.push_back(kind);
  }
  add_dependences(t->parent, t, addresses.data(), kinds.data(), static_cast<int>(addresses.size()));
}

void on_task_schedule(ompt_data_t* prior_data, ompt_task_status_t status, ompt_data_t* next_data) {
  exit_gate gate;
  if (!gate) return;
  task_t* prior = task_of(prior_data);
  task_t* next = task_of(next_data);
  if (prior != nullptr && prior->waiting) {
    // The stand-in never runs; only its completion means anything.
    if (status == ompt_taskwait_complete) {
      if (task_t* waiter = prior->waiter) {
        resume(waiter);  // the suspension at its creation
        if (prior->switched && next != waiter) resume(waiter);
        if (races) {
          advance(waiter);
          for (task_t* p : prior->predecessors) join(p, waiter);
        }
      }
      if (stand_in_count != 0 && stand_ins[stand_in_count - 1].task == prior) --stand_in_count;
      unref(prior);
    }
    prior = nullptr;
  }
  if (prior != nullptr) {
    switch (status) {
      case ompt_task_complete:
      case ompt_task_cancel:
        prior_data->ptr = nullptr;
        if (running(prior)) leave(prior);
        unref(prior);
        break;
      case ompt_task_detach:  // its body ended; it completes when fulfilled
        if (running(prior)) leave(prior);
        break;
      case ompt_task_switch:
      case ompt_task_yield:
        // Back to the task it interrupted, unfinished: a part of an untied
        // task ended.
        if (running(prior) && next != nullptr && next == prior->below && prior == current()) part_ends(prior);
        else if (running(prior)) suspend(prior);
        if (next != nullptr && next->waiting) next->switched = true;
        break;
      case ompt_task_early_fulfill:
        // On the thread that fulfils the event, before the task's body
        // ended: the task has not started, runs on another thread, or
        // fulfils its own event. Its body's end comes later, as a
        // completion, on the thread that runs it.
        if (races) {
          task_t* fulfiller = current();
          fulfil(prior, running(fulfiller) && fulfiller != prior ? fulfiller : nullptr);
        }
        break;
      case ompt_task_late_fulfill:
        // On the thread that fulfils the event, for a task whose body
        // ended. libomp may report no end of the body of a task fulfilled
        // later on the same thread, above which the fulfiller then runs: it
        // ends when its thread comes back down to it (leave()).
        prior_data->ptr = nullptr;
        if (running(prior) && prior == current()) {
          leave(prior);
        } else {
          if (races) {
            task_t* fulfiller = current();
            fulfil(prior, running(fulfiller) ? fulfiller : nullptr);
          }
          if (running(prior)) {
            prior->ended = true;
            break;  // the runtime's reference goes when it leaves
          }
        }
        unref(prior);
        break;
      default:
        break;
    }
  }
  if (next == nullptr || next->waiting) return;
  if (next->done) set_current(next->below);
  else if (next->entered && away(next)) part_begins(next);
  else if (next->entered && untied_made.load(std::memory_order_relaxed) && !on_this_thread(next) &&
           part_reported(next))
    part_begins(next);
  else if (next->entered) resume(next);
  else enter(next);
}

// Locks, critical sections, ordered and the runtime's atomic lock: the
// accesses made under one of them never race with each other, and a lock
// held across a point that orders the next owner's request hands its
// holder's order over (lock_taken()).
void const* lock_name(ompt_mutex_t kind, ompt_wait_id_t wait_id) {
  return reinterpret_cast<void const*>(static_cast<std::uintptr_t>(wait_id * 16 + kind));
}

void on_mutex_acquired(ompt_mutex_t kind, ompt_wait_id_t wait_id, void const*) {
  lock_taken(lock_name(kind, wait_id));
  _VEXA_acquireLock(lock_name(kind, wait_id));
}

void on_mutex_released(ompt_mutex_t kind, ompt_wait_id_t wait_id, void const*) {
  _VEXA_releaseLock(lock_name(kind, wait_id));
  lock_let_go(lock_name(kind, wait_id));
}

void on_lock_destroy(ompt_mutex_t kind, ompt_wait_id_t wait_id, void const*) {
  lock_destroyed(lock_name(kind, wait_id));
}

int initialize(ompt_function_lookup_t lookup, int, ompt_data_t*) {
  auto set = reinterpret_cast<ompt_set_callback_t>(lookup("ompt_set_callback"));
  if (set == nullptr) return 0;
  get_task_info.store(reinterpret_cast<ompt_get_task_info_t>(lookup("ompt_get_task_info")), std::memory_order_relaxed);
  // The look-up function is the runtime's own code.
  code_range_t const runtime = code_range_of(reinterpret_cast<void const*>(lookup));
  runtime_code_begin.store(runtime.begin, std::memory_order_relaxed);
  runtime_code_end.store(runtime.end, std::memory_order_relaxed);
  set(ompt_callback_parallel_begin, reinterpret_cast<ompt_callback_t>(on_parallel_begin));
  set(ompt_callback_parallel_end, reinterpret_cast<ompt_callback_t>(on_parallel_end));
  set(ompt_callback_implicit_task, reinterpret_cast<ompt_callback_t>(on_implicit_task));
  set(ompt_callback_task_create, reinterpret_cast<ompt_callback_t>(on_task_create));
  set(ompt_callback_task_schedule, reinterpret_cast<ompt_callback_t>(on_task_schedule));
  set(ompt_callback_sync_region, reinterpret_cast<ompt_callback_t>(on_sync_region));
  char const* view = std::getenv("VEXA_VIEW");
  races = view == nullptr || std::strcmp(view, "sharing") != 0;
  race_view.store(races, std::memory_order_relaxed);
  if (races) {
    _VEXA_orderTasksBy(ordered);
    set(ompt_callback_dependences, reinterpret_cast<ompt_callback_t>(on_dependences));
    set(ompt_callback_mutex_acquired, reinterpret_cast<ompt_callback_t>(on_mutex_acquired));
    set(ompt_callback_mutex_released, reinterpret_cast<ompt_callback_t>(on_mutex_released));
    set(ompt_callback_lock_destroy, reinterpret_cast<ompt_callback_t>(on_lock_destroy));
  }
  return 1;  // keep the tool active
}

void finalize(ompt_data_t*) {}

using task_alloc_t = kmp_task_prefix_t* (*)(void*, int, int, std::size_t, std::size_t, void*);
std::atomic<task_alloc_t> real_task_alloc{nullptr};

using begin_if0_t = void (*)(void*, int, void*);
std::atomic<begin_if0_t> real_begin_if0{nullptr};

using copy_function_t = void (*)(void*, void*);
using gomp_task_t = void (*)(void (*)(void*), void*, copy_function_t, long, long, bool, unsigned, void**, int,
                             void*);
std::atomic<gomp_task_t> real_gomp_task{nullptr};

// The copy function of the GOMP_task call in progress on this thread; the
// runtime calls it before GOMP_task returns.
struct pending_copy_t {
  copy_function_t function;  // null: a plain copy
  long size;
};
thread_local pending_copy_t pending_copy __attribute__((tls_model("initial-exec")));

void copy_arguments(void* destination, void* source) {
  pending_copy_t const copy = pending_copy;
  auto const begin = reinterpret_cast<std::uintptr_t>(destination);
  state.private_begin = begin;
  state.private_end = begin + static_cast<std::uintptr_t>(copy.size);
  if (copy.function != nullptr) copy.function(destination, source);
  else std::memcpy(destination, source, static_cast<std::size_t>(copy.size));
  created_block = {state.private_begin, state.private_end};
  close_argument_window();
}

}  // namespace
}  // namespace vexa_bridge

using namespace vexa_bridge;

BRIDGE_EXPORT ompt_start_tool_result_t* ompt_start_tool(unsigned, char const*) {
  static ompt_start_tool_result_t result = {initialize, finalize, {0}};
  return &result;
}

// clang: the descriptor is allocated, then the program's code stores the
// task's arguments in it, then the task is submitted (task_create).
BRIDGE_EXPORT void* __kmpc_omp_task_alloc(void* location, int thread, int flags, std::size_t task_size,
                                          std::size_t shareds_size, void* entry) {
  task_alloc_t const allocate = next_definition(real_task_alloc, "__kmpc_omp_task_alloc");
  kmp_task_prefix_t* task = allocate(location, thread, flags, task_size, shareds_size, entry);
  open_argument_window(task, task_size, shareds_size);
  return task;
}

// GCC: the arguments are a block in the parent's frame, copied into the
// task by the runtime or by the copy function GCC generated.
BRIDGE_EXPORT void GOMP_task(void (*function)(void*), void* data, copy_function_t copy, long size, long align,
                             bool if_clause, unsigned flags, void** depend, int priority, void* detach) {
  gomp_task_t const submit = next_definition(real_gomp_task, "GOMP_task");
  struct undeferred_scope {
    explicit undeferred_scope(bool on) : outer(program_undeferred) { program_undeferred = on; }
    ~undeferred_scope() { program_undeferred = outer; }
    bool outer;
  } const undeferred(!if_clause);
  // GCC's dependences (flag 8), in the form that has mutexinoutset:
  // [0, count, out and inout, mutexinoutset, in, addresses in that order].
  std::uint64_t exclusive = 0;
  // An undeferred task holds no lock: it only waits for what came before.
  if (if_clause && (flags & 8) != 0 && depend != nullptr && depend[0] == nullptr && depend[3] != nullptr) {
    auto const count = reinterpret_cast<std::uintptr_t>(depend[1]);
    auto const out = reinterpret_cast<std::uintptr_t>(depend[2]);
    auto const mutexinoutset = reinterpret_cast<std::uintptr_t>(depend[3]);
    auto** const copy = static_cast<void**>(__builtin_alloca((5 + count) * sizeof(void*)));
    std::memcpy(copy, depend, (5 + count) * sizeof(void*));
    copy[2] = reinterpret_cast<void*>(out + mutexinoutset);
    copy[3] = nullptr;
    for (std::uintptr_t i = out; i < out + mutexinoutset && i < max_exclusive_dependences; ++i)
      exclusive |= std::uint64_t{1} << i;
    depend = copy;
  }
  exclusive_scope const exclusive_kinds(exclusive);
  if (copy != nullptr || (if_clause && size > 0)) {
    // Through copy_arguments even for a plain copy: it learns the block.
    pending_copy_t const outer = pending_copy;
    pending_copy = {copy, size};
    submit(function, data, copy_arguments, size, align, if_clause, flags, depend, priority, detach);
    pending_copy = outer;
    return;
  }
  if (!if_clause && size > 0) {
    // Run undeferred on a copy of the block, as a deferred task would.
    std::size_t const room = static_cast<std::size_t>(size) + static_cast<std::size_t>(align > 0 ? align : 1);
    auto* raw = static_cast<char*>(__builtin_alloca(room));
    std::uintptr_t const a = align > 1 ? static_cast<std::uintptr_t>(align) : 1;
    char* block = reinterpret_cast<char*>((reinterpret_cast<std::uintptr_t>(raw) + a - 1) / a * a);
    std::memcpy(block, data, static_cast<std::size_t>(size));
    submit(function, block, nullptr, size, align, if_clause, flags, depend, priority, detach);
    return;
  }
  submit(function, data, copy, size, align, if_clause, flags, depend, priority, detach);
}

// clang: a task's dependences, each {address, length, flags}; flags 4 is
// mutexinoutset, 3 inout (see exclusive_dependences).
struct kmp_depend_t {
  std::intptr_t address;
  std::size_t length;
  unsigned char flags;
};
using task_with_deps_t = int (*)(void*, int, void*, int, kmp_depend_t*, int, kmp_depend_t*);
std::atomic<task_with_deps_t> real_task_with_deps{nullptr};

BRIDGE_EXPORT int __kmpc_omp_task_with_deps(void* location, int thread, void* task, int count, kmp_depend_t* list,
                                            int noalias_count, kmp_depend_t* noalias_list) {
  task_with_deps_t const submit = next_definition(real_task_with_deps, "__kmpc_omp_task_with_deps");
  std::uint64_t exclusive = 0;
  for (int i = 0; i < count && i < max_exclusive_dependences; ++i)
    if (list[i].flags == 4) exclusive |= std::uint64_t{1} << i;
  if (exclusive == 0) return submit(location, thread, task, count, list, noalias_count, noalias_list);
  auto* const copy = static_cast<kmp_depend_t*>(__builtin_alloca(static_cast<std::size_t>(count) * sizeof(kmp_depend_t)));
  std::memcpy(copy, list, static_cast<std::size_t>(count) * sizeof(kmp_depend_t));
  for (int i = 0; i < count && i < max_exclusive_dependences; ++i)
    if ((exclusive >> i & 1) != 0) copy[i].flags = 3;
  exclusive_scope const exclusive_kinds(exclusive);
  return submit(location, thread, task, count, copy, noalias_count, noalias_list);
}

// A wait for dependences: a taskwait with depend, or a task with if(0) and
// depend before it runs (GOMP_taskwait_depend and GOMP_task reach it
// through the runtime's own table of imported functions, clang calls it
// directly). libomp 14 waits on a node in this function's stack frame: the
// thread that completes the last task waited for lets the waiter go when
// it counts the node's predecessors down to zero, and then still reads the
// node's task and drops a reference to it. By then the waiter may have
// returned and reused the frame: the runtime stops on its assertion on the
// reference count, frees stack memory, runs a task at a stale address or
// decrements a word of a live frame (a saved register: a segfault later).
// So the bridge waits instead for an empty task of its own with the same
// dependences, which the runtime keeps on the heap; the waiter runs tasks
// meanwhile, as the runtime's wait does. The task leaves the dependences
// as they were for later tasks: what it depends on, it completes after. To
// itself the bridge reports the runtime's events of the wait: the stand-in
// that names the waiter, its dependences, its completion.
//
// The task signals from its body, so a task that cancellation discards
// would never signal: with cancellation on, the runtime's own wait runs.
namespace vexa_bridge {
namespace {

using wait_deps_t = void (*)(void*, int, int, kmp_depend_t*, int, kmp_depend_t*);
std::atomic<wait_deps_t> real_wait_deps{nullptr};
using yield_t = int (*)(void*, int, int);
std::atomic<yield_t> real_yield{nullptr};
using get_cancellation_t = int (*)();
std::atomic<get_cancellation_t> real_get_cancellation{nullptr};

// libomp's task descriptor (kmp_task_t): shareds, routine, part_id, data1,
// data2. Only its size matters: the runtime writes these fields and places
// the block of shared-variable pointers after them.
struct kmp_task_descriptor_t {
  void* shareds;
  void* routine;
  std::int32_t part_id;
  void* data1;
  void* data2;
};

int signal_waiter(int, void* task) {
  auto* const done = *static_cast<std::atomic<bool>**>(static_cast<kmp_task_prefix_t*>(task)->shareds);
  // Pairs with the waiter's acquire load; its frame may be gone the moment
  // this store lands, so it is the body's last touch of it.
  done->store(true, std::memory_order_release);
  return 0;
}

void report_dependences(ompt_data_t* stand_in, int count, kmp_depend_t const* list, int noalias_count,
                        kmp_depend_t const* noalias_list) {
  std::vector<ompt_dependence_t> deps;
  auto add = [&](kmp_depend_t const& d) {
    ompt_dependence_type_t kind = ompt_dependence_type_in;  // flags 1
    if ((d.flags & 3) == 3) kind = ompt_dependence_type_inout;
    else if (d.flags & 2) kind = ompt_dependence_type_out;
    else if (d.flags & 4) kind = ompt_dependence_type_mutexinoutset;
    else if (d.flags & 8) kind = ompt_dependence_type_inoutset;
    ompt_dependence_t o;
    o.variable.ptr = reinterpret_cast<void*>(d.address);
    o.dependence_type = kind;
    deps.push_back(o);
  };
  for (int i = 0; i < count; ++i) add(list[i]);
  for (int i = 0; i < noalias_count; ++i) add(noalias_list[i]);
  on_dependences(stand_in, deps.data(), static_cast<int>(deps.size()));
}

}  // namespace
}  // namespace vexa_bridge

BRIDGE_EXPORT void __kmpc_omp_wait_deps(void* location, int thread, int count, kmp_depend_t* list, int noalias_count,
                                       kmp_depend_t* noalias_list) {
  wait_deps_t const wait = next_definition(real_wait_deps, "__kmpc_omp_wait_deps");
  if ((count <= 0 && noalias_count <= 0) ||
      next_definition(real_get_cancellation, "omp_get_cancellation")() != 0) {
    wait(location, thread, count, list, noalias_count, noalias_list);
    return;
  }
  task_alloc_t const allocate = next_definition(real_task_alloc, "__kmpc_omp_task_alloc");
  yield_t const yield = next_definition(real_yield, "__kmpc_omp_taskyield");
  // The runtime's stand-in data slot is one per thread; the bridge's is
  // this frame's, found by its address like the runtime's.
  ompt_data_t stand_in = ompt_data_none;
  bool const reported = get_task_info.load(std::memory_order_relaxed) != nullptr;
  if (reported) {
    int flags = 0, thread_num = 0;
    ompt_data_t* encountering = nullptr;
    ompt_frame_t* frame = nullptr;
    ompt_data_t* parallel = nullptr;
    get_task_info.load(std::memory_order_relaxed)(0, &flags, &encountering, &frame, &parallel, &thread_num);
    on_task_create(encountering, frame, &stand_in, ompt_task_taskwait | ompt_task_undeferred | ompt_task_mergeable, 1,
                   BRIDGE_RETURN_ADDRESS());
    if (races) report_dependences(&stand_in, count, list, noalias_count, noalias_list);
  }
  std::atomic<bool> done{false};
  making_own_task = true;
  kmp_task_prefix_t* const own = allocate(location, thread, 1 /* tied */, sizeof(kmp_task_descriptor_t),
                                          sizeof(std::atomic<bool>*), reinterpret_cast<void*>(signal_waiter));
  *static_cast<std::atomic<bool>**>(own->shareds) = &done;
  // Through the bridge's own entry: mutexinoutset goes in as inout.
  __kmpc_omp_task_with_deps(location, thread, own, count, list, noalias_count, noalias_list);
  making_own_task = false;
  // Pairs with the release store in signal_waiter().
  while (!done.load(std::memory_order_acquire)) {
    yield(location, thread, 0);
    if (!done.load(std::memory_order_acquire)) sched_yield();
  }
  if (reported) on_task_schedule(&stand_in, ompt_taskwait_complete, nullptr);
}

// clang: a task with if(0) runs between these two calls, in the encountering
// task, which waits for it there.
BRIDGE_EXPORT void __kmpc_omp_task_begin_if0(void* location, int thread, void* task) {
  begin_if0_t const begin = next_definition(real_begin_if0, "__kmpc_omp_task_begin_if0");
  bool const outer = program_undeferred;
  program_undeferred = true;
  begin(location, thread, task);
  program_undeferred = outer;
}

// Worksharing pieces (see pieces_t). Each entry point forwards to libomp's
// and reports, from the program's call, whether a piece was handed out.
namespace vexa_bridge {
namespace {

int handed_out(int more, void const* code) {
  next_piece(more != 0, code);
  return more;
}

bool called_by_runtime(void const* caller) {
  auto const a = reinterpret_cast<std::uintptr_t>(caller);
  return runtime_code_begin.load(std::memory_order_relaxed) <= a && a < runtime_code_end.load(std::memory_order_relaxed);
}

pieces_t* loop_pieces(bool make) {
  if (!races) return nullptr;
  exit_gate gate;  // a piece's owner may be torn down with the library
  return gate ? pieces_for(current(), make) : nullptr;
}

// A loop starts on this thread: pieces of `size` iterations (0: the
// runtime's chunks), `incr` apart.
void loop_starts(std::uint64_t size, std::uint64_t incr, bool ordered = false) {
  if (pieces_t* p = loop_pieces(true)) {
    p->ordered = ordered;
    p->split_size = size;
    p->split_incr = incr;
    p->split_left = 0;
  }
}

// The run-time schedule's chunk size, or 0 for a static or automatic one.
std::uint64_t runtime_chunk() {
  using get_schedule_t = void (*)(int*, int*);
  static std::atomic<get_schedule_t> real{nullptr};
  int kind = 0, chunk = 0;
  next_definition(real, "omp_get_schedule")(&kind, &chunk);
  kind &= ~static_cast<int>(0x80000000u);  // the monotonic modifier
  if (kind != 2 && kind != 3) return 0;     // omp_sched_dynamic, omp_sched_guided
  return chunk > 0 ? static_cast<std::uint64_t>(chunk) : 1;
}

// The runtime handed out `count` iterations from `first` (`end`: its own
// bound): how many of them the first piece takes; the rest are kept.
std::uint64_t split(std::uint64_t first, std::uint64_t count, std::uint64_t end, bool last) {
  pieces_t* p = loop_pieces(true);
  if (p == nullptr || p->ordered || p->doacross || p->split_size == 0 || count <= p->split_size || full(*p))
    return count;
  p->split_next = first + p->split_size * p->split_incr;
  p->split_left = count - p->split_size;
  p->split_end = end;
  p->split_last = last;
  return p->split_size;
}

// The next piece of the runtime's last chunk, if any is left.
struct piece_t {
  std::uint64_t first, count;
  bool final;         // the chunk's last piece: it ends at the runtime's bound
  std::uint64_t end;  //   ... which is this
  bool last;          //   ... and it ends the loop (clang)
};
bool take_piece(piece_t& piece) {
  pieces_t* p = loop_pieces(false);
  if (p == nullptr || p->split_left == 0) return false;
  piece.first = p->split_next;
  piece.count = full(*p) ? p->split_left : std::min(p->split_size, p->split_left);
  p->split_next += piece.count * p->split_incr;
  p->split_left -= piece.count;
  piece.final = p->split_left == 0;
  piece.end = p->split_end;
  piece.last = p->split_last;
  return true;
}

std::uint64_t stride() {
  pieces_t const* p = loop_pieces(true);
  return p == nullptr ? 1 : p->split_incr;
}

// How many iterations from `first`, `incr` apart, come before `end`.
std::uint64_t iterations(std::uint64_t first, std::uint64_t end, std::uint64_t incr) {
  auto const step = static_cast<std::int64_t>(incr);
  if (step > 0) return (end - first + incr - 1) / incr;
  if (step < 0) return (first - end - incr - 1) / (0 - incr);
  return 1;
}

// GCC: the runtime's answer, the chunk [*istart, *iend), split.
template <class T>
int gomp_chunk(int more, T* istart, T* iend, void const* code) {
  if (more != 0) {
    auto const first = static_cast<std::uint64_t>(*istart), end = static_cast<std::uint64_t>(*iend);
    std::uint64_t const incr = stride();
    std::uint64_t const count = iterations(first, end, incr);
    std::uint64_t const taken = split(first, count, end, false);
    if (taken < count) *iend = static_cast<T>(first + taken * incr);
  }
  return handed_out(more, code);
}

// GCC: the next piece of the runtime's chunk, if one is left.
template <class T>
bool gomp_take(T* istart, T* iend, void const* code) {
  piece_t piece;
  std::uint64_t const incr = stride();
  if (!take_piece(piece)) return false;
  *istart = static_cast<T>(piece.first);
  *iend = static_cast<T>(piece.final ? piece.end : piece.first + piece.count * incr);
  handed_out(1, code);
  return true;
}

using ull = unsigned long long;
// libomp's GOMP entry points return int for GCC's bool.
using loop_start_t = int (*)(long, long, long, long, long*, long*);
using loop_runtime_start_t = int (*)(long, long, long, long*, long*);
using loop_next_t = int (*)(long*, long*);
using loop_generic_start_t = int (*)(long, long, long, long, long, long*, long*, std::uintptr_t*, void**);
using ull_start_t = int (*)(int, ull, ull, ull, ull, ull*, ull*);
using ull_runtime_start_t = int (*)(int, ull, ull, ull, ull*, ull*);
using ull_next_t = int (*)(ull*, ull*);
using ull_generic_start_t = int (*)(int, ull, ull, ull, long, ull, ull*, ull*, std::uintptr_t*, void**);
using sections_start_t = unsigned (*)(unsigned);
using sections2_start_t = unsigned (*)(unsigned, std::uintptr_t*, void**);
using sections_next_t = unsigned (*)();
using parallel_loop_t = void (*)(void (*)(void*), void*, unsigned, long, long, long, long, unsigned);
using parallel_runtime_loop_t = void (*)(void (*)(void*), void*, unsigned, long, long, long, unsigned);

std::uint64_t chunk_size(long chunk) { return chunk > 0 ? static_cast<std::uint64_t>(chunk) : 1; }

// GCC's schedule numbers (GOMP_loop_start): runtime 0, static 1, dynamic
// 2, guided 3, auto 4, with modifiers in the upper bits.
std::uint64_t gomp_chunk_size(long schedule, std::uint64_t chunk) {
  switch (schedule & 0xff) {
    case 0: return runtime_chunk();
    case 2:
    case 3: return chunk == 0 ? 1 : chunk;
    default: return 0;
  }
}

// clang's schedule numbers (__kmpc_dispatch_init_*), without the
// (non)monotonic modifier; the "nm" forms are 128 above the others.
int base_schedule(int schedule) {
  int const base = schedule & ~(3 << 29);
  return base >= 160 && base < 224 ? base - 128 : base;
}

// An ordered loop runs its ordered parts in the order of its iterations,
// which the bridge does not follow (they are a lock to it): its chunks stay
// their thread's own.
bool ordered_schedule(int schedule) {
  int const base = base_schedule(schedule);
  return base > 64 && base < 72;
}

std::uint64_t kmp_chunk_size(int schedule, std::int64_t chunk) {
  switch (base_schedule(schedule)) {
    case 35:  // dynamic
    case 36:  // guided, and its two ways of computing chunks
    case 42:
    case 43: return chunk > 0 ? static_cast<std::uint64_t>(chunk) : 1;
    case 37: return runtime_chunk();
    default: return 0;
  }
}

// clang: the runtime's answer, the chunk [*lower, *upper] (inclusive), split.
template <class T, class S>
int kmp_chunk(int more, int* last, T* lower, T* upper, S const* stride_of, void const* code) {
  if (more != 0 && *stride_of != 0) {
    auto const first = static_cast<std::uint64_t>(*lower), incr = static_cast<std::uint64_t>(*stride_of);
    std::uint64_t const end = static_cast<std::uint64_t>(*upper);
    std::uint64_t const count = iterations(first, end + incr, incr);
    std::uint64_t const taken = split(first, count, end, last != nullptr && *last != 0);
    if (taken < count) {
      *upper = static_cast<T>(first + (taken - 1) * incr);
      if (last != nullptr) *last = 0;
    }
  }
  return handed_out(more, code);
}

template <class T>
bool kmp_take(int* last, T* lower, T* upper, void const* code) {
  piece_t piece;
  std::uint64_t const incr = stride();
  if (!take_piece(piece)) return false;
  *lower = static_cast<T>(piece.first);
  *upper = static_cast<T>(piece.final ? piece.end : piece.first + (piece.count - 1) * incr);
  if (last != nullptr) *last = piece.final && piece.last ? 1 : 0;
  handed_out(1, code);
  return true;
}

template <class T, class S>
using dispatch_init_t = void (*)(void*, int, int, T, T, S, S);
template <class T, class S>
using dispatch_next_t = int (*)(void*, int, int*, T*, T*, S*);

}  // namespace
}  // namespace vexa_bridge

#define BRIDGE_GOMP_LOOP(kind)                                                                                  \
  BRIDGE_EXPORT int GOMP_loop_##kind##_start(long start, long end, long incr, long chunk, long* istart,         \
                                             long* iend) {                                                      \
    static std::atomic<loop_start_t> real{nullptr};                                                            \
    loop_starts(chunk_size(chunk), static_cast<std::uint64_t>(incr));                                          \
    return gomp_chunk(next_definition(real, "GOMP_loop_" #kind "_start")(start, end, incr, chunk, istart, iend), \
                      istart, iend, BRIDGE_RETURN_ADDRESS());                                                  \
  }                                                                                                            \
  BRIDGE_EXPORT int GOMP_loop_ull_##kind##_start(bool up, ull start, ull end, ull incr, ull chunk, ull* istart, \
                                                 ull* iend) {                                                  \
    static std::atomic<ull_start_t> real{nullptr};                                                             \
    loop_starts(chunk == 0 ? 1 : chunk, incr);                                                                 \
    return gomp_chunk(next_definition(real, "GOMP_loop_ull_" #kind "_start")(up ? 1 : 0, start, end, incr,     \
                                                                             chunk, istart, iend),             \
                      istart, iend, BRIDGE_RETURN_ADDRESS());                                                  \
  }
#define BRIDGE_GOMP_RUNTIME_LOOP(kind)                                                                          \
  BRIDGE_EXPORT int GOMP_loop_##kind##_start(long start, long end, long incr, long* istart, long* iend) {        \
    static std::atomic<loop_runtime_start_t> real{nullptr};                                                    \
    loop_starts(runtime_chunk(), static_cast<std::uint64_t>(incr));                                            \
    return gomp_chunk(next_definition(real, "GOMP_loop_" #kind "_start")(start, end, incr, istart, iend),      \
                      istart, iend, BRIDGE_RETURN_ADDRESS());                                                  \
  }                                                                                                            \
  BRIDGE_EXPORT int GOMP_loop_ull_##kind##_start(bool up, ull start, ull end, ull incr, ull* istart,            \
                                                 ull* iend) {                                                  \
    static std::atomic<ull_runtime_start_t> real{nullptr};                                                     \
    loop_starts(runtime_chunk(), incr);                                                                        \
    return gomp_chunk(next_definition(real, "GOMP_loop_ull_" #kind "_start")(up ? 1 : 0, start, end, incr,     \
                                                                             istart, iend),                    \
                      istart, iend, BRIDGE_RETURN_ADDRESS());                                                  \
  }
#define BRIDGE_GOMP_NEXT(kind)                                                                                  \
  BRIDGE_EXPORT int GOMP_loop_##kind##_next(long* istart, long* iend) {                                         \
    static std::atomic<loop_next_t> real{nullptr};                                                             \
    if (gomp_take(istart, iend, BRIDGE_RETURN_ADDRESS())) return 1;                                            \
    return gomp_chunk(next_definition(real, "GOMP_loop_" #kind "_next")(istart, iend), istart, iend,           \
                      BRIDGE_RETURN_ADDRESS());                                                                \
  }                                                                                                            \
  BRIDGE_EXPORT int GOMP_loop_ull_##kind##_next(ull* istart, ull* iend) {                                       \
    static std::atomic<ull_next_t> real{nullptr};                                                              \
    if (gomp_take(istart, iend, BRIDGE_RETURN_ADDRESS())) return 1;                                            \
    return gomp_chunk(next_definition(real, "GOMP_loop_ull_" #kind "_next")(istart, iend), istart, iend,       \
                      BRIDGE_RETURN_ADDRESS());                                                                \
  }

BRIDGE_GOMP_LOOP(dynamic)
BRIDGE_GOMP_LOOP(guided)
BRIDGE_GOMP_LOOP(nonmonotonic_dynamic)
BRIDGE_GOMP_LOOP(nonmonotonic_guided)
BRIDGE_GOMP_RUNTIME_LOOP(runtime)
BRIDGE_GOMP_RUNTIME_LOOP(nonmonotonic_runtime)
BRIDGE_GOMP_RUNTIME_LOOP(maybe_nonmonotonic_runtime)
BRIDGE_GOMP_NEXT(dynamic)
BRIDGE_GOMP_NEXT(guided)
BRIDGE_GOMP_NEXT(nonmonotonic_dynamic)
BRIDGE_GOMP_NEXT(nonmonotonic_guided)
BRIDGE_GOMP_NEXT(runtime)
BRIDGE_GOMP_NEXT(nonmonotonic_runtime)
BRIDGE_GOMP_NEXT(maybe_nonmonotonic_runtime)

#define BRIDGE_GOMP_PARALLEL_LOOP(kind)                                                                         \
  BRIDGE_EXPORT void GOMP_parallel_loop_##kind(void (*body)(void*), void* data, unsigned threads, long start,     \
                                               long end, long incr, long chunk, unsigned flags) {                \
    static std::atomic<parallel_loop_t> real{nullptr};                                                         \
    starting_loop = {nullptr, chunk_size(chunk), static_cast<std::uint64_t>(incr)};                             \
    next_definition(real, "GOMP_parallel_loop_" #kind)(body, data, threads, start, end, incr, chunk, flags);    \
  }
#define BRIDGE_GOMP_PARALLEL_RUNTIME_LOOP(kind)                                                                 \
  BRIDGE_EXPORT void GOMP_parallel_loop_##kind(void (*body)(void*), void* data, unsigned threads, long start,     \
                                               long end, long incr, unsigned flags) {                            \
    static std::atomic<parallel_runtime_loop_t> real{nullptr};                                                 \
    starting_loop = {nullptr, runtime_chunk(), static_cast<std::uint64_t>(incr)};                               \
    next_definition(real, "GOMP_parallel_loop_" #kind)(body, data, threads, start, end, incr, flags);           \
  }

BRIDGE_GOMP_PARALLEL_LOOP(dynamic)
BRIDGE_GOMP_PARALLEL_LOOP(guided)
BRIDGE_GOMP_PARALLEL_LOOP(nonmonotonic_dynamic)
BRIDGE_GOMP_PARALLEL_LOOP(nonmonotonic_guided)
BRIDGE_GOMP_PARALLEL_RUNTIME_LOOP(runtime)
BRIDGE_GOMP_PARALLEL_RUNTIME_LOOP(nonmonotonic_runtime)
BRIDGE_GOMP_PARALLEL_RUNTIME_LOOP(maybe_nonmonotonic_runtime)

#undef BRIDGE_GOMP_PARALLEL_RUNTIME_LOOP
#undef BRIDGE_GOMP_PARALLEL_LOOP
#undef BRIDGE_GOMP_NEXT
#undef BRIDGE_GOMP_RUNTIME_LOOP
#undef BRIDGE_GOMP_LOOP

// The general form: any schedule, task reductions. Without a place for the
// bounds (a static schedule, which GCC's code divides itself) no piece is
// handed out.
BRIDGE_EXPORT int GOMP_loop_start(long start, long end, long incr, long schedule, long chunk, long* istart,
                                  long* iend, std::uintptr_t* reductions, void** memory) {
  static std::atomic<loop_generic_start_t> real{nullptr};
  if (istart != nullptr)
    loop_starts(gomp_chunk_size(schedule, chunk_size(chunk)), static_cast<std::uint64_t>(incr));
  int const more = next_definition(real, "GOMP_loop_start")(start, end, incr, schedule, chunk, istart, iend,
                                                            reductions, memory);
  return istart == nullptr ? more : gomp_chunk(more, istart, iend, BRIDGE_RETURN_ADDRESS());
}

BRIDGE_EXPORT int GOMP_loop_ull_start(bool up, ull start, ull end, ull incr, long schedule, ull chunk, ull* istart,
                                      ull* iend, std::uintptr_t* reductions, void** memory) {
  static std::atomic<ull_generic_start_t> real{nullptr};
  if (istart != nullptr) loop_starts(gomp_chunk_size(schedule, chunk), incr);
  int const more = next_definition(real, "GOMP_loop_ull_start")(up ? 1 : 0, start, end, incr, schedule, chunk,
                                                                istart, iend, reductions, memory);
  return istart == nullptr ? more : gomp_chunk(more, istart, iend, BRIDGE_RETURN_ADDRESS());
}

// Loops with ordered(n) and depend(sink / source): the chunks that their
// *_next calls hand out stay their thread's own, as an ordered loop's do.
#define BRIDGE_GOMP_DOACROSS(name, params, args)                   \
  BRIDGE_EXPORT int name params {                                  \
    using real_t = int(*) params;                                  \
    static std::atomic<real_t> real{nullptr};                      \
    loop_starts(0, 1, true);                                       \
    return next_definition(real, #name) args;                      \
  }
BRIDGE_GOMP_DOACROSS(GOMP_loop_doacross_static_start, (unsigned n, long* counts, long chunk, long* istart, long* iend),
                     (n, counts, chunk, istart, iend))
BRIDGE_GOMP_DOACROSS(GOMP_loop_doacross_dynamic_start, (unsigned n, long* counts, long chunk, long* istart, long* iend),
                     (n, counts, chunk, istart, iend))
BRIDGE_GOMP_DOACROSS(GOMP_loop_doacross_guided_start, (unsigned n, long* counts, long chunk, long* istart, long* iend),
                     (n, counts, chunk, istart, iend))
BRIDGE_GOMP_DOACROSS(GOMP_loop_doacross_runtime_start, (unsigned n, long* counts, long* istart, long* iend),
                     (n, counts, istart, iend))
BRIDGE_GOMP_DOACROSS(GOMP_loop_doacross_start,
                     (unsigned n, long* counts, long schedule, long chunk, long* istart, long* iend,
                      std::uintptr_t* reductions, void** memory),
                     (n, counts, schedule, chunk, istart, iend, reductions, memory))
BRIDGE_GOMP_DOACROSS(GOMP_loop_ull_doacross_static_start, (unsigned n, ull* counts, ull chunk, ull* istart, ull* iend),
                     (n, counts, chunk, istart, iend))
BRIDGE_GOMP_DOACROSS(GOMP_loop_ull_doacross_dynamic_start,
                     (unsigned n, ull* counts, ull chunk, ull* istart, ull* iend), (n, counts, chunk, istart, iend))
BRIDGE_GOMP_DOACROSS(GOMP_loop_ull_doacross_guided_start, (unsigned n, ull* counts, ull chunk, ull* istart, ull* iend),
                     (n, counts, chunk, istart, iend))
BRIDGE_GOMP_DOACROSS(GOMP_loop_ull_doacross_runtime_start, (unsigned n, ull* counts, ull* istart, ull* iend),
                     (n, counts, istart, iend))
BRIDGE_GOMP_DOACROSS(GOMP_loop_ull_doacross_start,
                     (unsigned n, ull* counts, long schedule, ull chunk, ull* istart, ull* iend,
                      std::uintptr_t* reductions, void** memory),
                     (n, counts, schedule, chunk, istart, iend, reductions, memory))
#undef BRIDGE_GOMP_DOACROSS

// omp_get_thread_num(): see ask_identity(). The task asking is the calling
// thread's own, written by that thread alone.
BRIDGE_EXPORT int omp_get_thread_num() {
  using real_t = int (*)();
  static std::atomic<real_t> real{nullptr};
  if (task_t* t = races ? current() : nullptr; t != nullptr && !t->asked_identity) {
    if (t->region != nullptr)
      t->asked_identity = true;  // an implicit task: for the pieces it hands out
    else if (pieces_t* p = piece_owner_count != 0 ? pieces_for(t, false) : nullptr; p != nullptr) {
      ask_identity(t);
      p->owner->asked_identity = true;  // the compiler may keep the answer for the pieces after it
    }
  }
  return next_definition(real, "omp_get_thread_num")();
}

// Sections: each call hands out one section's number, 0 when none is left.
BRIDGE_EXPORT unsigned GOMP_sections_start(unsigned count) {
  static std::atomic<sections_start_t> real{nullptr};
  unsigned const section = next_definition(real, "GOMP_sections_start")(count);
  handed_out(section != 0, BRIDGE_RETURN_ADDRESS());
  return section;
}

BRIDGE_EXPORT unsigned GOMP_sections2_start(unsigned count, std::uintptr_t* reductions, void** memory) {
  static std::atomic<sections2_start_t> real{nullptr};
  unsigned const section = next_definition(real, "GOMP_sections2_start")(count, reductions, memory);
  handed_out(section != 0, BRIDGE_RETURN_ADDRESS());
  return section;
}

BRIDGE_EXPORT unsigned GOMP_sections_next() {
  static std::atomic<sections_next_t> real{nullptr};
  unsigned const section = next_definition(real, "GOMP_sections_next")();
  handed_out(section != 0, BRIDGE_RETURN_ADDRESS());
  return section;
}

// clang: a loop with a dynamic, guided or runtime schedule is set up by
// __kmpc_dispatch_init_*, then takes chunks from __kmpc_dispatch_next_*
// until it returns 0 (clang's sections are a static loop: no pieces).
// libomp's GOMP loops call __kmpc_dispatch_next_* themselves: those calls
// are the GOMP wrappers' business.
#define BRIDGE_DISPATCH(suffix, T, S)                                                                          \
  BRIDGE_EXPORT void __kmpc_dispatch_init_##suffix(void* location, int thread, int schedule, T lower, T upper,  \
                                                    S stride, S chunk) {                                      \
    static std::atomic<dispatch_init_t<T, S>> real{nullptr};                                                  \
    if (!called_by_runtime(BRIDGE_RETURN_ADDRESS()))                                                          \
      loop_starts(kmp_chunk_size(schedule, chunk), static_cast<std::uint64_t>(stride), ordered_schedule(schedule)); \
    next_definition(real, "__kmpc_dispatch_init_" #suffix)(location, thread, schedule, lower, upper, stride,   \
                                                           chunk);                                            \
  }                                                                                                           \
  BRIDGE_EXPORT int __kmpc_dispatch_next_##suffix(void* location, int thread, int* last, T* lower, T* upper,   \
                                                   S* stride) {                                               \
    static std::atomic<dispatch_next_t<T, S>> real{nullptr};                                                  \
    auto const next = next_definition(real, "__kmpc_dispatch_next_" #suffix);                                 \
    if (called_by_runtime(BRIDGE_RETURN_ADDRESS())) return next(location, thread, last, lower, upper, stride); \
    if (kmp_take(last, lower, upper, BRIDGE_RETURN_ADDRESS())) return 1;                                      \
    return kmp_chunk(next(location, thread, last, lower, upper, stride), last, lower, upper, stride,           \
                     BRIDGE_RETURN_ADDRESS());                                                                \
  }

BRIDGE_DISPATCH(4, std::int32_t, std::int32_t)
BRIDGE_DISPATCH(4u, std::uint32_t, std::int32_t)
BRIDGE_DISPATCH(8, std::int64_t, std::int64_t)
BRIDGE_DISPATCH(8u, std::uint64_t, std::int64_t)

#undef BRIDGE_DISPATCH

// clang: a loop with ordered(n) and depend(sink / source) sets up its
// dependences here, around a dispatch of any schedule.
using doacross_init_t = void (*)(void*, int, int, void const*);
using doacross_fini_t = void (*)(void*, int);

BRIDGE_EXPORT void __kmpc_doacross_init(void* location, int thread, int dimensions, void const* bounds) {
  static std::atomic<doacross_init_t> real{nullptr};
  if (pieces_t* p = loop_pieces(true)) p->doacross = true;
  next_definition(real, "__kmpc_doacross_init")(location, thread, dimensions, bounds);
}

BRIDGE_EXPORT void __kmpc_doacross_fini(void* location, int thread) {
  static std::atomic<doacross_fini_t> real{nullptr};
  next_definition(real, "__kmpc_doacross_fini")(location, thread);
  if (pieces_t* p = loop_pieces(false)) p->doacross = false;
}
