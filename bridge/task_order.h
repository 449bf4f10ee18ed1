// How the tasks of an OpenMP program are ordered, whatever the schedule:
// the model behind the race view (openmp.cc feeds it from OMPT events).
//
// Every task is a node: the program's initial task, the implicit tasks of
// each parallel region and of each league of teams, and explicit tasks.
// A node knows the node that made it (its parent: for an implicit task,
// the task that started the region) and the parent's step at that moment
// (`born`). A task's step rises whenever it makes a task, waits, or passes
// a barrier, so an access is ordered before a task made later by the same
// parent exactly when its step is at most that task's `born`. The steps of
// implicit tasks count barriers in their upper 32 bits (the epoch).
//
// Finished tasks keep their accesses in the library until what orders them
// comes: the parent's taskwait or the end of a taskgroup joins them into
// the waiting task, after which they stand for accesses of that task at its
// step then; the end of a parallel region joins everything in it into the
// task that started it. A joined task is absorbed (its accesses become the
// joiner's own in the library) once no task of its own is still about,
// which might have to tell its accesses apart from the joiner's.
//
// ordered() answers the library's question "is the access that node X made
// at step s ordered before the calling thread's task as it is now?":
//  1. follow X's joins to the node it now stands for;
//  2. if that node is the current task or one of its ancestors, compare the
//     step with the ancestor's position on the current task's path;
//  3. if it is a dependence predecessor (transitively) of a task on that
//     path, yes;
//  4. if it and the current task descend from implicit tasks of the same
//     region, yes when a barrier lies between them (their epochs differ).
// Anything else may run at the same time.
//
// Thread safety: the fields that ordered() reads of other nodes (parent,
// born, region, predecessors) are written before the node's task can run
// and never change; a join is published by a release store of joined_into
// after join_step. Steps are read only by the node's own thread. Nodes and
// regions are reference-counted: a node holds its parent, its predecessors
// and its region; lists hold what they name. A node that still has
// accesses in the library is never freed: it is absorbed or released first,
// and the library asks ordered() only under the lock of a log holding one
// of its sites, which absorbing takes too.
#ifndef VEXA_BRIDGE_TASK_ORDER_H
#define VEXA_BRIDGE_TASK_ORDER_H

#include <atomic>
#include <cstdint>
#include <vector>

#include "../src/lock/lock.h"
#include "bridge.h"

namespace vexa_bridge {

struct task_t;

// A spin lock for the few lists that several threads append to; a pthread
// mutex would be seen by the bridge's own lock wrappers. It is the
// library's lock (one primitive for both, with its rank in the one lock
// order and a place in the registry that fork() takes every lock from).
class spin_t : public vexa::lock_t {
 public:
  spin_t() noexcept : vexa::lock_t(vexa::lock_rank::bridge_list) {}
};

struct spin_scope {
  explicit spin_scope(spin_t& s) : s_(s) { s_.lock(); }
  ~spin_scope() { s_.unlock(); }
  spin_t& s_;
};

// A list of nodes, each referenced while listed.
struct node_list_t {
  spin_t lock;
  std::vector<task_t*> nodes;
  std::size_t compact_at = 64;  // see add()
  // Adds t. A list that lives long (a region's) would otherwise hold every
  // task it ever had: when it has doubled since it was last compacted, the
  // tasks absorbed since are dropped from it.
  void add(task_t* t);
  std::vector<task_t*> take();
};

// A parallel region or a league of teams.
struct region_t {
  void const* code = nullptr;       // the implicit tasks' code address
  task_t* encountering = nullptr;   // the task that started it (race view)
  std::uint64_t born = 0;           // its step then
  std::atomic<int> refs{1};         // the region's own, and each task's `home`
  node_list_t finished;  // its finished tasks that are not absorbed yet
};

// A taskgroup: the tasks made in it, and their descendants.
struct group_t {
  group_t* outer;     // the enclosing taskgroup of the same task
  node_list_t members;
};

// What the dependences of a task's children have said so far, for one
// address: the last writer and the readers since.
struct dependence_slot_t {
  void const* address;
  task_t* writer;
  std::vector<task_t*> readers;
};

struct task_t {
  // The task stack of its thread (openmp.cc).
  void const* code;  // where the program created it
  task_t* below;     // the task it interrupted on its thread
  bool entered;      // ran before: the next schedule resumes it
  bool done;         // left or finished already
  bool worker;       // an implicit task of a thread other than the primary
  bool waiting;      // the stand-in of a taskwait with depend
  bool switched;     //   ... and its parent switched to it
  task_t* waiter;    //   ... the task that waits, suspended; null if none
  std::uint64_t id;  // the library's task id: reports tell tasks apart by it
  body_rule_t body;  // how its outlined body is reported (bridge.h)
  std::uintptr_t frame = 0;  // thread_state_t::task_frame while it is not running

  // Its place in the order of tasks (race view).
  task_t* parent = nullptr;    // see above; null for the initial task
  std::uint64_t born = 0;      // the parent's step when it was made
  region_t* region = nullptr;  // implicit tasks only
  std::uint64_t step = 0;      // written and read by the running thread only
  std::vector<task_t*> predecessors;  // by dependences; fixed before it runs
  std::uint64_t join_step = 0;
  std::atomic<task_t*> joined_into{nullptr};
  std::atomic<int> refs{1};           // its own, dropped when absorbed or released
  std::atomic<int> outstanding{0};    // its children not yet absorbed or released
  bool undeferred = false;            // its parent waits for it where it made it
  bool final = false;                 // the tasks it makes are included: undeferred
  bool finished = false;              // kept in the library, not absorbed yet
  // Absorbed or released. Written once by the absorbing thread; read by
  // others only to drop it from lists (node_list_t::add), relaxed: a stale
  // false only keeps it listed a while longer.
  std::atomic<bool> absorbed{false};
  group_t* group = nullptr;           // the taskgroup it belongs to, if any
  group_t* groups = nullptr;          // the taskgroups it has open, innermost first
  region_t* home = nullptr;           // the region it runs in, if any (its finished list)
  node_list_t finished_children;      // for its next taskwait
  std::vector<dependence_slot_t> dependences;  // of its children; its own thread only

  task_t(void const* code_, std::uint64_t id_) : code(code_), below(nullptr), entered(false), done(false),
      worker(false), waiting(false), switched(false), waiter(nullptr), id(id_), body(body_reported) {}
};

void ref(task_t* t);
void unref(task_t* t);
void unref(region_t* r);

// The task running on the calling thread (bridge.h's state), or null.
inline task_t* current_task() { return reinterpret_cast<task_t*>(state.task); }

// Step arithmetic of implicit tasks: barriers in the upper half.
constexpr std::uint64_t epoch_of(std::uint64_t step) { return step >> 32; }
constexpr std::uint64_t next_epoch(std::uint64_t step) { return (epoch_of(step) + 1) << 32; }

// The library's question (see above).
int ordered(void const* place, std::uint64_t step);

// t's step rises by one (it made a task or waited), and the library learns it.
void advance(task_t* t);
// The library learns where t, the calling thread's task, stands now.
void place(task_t* t);

// Joins the finished task `t` into `into` (the calling thread's task, at
// its step now); absorbs it when nothing of its own is about.
void join(task_t* t, task_t* into);
// Absorbs every finished, unabsorbed task of the list into `into`, the
// calling thread's task (with none, drops their accesses), and drops the
// list's references.
void absorb_all(std::vector<task_t*> const& finished, task_t* into);
// Joins every task of the list into `into` (see join()), deepest first: a
// child made later is absorbed before its parent; drops the list's
// references.
void join_all(std::vector<task_t*> const& tasks, task_t* into);

// The dependences of a new child `t` of `parent`, made on parent's thread.
void add_dependences(task_t* parent, task_t* t, void const* const* addresses, int const* kinds, int n);
void clear_dependences(task_t* t);

}  // namespace vexa_bridge

#endif  // VEXA_BRIDGE_TASK_ORDER_H
