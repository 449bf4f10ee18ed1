/*
 * vexa.h: everything an instrumented program and a debugger share with
 * libvexa.so.
 *
 * An instrumenting compiler calls the hooks; a debugger keeps a breakpoint on
 * __vexa_switch_to_debugger, reads the communication block at every stop and
 * writes commands into it before it resumes. Every layout below is read by
 * debuggers of either word size, so every address or count the library hands
 * out is a little-endian 64-bit field, zero-extended from 32 bits on i386.
 */
#ifndef VEXA_H
#define VEXA_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Event reasons: 1-4 status, 256/257 detections, negative values errors. */
typedef int32_t vexa_event_reason_t;

enum {
  VEXA_EVENT_NONE = 0,
  VEXA_EVENT_LOADED = 1,
  VEXA_EVENT_UNLOADED = 2,
  VEXA_EVENT_CONFIGURED = 3,
  VEXA_EVENT_ALIVE = 4,
  VEXA_EVENT_DATA_SHARING = 256,
  VEXA_EVENT_REENTRANT_CALL = 257,
  VEXA_ERROR_INVALID_TASK_HANDLE = -991,
  VEXA_ERROR_TASK_NESTING = -992,
  VEXA_ERROR_TASK_HANDLE_OVERFLOW = -993,
  VEXA_ERROR_FILTER_OPERATION_FAILED = -994,
  VEXA_ERROR_BAD_FILTER_OPERATION = -995,
  VEXA_ERROR_UNKNOWN_FEATURE = -996,
  VEXA_ERROR_INVALID_PARAMETER = -997,
  VEXA_ERROR_OUT_OF_MEMORY = -998,
  VEXA_ERROR_VERSION_MISMATCH = -1000
};

/* What raises the hooks' errors, beyond what their names say:
 * - An entry that fails (-998, -993, or std::bad_alloc passing out of
 *   _VEXA_enterTask) leaves the thread's current task as it was. The
 *   program's leave of the failed task raises -992 and leaves nothing; the
 *   task it would have interrupted goes on and leaves normally. A refused
 *   entry (-993) is not counted as a live task.
 * - -992 from _VEXA_absorbTask(id) on a thread with no current task: the
 *   finished task's accesses are dropped, as _VEXA_releaseTask would.
 * - -997 from _VEXA_absorbTask(id) / _VEXA_releaseTask(id) when no task
 *   finished with that id, from _VEXA_forgetMemory(begin, end) with begin
 *   above end (nothing is forgotten), and from _VEXA_releaseLock(lock) when
 *   the current task does not hold that lock (a thread without a current
 *   task is not checked: its locks are not tracked).
 * Under logging bit 0x4 each of these prints, after the error's line, one
 * naming the value: "vexa: HOOK(VALUES): PROBLEM", values in decimal (task
 * ids) or hexadecimal with 0x (addresses), for example
 *   vexa: _VEXA_releaseTask(42): no finished task has this id
 *   vexa: _VEXA_forgetMemory(0x2000, 0x1000): begin lies above end; nothing is forgotten
 *
 * A bridge loaded with the library may define __vexa_bridge_locks (a
 * pointer to its registry of locks): the library's fork handlers then take
 * the bridge's locks too, in the one lock order. It is the bridge's symbol,
 * looked up weakly; programs have no use for it. */

/* Words of __vexa_config. */
enum {
  VEXA_CONFIG_VERSION = 0, /* must hold 1 */
  VEXA_CONFIG_PENDING = 1, /* command bits, cleared when executed */
  VEXA_CONFIG_ENABLE = 2,  /* detectors and suspension marking */
  VEXA_CONFIG_COUNT = 3    /* records to apply / capacity to allocate */
};

/* Bits of the pending word. */
#define VEXA_PENDING_RESET_TSM 0x1u
#define VEXA_PENDING_RESET_RE 0x2u
#define VEXA_PENDING_PING 0x20000000u
#define VEXA_PENDING_APPLY_FILTERS 0x40000000u
#define VEXA_PENDING_ALLOCATE_FILTERS 0x80000000u

/* Bits of the enable word. */
#define VEXA_ENABLE_TSM 0x1u
#define VEXA_ENABLE_RE 0x2u
#define VEXA_ENABLE_SUSPEND_MARKING 0x80000000u
/* Raise each distinct detection once and count its repeats (see
 * __vexa_distinct): a data sharing offense whose pair of code addresses
 * (offender's, offense's) was raised before is dropped from its detection,
 * and a detection left without offenses raises nothing; a reentrant call of
 * a function raised before raises nothing. Set at load by VEXA_DISTINCT=1. */
#define VEXA_ENABLE_DISTINCT 0x40000000u
/* Printing without a debugger is bounded by VEXA_PRINT_LIMIT=N (decimal,
 * read at load; 0, the default, is no bound): after N detection reports on
 * stderr the library prints no more, while every detection is still raised
 * and, in distinct mode, counted; the line at unload says how many were held
 * back. */

/* Bits of __VEXA_isGuardedCall: which hook groups run at all. */
#define VEXA_GUARD_TASK 0x1u
#define VEXA_GUARD_MEMORY 0x2u
#define VEXA_GUARD_FUNCTION 0x4u

typedef enum tsm_access_t { TSM_READ = 0, TSM_WRITE = 1 } tsm_access_t;

/* One access as the debugger sees it in a data sharing detection. */
typedef struct tsm_access_desc_t {
  uint32_t access; /* tsm_access_t */
  uint32_t size;
  uint64_t base;
  uint64_t task;   /* task_id of the accessing task's thread identity */
  uint64_t thread; /* pthread_self() of the thread that ran the task */
  uint64_t code;   /* return address of the memory hook call */
} tsm_access_desc_t;

/* One entry of a reentrant call detection's array. */
typedef struct vexa_task_identity_t {
  uint64_t task_id;
  uint64_t thread;
} vexa_task_identity_t;

/* __vexa_current_detection. Bytes 8..63 are meaningful for reasons 256 and
 * 257 only; the arrays they point to live only while the program is stopped
 * for that event. */
typedef struct vexa_detection_t {
  uint64_t code; /* where the event arose: return address of the latest hook */
  union {
    struct {
      tsm_access_desc_t offender;
      uint64_t count;    /* entries in offended, at least 1 */
      uint64_t offended; /* address of tsm_access_desc_t[count] */
    } tsm;
    struct {
      uint64_t function;
      uint64_t count;    /* entries in offenses, at least 2 */
      uint64_t offenses; /* address of vexa_task_identity_t[count], caller last */
    } re;
  } u;
} vexa_detection_t;

/* A filter record, written by the debugger into the filter buffer. */
typedef struct vexa_filter_t {
  uint8_t feature; /* 1 tsm, 2 re */
  uint8_t reserved1;
  uint8_t kind;    /* low 4 bits: 1 code ranges, 2 data ranges, 4 threads */
  uint8_t action;  /* low 4 bits: 1 clear, 2 add, 4 remove */
  uint32_t reserved4;
  uint64_t first;  /* range start, or task_id */
  uint64_t second; /* range size, or thread */
} vexa_filter_t;

#define VEXA_FEATURE_TSM 1
#define VEXA_FEATURE_RE 2
#define VEXA_FILTER_CODE 1
#define VEXA_FILTER_DATA 2
#define VEXA_FILTER_THREAD 4
#define VEXA_FILTER_CLEAR 1
#define VEXA_FILTER_ADD 2
#define VEXA_FILTER_REMOVE 4

/* One distinct detection and how often it occurred. */
typedef struct vexa_distinct_t {
  uint32_t kind; /* 256 data sharing, 257 reentrant call */
  uint32_t reserved;
  uint64_t first;  /* 256: the offender's code address; 257: the function */
  uint64_t second; /* 256: the offense's code address; 257: 0 */
  uint64_t seen;   /* occurrences so far, the raised one included */
} vexa_distinct_t;

/* The distinct detections so far, in the order they were first raised.
 * Refreshed before every stop while VEXA_ENABLE_DISTINCT is set, and before
 * the unload stop (reason 2) whenever it is not empty; the array lives until
 * the program goes on. */
typedef struct vexa_distinct_table_t {
  uint64_t count;   /* entries */
  uint64_t entries; /* address of vexa_distinct_t[count] */
} vexa_distinct_table_t;

/* The communication block. */
extern uint32_t __vexa_config[4];
extern uint64_t __vexa_filter_space;
extern vexa_event_reason_t __vexa_event_reason;
extern vexa_detection_t __vexa_current_detection;
extern uint32_t __VEXA_isGuardedCall;
extern vexa_distinct_table_t __vexa_distinct;

/* Empty; the debugger's breakpoint. A program may define its own, which then
 * receives every stop (the test suite's in-process debugger does). */
void __vexa_switch_to_debugger(void);

/* Hooks inserted by the instrumenting compiler. The code address of every
 * access and event is the hook call's return address. */
void _VEXA_enterTask(void);
void _VEXA_leaveTask(void);
void _VEXA_suspendTask(void);
void _VEXA_resumeTask(void);
void _VEXA_readMemory(void const* address, unsigned size);
void _VEXA_writeMemory(void const* address, unsigned size);
void _VEXA_enterFunction(void const* function, void const* frame);
void _VEXA_leaveFunction(void const* function, void const* frame);

/* The same hooks with the code address given explicitly, for callers that
 * are not the instrumented code itself (a bridge from another
 * instrumentation scheme): reports then name the program's call site, not
 * the bridge. */
void _VEXA_enterTaskAt(void const* code);
void _VEXA_leaveTaskAt(void const* code);
void _VEXA_suspendTaskAt(void const* code);
void _VEXA_resumeTaskAt(void const* code);
void _VEXA_readMemoryAt(void const* address, unsigned size, void const* code);
void _VEXA_writeMemoryAt(void const* address, unsigned size, void const* code);
void _VEXA_enterFunctionAt(void const* function, void const* frame, void const* code);
void _VEXA_leaveFunctionAt(void const* function, void const* frame, void const* code);

/* _VEXA_enterTaskAt for a caller that tells its tasks apart: the thread
 * model records (task_id, pthread_self()) for the task instead of
 * (0, pthread_self()), so reports and thread filters carry task_id. Any
 * value may be given; 0 is what the other task hooks record. */
void _VEXA_enterTaskAs(uint64_t task_id, void const* code);

/* The race rule, for a caller that knows how its tasks are ordered (the
 * bridge for OpenMP programs). By default two live tasks conflict whenever
 * they touch the same memory and one of them writes; these calls narrow
 * that down to the accesses that can happen at once whatever the schedule.
 *
 * A task entered with _VEXA_enterTaskAs(task_id, ...) may end with
 * _VEXA_finishTaskAt instead of _VEXA_leaveTaskAt: it leaves its thread,
 * but its accesses stay and keep conflicting until the caller says what
 * orders it: _VEXA_absorbTask(task_id) makes them the calling thread's
 * current task's own (as if it had made them at its current step: a task
 * that waited for the finished one), _VEXA_releaseTask(task_id) drops them.
 * Its identity stays in reports until then. A second task finishing with
 * the same id leaves instead; an id not finished raises -997.
 *
 * _VEXA_placeTask(place, step) tells where the current task stands: `place`
 * is any non-null value of the caller's (its node in its task graph) and
 * `step` a count that the caller raises as the task goes on. Every access
 * remembers its task's place and step. With an order registered by
 * _VEXA_orderTasksBy, an earlier access of another task whose place is not
 * null conflicts with the access being checked only when
 * ordered(place, step) returns 0: `ordered` answers whether that access is
 * ordered before the calling thread's current task as it is now. It runs
 * inside the library under an internal lock, on any thread, and must not
 * call any hook.
 *
 * Two atomic accesses (_VEXA_readAtomicAt, _VEXA_writeAtomicAt) never
 * conflict with each other, only with plain ones. Two accesses made while
 * their tasks held a common lock (_VEXA_acquireLock / _VEXA_releaseLock
 * around them, by any value that names the lock; nesting counts) never
 * conflict.
 *
 * _VEXA_forgetMemory(begin, end) drops every access to the objects that lie
 * within [begin, end): memory that died (a finished task's stack frames)
 * and whose next use is another object. */
typedef int (*vexa_order_t)(void const* place, uint64_t step);
void _VEXA_finishTaskAt(void const* code);
void _VEXA_absorbTask(uint64_t task_id);
void _VEXA_releaseTask(uint64_t task_id);
void _VEXA_placeTask(void const* place, uint64_t step);
void _VEXA_orderTasksBy(vexa_order_t ordered);
void _VEXA_readAtomicAt(void const* address, unsigned size, void const* code);
void _VEXA_writeAtomicAt(void const* address, unsigned size, void const* code);
void _VEXA_acquireLock(void const* lock);
void _VEXA_releaseLock(void const* lock);
void _VEXA_forgetMemory(void const* begin, void const* end);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* Debuggers read these offsets; they must never move. */
#if defined(__cplusplus) && __cplusplus >= 201103L
#define VEXA_STATIC_ASSERT static_assert
#elif !defined(__cplusplus)
#define VEXA_STATIC_ASSERT _Static_assert
#else /* C++98/03 programs: the same check as an array of negative size */
#define VEXA_SA_CAT2(a, b) a##b
#define VEXA_SA_CAT(a, b) VEXA_SA_CAT2(a, b)
#define VEXA_STATIC_ASSERT(c, m) typedef char VEXA_SA_CAT(vexa_layout_check_, __LINE__)[(c) ? 1 : -1]
#endif
VEXA_STATIC_ASSERT(sizeof(vexa_event_reason_t) == 4, "debugger reads this layout");
VEXA_STATIC_ASSERT(sizeof(tsm_access_desc_t) == 40, "debugger reads this layout");
VEXA_STATIC_ASSERT(offsetof(tsm_access_desc_t, size) == 4, "debugger reads this layout");
VEXA_STATIC_ASSERT(offsetof(tsm_access_desc_t, base) == 8, "debugger reads this layout");
VEXA_STATIC_ASSERT(offsetof(tsm_access_desc_t, task) == 16, "debugger reads this layout");
VEXA_STATIC_ASSERT(offsetof(tsm_access_desc_t, thread) == 24, "debugger reads this layout");
VEXA_STATIC_ASSERT(offsetof(tsm_access_desc_t, code) == 32, "debugger reads this layout");
VEXA_STATIC_ASSERT(sizeof(vexa_task_identity_t) == 16, "debugger reads this layout");
VEXA_STATIC_ASSERT(sizeof(vexa_detection_t) == 64, "debugger reads this layout");
VEXA_STATIC_ASSERT(offsetof(vexa_detection_t, u.tsm.offender) == 8, "debugger reads this layout");
VEXA_STATIC_ASSERT(offsetof(vexa_detection_t, u.tsm.count) == 48, "debugger reads this layout");
VEXA_STATIC_ASSERT(offsetof(vexa_detection_t, u.tsm.offended) == 56, "debugger reads this layout");
VEXA_STATIC_ASSERT(offsetof(vexa_detection_t, u.re.function) == 8, "debugger reads this layout");
VEXA_STATIC_ASSERT(offsetof(vexa_detection_t, u.re.count) == 16, "debugger reads this layout");
VEXA_STATIC_ASSERT(offsetof(vexa_detection_t, u.re.offenses) == 24, "debugger reads this layout");
VEXA_STATIC_ASSERT(sizeof(vexa_distinct_t) == 32, "debugger reads this layout");
VEXA_STATIC_ASSERT(offsetof(vexa_distinct_t, first) == 8, "debugger reads this layout");
VEXA_STATIC_ASSERT(offsetof(vexa_distinct_t, second) == 16, "debugger reads this layout");
VEXA_STATIC_ASSERT(offsetof(vexa_distinct_t, seen) == 24, "debugger reads this layout");
VEXA_STATIC_ASSERT(sizeof(vexa_distinct_table_t) == 16, "debugger reads this layout");
VEXA_STATIC_ASSERT(offsetof(vexa_distinct_table_t, entries) == 8, "debugger reads this layout");
VEXA_STATIC_ASSERT(sizeof(vexa_filter_t) == 24, "debugger writes this layout");
VEXA_STATIC_ASSERT(offsetof(vexa_filter_t, kind) == 2, "debugger writes this layout");
VEXA_STATIC_ASSERT(offsetof(vexa_filter_t, action) == 3, "debugger writes this layout");
VEXA_STATIC_ASSERT(offsetof(vexa_filter_t, first) == 8, "debugger writes this layout");
VEXA_STATIC_ASSERT(offsetof(vexa_filter_t, second) == 16, "debugger writes this layout");

#endif /* VEXA_H */
