"""Random OpenMP task programs from a small grammar, and their C text.

A program is one parallel region whose body is a list of region items,
each run by the implicit tasks of the team:

  All(body)            every implicit task runs body
  Single(body, nowait) one implicit task runs body; a barrier follows
                       unless nowait
  Barrier()            #pragma omp barrier

and a body is a list of statements:

  Access(var, write, atomic)      one read or write of a shared int
  Guarded(lock, accesses)         accesses under a critical (named or
                                  not) or an omp lock
  Task(if0, deps, body)           #pragma omp task [if(0)] [depend(...)]
  Taskwait(deps)                  #pragma omp taskwait [depend(...)]
  Taskgroup(body)

Every access is a statement on a line of its own, so that a report's line
names the statement. The grammar leaves out what would make the ground
truth depend on the schedule or on a runtime's reading of the standard:
no task, taskwait or lock inside a guarded block (a lock held across a
scheduling point), no single after a `single nowait` before the next barrier
(which thread runs each decides whether they are ordered), and a task with
mutexinoutset is deferred, and has neither undeferred children nor a
taskwait or taskgroup (whether its exclusion covers a child that runs
while it waits is not settled).

Every clause used is one GCC 12 and clang 14 accept, in C and in C++;
depend(inoutset:) and omp_all_memory, which they reject, are left out.
The programs compile as C and as C++ (each task declares the local its
reads go to, so nothing of a parent's frame is captured).
"""

import random

VARS = ("v0", "v1", "v2")
LOCKS = ("critical", "critical(ca)", "critical(cb)", "lock0", "lock1")
DEP_KINDS = ("in", "out", "inout", "mutexinoutset")
MAX_TASK_DEPTH = 4


class Node:
    """A statement; `sid` names it across shrinking, whatever its line."""

    def __init__(self, sid):
        self.sid = sid

    def children(self):
        return []


class Access(Node):
    def __init__(self, sid, var, write, atomic=False):
        super().__init__(sid)
        self.var, self.write, self.atomic = var, write, atomic


class Guarded(Node):
    def __init__(self, sid, lock, body):
        super().__init__(sid)
        self.lock, self.body = lock, body

    def children(self):
        return self.body


class Task(Node):
    def __init__(self, sid, body, if0=False, deps=()):
        super().__init__(sid)
        self.body, self.if0, self.deps = body, if0, list(deps)

    def children(self):
        return self.body


class Taskwait(Node):
    """With deps, waits only for the children those dependences name."""

    def __init__(self, sid, deps=()):
        super().__init__(sid)
        self.deps = list(deps)


class Taskgroup(Node):
    def __init__(self, sid, body):
        super().__init__(sid)
        self.body = body

    def children(self):
        return self.body


class All(Node):
    def __init__(self, sid, body):
        super().__init__(sid)
        self.body = body

    def children(self):
        return self.body


class Single(Node):
    def __init__(self, sid, body, nowait=False):
        super().__init__(sid)
        self.body, self.nowait = body, nowait

    def children(self):
        return self.body


class Barrier(Node):
    pass


class Program:
    def __init__(self, items, seed=None):
        self.items, self.seed = items, seed


def walk(nodes):
    """Every statement, parents before their children."""
    for n in nodes:
        yield n
        yield from walk(n.children())


def has_mutex(task):
    return any(kind == "mutexinoutset" for kind, _ in task.deps)


def valid(program):
    """Whether the program stays inside the grammar whose ground truth is
    schedule-independent (see the module's comment)."""
    nowait_before = False  # a single nowait since the last barrier
    for item in program.items:
        if isinstance(item, Barrier):
            nowait_before = False
        elif isinstance(item, Single):
            if nowait_before:
                return False
            nowait_before = item.nowait
        if not body_valid(item.body if not isinstance(item, Barrier) else [], 0, False):
            return False
    return True


def body_valid(body, depth, in_mutex):
    for n in body:
        if isinstance(n, Guarded):
            if not all(isinstance(a, Access) for a in n.body):
                return False
        elif isinstance(n, Task):
            if depth + 1 > MAX_TASK_DEPTH:
                return False
            if in_mutex and n.if0:
                return False
            vars_ = [v for _, v in n.deps]
            if len(vars_) != len(set(vars_)):
                return False
            mutex = has_mutex(n)
            if mutex and n.if0:
                return False
            if not body_valid(n.body, depth + 1, mutex):
                return False
        elif isinstance(n, (Taskwait, Taskgroup)):
            if in_mutex:
                return False
            if isinstance(n, Taskwait) and any(k == "mutexinoutset" for k, _ in n.deps):
                return False
            if isinstance(n, Taskgroup) and not body_valid(n.body, depth, in_mutex):
                return False
        elif isinstance(n, (All, Single, Barrier)):
            return False
    return True


class Generator:
    """Draws a program from a seed; the same seed gives the same program."""

    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.seed = seed
        self.next_sid = 0

    def sid(self):
        self.next_sid += 1
        return self.next_sid

    def access(self, allow_atomic=True):
        r = self.rng
        var = r.choice(VARS)
        write = r.random() < 0.5
        atomic = allow_atomic and r.random() < 0.15
        return Access(self.sid(), var, write, atomic)

    def body(self, depth, in_mutex, budget):
        r = self.rng
        out = []
        for _ in range(r.randint(1, budget)):
            roll = r.random()
            if roll < 0.40:
                out.append(self.access())
            elif roll < 0.52:
                lock = r.choice(LOCKS)
                out.append(Guarded(self.sid(), lock, [self.access(False) for _ in range(r.randint(1, 2))]))
            elif roll < 0.80 and depth < MAX_TASK_DEPTH:
                out.append(self.task(depth + 1, in_mutex, max(1, budget - 1)))
            elif roll < 0.90 and not in_mutex:
                deps = []
                if r.random() < 0.3:
                    deps = [(r.choice(DEP_KINDS[:3]), r.choice(VARS))]
                out.append(Taskwait(self.sid(), deps))
            elif not in_mutex and depth < MAX_TASK_DEPTH:
                out.append(Taskgroup(self.sid(), self.body(depth, in_mutex, max(1, budget - 1))))
            else:
                out.append(self.access())
        return out

    def task(self, depth, parent_mutex, budget):
        r = self.rng
        deps = []
        if r.random() < 0.45:
            for var in r.sample(VARS, r.randint(1, 2)):
                deps.append((r.choices(DEP_KINDS, weights=(4, 3, 3, 2))[0], var))
        mutex = any(k == "mutexinoutset" for k, _ in deps)
        if0 = not mutex and not parent_mutex and r.random() < 0.2
        sid = self.sid()
        return Task(sid, self.body(depth, mutex, budget), if0, deps)

    def program(self):
        # Programs of a few accesses say little: draw again (from the same
        # stream, so the seed still decides) until there are enough.
        while True:
            p = self.draw()
            if sum(isinstance(n, Access) for n in walk(p.items)) >= 8:
                return p

    def draw(self):
        r = self.rng
        self.next_sid = 0
        items = []
        nowait_open = False
        for _ in range(r.randint(2, 5)):
            roll = r.random()
            if roll < 0.55 and not nowait_open:
                nowait_open = r.random() < 0.3
                items.append(Single(self.sid(), self.body(0, False, 6), nowait_open))
            elif roll < 0.85:
                items.append(All(self.sid(), self.body(0, False, 3)))
            else:
                items.append(Barrier(self.sid()))
                nowait_open = False
        return Program(items, self.seed)


def generate(seed, race_free=None):
    """The program of a seed. Odd seeds (or race_free=True) are made free of
    races at every team size by dropping, one at a time, the access that
    takes part in most races: what orders the rest stays."""
    import oracle
    p = Generator(seed).program()
    if race_free is None:
        race_free = seed % 2 == 1
    while race_free:
        pairs = oracle.races(p, 2)
        if not pairs:
            break
        count = {}
        for a, b in pairs:
            for s in (a, b):
                count[s] = count.get(s, 0) + 1
        worst = max(sorted(count), key=lambda s: count[s])
        p = without(p, {worst})
    return p


class Emitter:
    """C text of a program, with the line of every access statement."""

    def __init__(self):
        self.lines = []
        self.line_of = {}  # access sid -> line

    def out(self, depth, text):
        self.lines.append("  " * depth + text)

    def access(self, a, depth):
        if a.atomic:
            self.out(depth, "#pragma omp atomic" + ("" if a.write else " read"))
        self.line_of[a.sid] = len(self.lines) + 1
        if a.atomic and a.write:
            self.out(depth, "%s += 1;" % a.var)
        elif a.atomic:
            self.out(depth, "r = %s;" % a.var)
        elif a.write:
            self.out(depth, "%s = %d;" % (a.var, len(self.lines) + 1))
        else:
            self.out(depth, "r += %s;" % a.var)

    def body(self, nodes, depth):
        for n in nodes:
            if isinstance(n, Access):
                self.access(n, depth)
            elif isinstance(n, Guarded):
                if n.lock.startswith("critical"):
                    self.out(depth, "#pragma omp " + n.lock)
                    self.out(depth, "{")
                    self.body(n.body, depth + 1)
                    self.out(depth, "}")
                else:
                    self.out(depth, "omp_set_lock(&%s);" % n.lock)
                    self.body(n.body, depth)
                    self.out(depth, "omp_unset_lock(&%s);" % n.lock)
            elif isinstance(n, Task):
                clauses = "" if not n.if0 else " if(0)"
                for kind, var in n.deps:
                    clauses += " depend(%s: %s)" % (kind, var)
                self.out(depth, "#pragma omp task" + clauses)
                self.out(depth, "{")
                self.out(depth + 1, "int r = 0;")
                self.body(n.body, depth + 1)
                self.out(depth + 1, "(void)r;")
                self.out(depth, "}")
            elif isinstance(n, Taskwait):
                self.out(depth, "#pragma omp taskwait" + "".join(" depend(%s: %s)" % d for d in n.deps))
            elif isinstance(n, Taskgroup):
                self.out(depth, "#pragma omp taskgroup")
                self.out(depth, "{")
                self.body(n.body, depth + 1)
                self.out(depth, "}")
            else:
                raise ValueError("not a statement: %r" % n)

    def program(self, p):
        self.out(0, "/* vexa task program generator, seed %s */" % p.seed)
        self.out(0, "#include <stdio.h>")
        self.out(0, "#include <omp.h>")
        self.out(0, "")
        self.out(0, "int %s;" % ", ".join(VARS))
        self.out(0, "omp_lock_t lock0, lock1;")
        self.out(0, "")
        self.out(0, "int main(void) {")
        self.out(1, "omp_init_lock(&lock0);")
        self.out(1, "omp_init_lock(&lock1);")
        self.out(0, "#pragma omp parallel")
        self.out(1, "{")
        self.out(2, "int r = 0;")
        for item in p.items:
            if isinstance(item, Barrier):
                self.out(0, "#pragma omp barrier")
            elif isinstance(item, Single):
                self.out(0, "#pragma omp single" + (" nowait" if item.nowait else ""))
                self.out(2, "{")
                self.body(item.body, 3)
                self.out(2, "}")
            else:
                self.out(2, "{")
                self.body(item.body, 3)
                self.out(2, "}")
        self.out(2, "(void)r;")
        self.out(1, "}")
        self.out(1, "omp_destroy_lock(&lock0);")
        self.out(1, "omp_destroy_lock(&lock1);")
        self.line_of["end"] = len(self.lines) + 1
        self.out(1, 'printf("%%d %%d %%d\\n", %s);' % ", ".join(VARS))
        self.out(1, "return 0;")
        self.out(0, "}")
        return "\n".join(self.lines) + "\n"


def emit(program):
    """(source text, {access sid: line})."""
    e = Emitter()
    text = e.program(program)
    return text, e.line_of


def without(program, drop):
    """A copy of the program without the statements whose sids are in drop."""
    import copy
    p = copy.deepcopy(program)

    def prune(nodes):
        kept = [n for n in nodes if n.sid not in drop]
        for n in kept:
            if hasattr(n, "body"):
                n.body = prune(n.body)
        return kept

    p.items = prune(p.items)
    return p
