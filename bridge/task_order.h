// How the tasks of a program are ordered: the model behind the race view.
// openmp.cc feeds it from OMPT events, threads.cc from thread creation and
// joins; sync_order.h adds the order that synchronisation objects carry.
//
// Every task is a node: the program's initial task, the implicit tasks of
// each parallel region and of each league of teams, and explicit tasks. A
// task's step rises whenever it makes a task, waits, or passes a barrier;
// the steps of implicit tasks count barriers in their upper 32 bits (the
// epoch). An access is labelled with its task and the task's step then.
//
// Each task carries a vector clock: for every other task whose accesses it
// is ordered after, the latest step of that task that precedes it. The
// edges of the program's task graph merge clocks:
//   creation        the child starts with the parent's clock and the
//                   parent's step then;
//   dependence      a task starts with the end clocks of its predecessors
//                   (mutexinoutset orders against in/out/inout only: its
//                   tasks exclude each other by a lock, in openmp.cc);
//   join            taskwait (children), the end of a taskgroup (every task
//                   made in it), an undeferred task, a taskwait with depend
//                   (the tasks it names) merge the end clocks of what they
//                   waited for into the waiting task;
//   barrier         the implicit tasks and every task finished in the
//                   epoch merge into the region's clock of that epoch,
//                   which each implicit task takes when it leaves the
//                   barrier; the encountering task takes the last at the
//                   region's end;
//   fulfilment      what the fulfiller did before omp_fulfill_event
//                   precedes the detached task's completion.
// ordered(x, s) is then one lookup: s at most the current task's entry for
// x. The answer is exact at any length of any chain of edges.
//
// Finished tasks keep their accesses in the library (under their handle,
// or a key of their own once many handles are held) until they are absorbed:
// their accesses become the absorbing task's, at its step then, and their
// clock entries are dropped from clocks from then on (nothing is labelled
// with them any more). That relabelling is exact
// only when every task that is ordered after the absorbed one is also
// ordered after the absorbing task's step: a task is absorbed
//   - when its parent waits for it (taskwait, undeferred) and nothing else
//     has seen its end: it has no successor by dependence, and no task of
//     its own is still about (they descend from points before its end);
//   - at a taskwait whose children are all finished with nothing of their
//     own about: then every task that saw one of them is one of them;
//   - at the end of a taskgroup, deepest first, once its own are gone;
//   - by its only successor by dependence when that one starts, if nothing
//     else can still become its successor or has joined it (long inout
//     chains then keep one task's accesses, not the whole chain's);
//   - at the barrier that ends the epoch it was made in, by an implicit
//     task as it leaves, at its step before it leaves: every task made in
//     the epoch has run to its end there, and everything after the barrier
//     is ordered after that step of every implicit task;
//   - at the end of its region, where everything in it is ordered before
//     the encountering task.
// All but the last only in the epoch of its region that it was made in: a
// barrier hands its end to every task after the barrier, which a later
// point of the absorbing task does not precede.
//
// Thread safety: a running task's clock and step are read and written by
// its own thread only. A finished task's clock is written before its
// completion and read by the tasks that its completion releases (joins,
// successors), after the runtime's own synchronisation; the fulfilment
// clock is written under the task's lock. A region's clocks are merged
// under the region's lock. Nodes and regions are reference-counted: a node
// holds its parent, its predecessors and its region; lists hold what they
// name; clocks name tasks by id and hold nothing. A node that still has
// accesses in the library is never freed: it is absorbed or released first,
// and the library asks ordered() only under the lock of a log holding one
// of its sites, which absorbing takes too.
#ifndef VEXA_BRIDGE_TASK_ORDER_H
#define VEXA_BRIDGE_TASK_ORDER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
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

// What is freed under a list's lock is the bridge's own (a list's or a
// clock's buffer that grew): forgetting it would take the synchronisation
// shards' locks under this one, against the lock order.
struct spin_scope {
  explicit spin_scope(spin_t& s) : s_(s) { s_.lock(); }
  ~spin_scope() { s_.unlock(); }
  own_memory_scope own_;
  spin_t& s_;
};

// A list of nodes, each referenced while listed.
struct node_list_t {
  spin_t lock;
  std::vector<task_t*> nodes;
  std::size_t compact_at = 64;  // see add()
  // Adds t. A list that lives long (a task's finished children, a
  // taskgroup's members) would otherwise hold every task it ever had: when
  // it has doubled since it was last compacted, the tasks absorbed since
  // are dropped from it.
  void add(task_t* t);
  std::vector<task_t*> take();
};

// What a task is ordered after: the latest step of each other task that
// precedes it, by task id, sorted. Ids rather than nodes: a clock holds no
// node alive (clocks of parents and children name each other).
class vector_clock_t {
 public:
  struct entry_t {
    std::uint64_t id;
    std::uint64_t step;
  };
  vector_clock_t() = default;
  // A task's own clock: it never takes an entry of its owner, which
  // ordered() never asks for (a task is ordered after its own past), and
  // which would come back with every child's end clock at every join and
  // make each a merge that changes something.
  explicit vector_clock_t(std::uint64_t owner) : owner_(owner) {}
  // A copy has no owner, and a clock assigned to keeps its own: the
  // entries are what moves, never whose clock it is.
  vector_clock_t(vector_clock_t const& other) : entries_(other.entries_), purge_at_(other.purge_at_) {}
  vector_clock_t& operator=(vector_clock_t const& other) {
    entries_ = other.entries_;
    purge_at_ = other.purge_at_;
    return *this;
  }
  vector_clock_t(vector_clock_t&& other) noexcept : entries_(std::move(other.entries_)), purge_at_(other.purge_at_) {}
  vector_clock_t& operator=(vector_clock_t&& other) noexcept {
    entries_ = std::move(other.entries_);
    purge_at_ = other.purge_at_;
    return *this;
  }

  // The step of task `id` that precedes, or null.
  std::uint64_t const* find(std::uint64_t id) const;
  // Everything `other` is ordered after, and task `id` at `step` (id 0:
  // nothing more). Entries of absorbed tasks are not taken in, and those
  // the clock holds are dropped whenever it has doubled since the last
  // time (an entry of a retired task is never asked for: it only takes
  // room). A merge that adds nothing costs one pass and no allocation.
  void merge(vector_clock_t const& other, std::uint64_t id = 0, std::uint64_t step = 0);
  void clear() {
    std::vector<entry_t>().swap(entries_);
    purge_at_ = 64;
  }
  std::size_t size() const { return entries_.size(); }

 private:
  bool covers(vector_clock_t const& other, std::uint64_t id, std::uint64_t step) const;
  // Whether `other` is small beside this clock: looking its entries up one
  // by one is then cheaper than a pass over both.
  bool few_into_many(vector_clock_t const& other) const { return (other.entries_.size() + 1) * 16 <= entries_.size(); }
  std::vector<entry_t> entries_;
  std::size_t purge_at_ = 64;
  std::uint64_t owner_ = 0;  // 0: none
};

// Whether the task with this id was absorbed or released: nothing in the
// library is labelled with it any more.
bool retired(std::uint64_t id);

// A parallel region or a league of teams.
//
// Its epoch clocks take the end clock of every explicit task that finishes
// in the epoch, for the barrier that ends it. Most such tasks are absorbed
// by their parent's taskwait long before, and their end clocks are in the
// parent's by then: so a task is only listed when it finishes, and its end
// clock is merged when a barrier, the region's end or a reduction reads
// the clocks (`epoch_clock`), if nothing absorbed it meanwhile. A merge at
// every task's end, under this one lock, was what threads waited on.
struct region_t {
  void const* code = nullptr;       // the implicit tasks' code address
  task_t* encountering = nullptr;   // the task that started it (race view)
  std::atomic<int> refs{1};         // the region's own, and each task's `home`
  spin_t lock;  // guards everything below but `start`
  // Its finished tasks that are not absorbed yet (and, until the list is
  // compacted, some that are), each referenced; some may have end clocks
  // that the epoch clocks lack (task_t::in_epoch_clock).
  std::vector<task_t*> finished;
  std::size_t compact_at = 64;  // see node_list_t::add()
  vector_clock_t start;  // the encountering task's clock when it began
  vector_clock_t epochs[2];  // by epoch parity: see depart()
};

// A taskgroup: the tasks made in it, and their descendants.
struct group_t {
  group_t* outer;     // the enclosing taskgroup of the same task
  node_list_t members;
};

// What the dependences of a task's children have said so far, for one
// address: the tasks a new `in` follows (the last writer, or the last
// group of mutexinoutset tasks), the readers since, and what the current
// mutexinoutset group follows.
struct dependence_slot_t {
  void const* address;
  std::vector<task_t*> last;
  std::vector<task_t*> readers;
  std::vector<task_t*> group_base;
  bool group = false;  // `last` is a mutexinoutset group
  void const* group_lock = nullptr;  // the lock its members exclude each other by
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
  bool ended = false;  // its body ended under a task above it: it leaves when uncovered
  task_t* waiter;    //   ... the task that waits, suspended; null if none
  std::uint64_t id;  // the library's task id: reports tell tasks apart by it
  body_rule_t body;  // how its outlined body is reported (bridge.h)
  std::uintptr_t frame = 0;  // thread_state_t::task_frame while it is not running
  std::uintptr_t block_begin = 0, block_end = 0;  // the runtime's copy of its arguments

  // Its place in the order of tasks (race view).
  task_t* parent = nullptr;    // null for the initial task
  region_t* region = nullptr;  // implicit tasks only
  std::uint64_t step = 0;      // written and read by the running thread only
  std::uint64_t epoch = 0;     // of its region when it was made (explicit tasks)
  vector_clock_t clock;        // see above; its end clock once finished
  std::vector<task_t*> predecessors;  // by dependences; fixed before it runs
  std::vector<void const*> exclusive;  // the locks of its mutexinoutset groups; likewise
  std::atomic<int> refs{1};           // its own, dropped when absorbed or released
  std::atomic<int> outstanding{0};    // its children not yet absorbed or released
  // Tasks that depend on it; raised by its parent's thread only while it
  // is listed in one of the parent's dependence slots (`slots`).
  std::atomic<int> successors{0};
  // The parent's dependence slots that name it. Released by the parent's
  // thread when it leaves the last; pairs with the acquire load in
  // absorbable_by_successor(): at zero, `successors` is final.
  std::atomic<int> slots{0};
  bool joined = false;                // a join merged its end clock (its waiter's thread)
  bool undeferred = false;            // its parent waits for it where it made it
  bool final = false;                 // the tasks it makes are included: undeferred
  bool asked_identity = false;        // it asked which thread runs it (openmp.cc); its own thread's
  // It released a synchronisation object or made a thread (sync_order.h):
  // tasks outside its graph may be ordered after it, so no join may
  // relabel its accesses as the joiner's. Its own thread writes it; a
  // joiner reads it after the runtime's join, which orders the two.
  bool published = false;
  bool finished = false;              // kept in the library, not absorbed yet
  // Its region's epoch clock needs nothing more of it: its end clock is
  // there, or it was absorbed first, or it is an implicit task (which hands
  // its clock on as it arrives). Under the region's lock.
  bool in_epoch_clock = false;
  // Absorbed or released. Written once by the absorbing thread; read by
  // others only to drop it from lists and clocks, relaxed: a stale false
  // only keeps it a while longer.
  std::atomic<bool> absorbed{false};
  // Fulfilment of a detached task: the fulfiller's clock, under `lock`.
  spin_t lock;
  vector_clock_t fulfilled;
  group_t* group = nullptr;           // the taskgroup it belongs to, if any
  group_t* groups = nullptr;          // the taskgroups it has open, innermost first
  region_t* home = nullptr;           // the region it runs in, if any (its finished list)
  node_list_t finished_children;      // for its next taskwait
  std::vector<dependence_slot_t> dependences;  // of its children; its own thread only

  task_t(void const* code_, std::uint64_t id_) : code(code_), below(nullptr), entered(false), done(false),
      worker(false), waiting(false), switched(false), waiter(nullptr), id(id_), body(body_reported),
      clock(id_) {}

  // Nodes come from a cache of the calling thread's (task_order.cc): a node
  // is made on its parent's thread and freed wherever its last reference
  // goes, and through malloc that was a free into another thread's arena,
  // whose lock both threads then waited on at every task.
  static void* operator new(std::size_t size);
  static void* operator new(std::size_t size, std::nothrow_t const&) noexcept;
  static void operator delete(void* node) noexcept;
};

void ref(task_t* t);
void unref(task_t* t);
void unref(region_t* r);

// The task running on the calling thread (bridge.h's state), or null.
inline task_t* current_task() { return reinterpret_cast<task_t*>(state.task); }

// Step arithmetic of implicit tasks: barriers in the upper half.
constexpr std::uint64_t epoch_of(std::uint64_t step) { return step >> 32; }
constexpr std::uint64_t next_epoch(std::uint64_t step) { return (epoch_of(step) + 1) << 32; }

// The library's question: is the access that task `place` made at `step`
// ordered before the calling thread's task as it is now?
int ordered(void const* place, std::uint64_t step);

// t's step rises by one (it made a task or waited), and the library learns it.
void advance(task_t* t);
// The library learns where t, the calling thread's task, stands now.
void place(task_t* t);

// A new child t of parent, made now on parent's thread: its clock.
void created(task_t* parent, task_t* t);
// t, the calling thread's task, runs for the first time: the end clocks of
// its predecessors, and the absorbing of a predecessor it alone follows.
void started(task_t* t);
// t, the calling thread's task, has run to its end and is kept in the
// library (its clock is its end clock): listed in its region, if it has one,
// whose epoch clock takes its end clock at once (`merge_now`) or when it is
// read. A piece merges at once: it is absorbed at its owner's arrival,
// with nothing taking its end clock.
void finished(task_t* t, bool merge_now);
// The clock of r's epoch `epoch`: what every task of it that finished, and
// every implicit task that arrived at its barrier, is ordered after.
// Caller holds r->lock.
vector_clock_t const& epoch_clock(region_t* r, std::uint64_t epoch);
// The fulfiller, the calling thread's task (null: none), fulfils the event
// of the detached task t.
void fulfil(task_t* t, task_t* fulfiller);

// `into`, the calling thread's task, waited for the finished task t:
// merges t's end clock, and absorbs t when that is exact (see above).
void join(task_t* t, task_t* into);
// Ends the finished task t for good: its accesses become the calling
// thread's task's (absorb), or are dropped; its id retires.
void end_for_good(task_t* t, bool absorb);
// A taskwait of `into`: every finished child joins it.
void join_children(task_t* into);
// The end of a taskgroup of `into`: every task made in it, deepest first.
void join_group(std::vector<task_t*> const& members, task_t* into);
// The end of a region: `into`, its encountering task (null: none, then the
// accesses are dropped), takes everything in it.
void end_region(region_t* r, task_t* into);
// A barrier of implicit task t: what it did so far, on arrival; what the
// whole team did before it, on departure.
void arrive(task_t* t);
void depart(task_t* t);
// Before `into`, an implicit task, departs from a barrier: it absorbs the
// finished tasks of the epoch that ends there that nothing else still
// orders (see above); the others wait for the region's end.
void absorb_epoch(task_t* into);

// The dependences of a new child `t` of `parent`, made on parent's thread;
// kinds are OMPT's dependence types.
void add_dependences(task_t* parent, task_t* t, void const* const* addresses, int const* kinds, int n);
void clear_dependences(task_t* t);

// Worksharing pieces (openmp.cc): each section, or chunk that a dynamic or
// guided loop takes from the runtime, is a task of its own, a child of the
// implicit task that runs it that no join waits for. `into`, that implicit
// task, arrives at a barrier: every piece of its own that finished in this
// epoch and has nothing of its own about is ordered, by that barrier, before
// whatever is ordered after `into`'s step now, and is absorbed; the others
// wait for the region's end.
void absorb_pieces(task_t* const* pieces, unsigned count, task_t* into);

}  // namespace vexa_bridge

#endif  // VEXA_BRIDGE_TASK_ORDER_H
