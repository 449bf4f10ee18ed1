"""The races of a generated program, from its structure alone.

Builds the happens-before graph of one execution of the program's logical
task graph for a team of `threads` implicit tasks, then compares every two
accesses of the same variable. Nodes are created in an order that is a
topological order of the graph (a child's nodes are made at its creation
point, a join after what it joins), so reachability is one pass of bitsets.

Edges, as OpenMP defines them:
- program order within a task;
- creation: what the parent did before creating a task precedes the task;
- an undeferred (if(0)) task ends before its parent continues; its own
  children are not waited for;
- taskwait: the parent's children created before it (not grandchildren)
  end before what follows; with depend, only the children its dependences
  would make an undeferred task wait for;
- taskgroup end: every task created in it, and every descendant of those,
  ends before what follows;
- dependences, between sibling tasks only, from an earlier to a later one
  on the same variable, unless both are `in` or both `mutexinoutset`;
- a barrier: everything every implicit task did before it, and every
  explicit task created before it, precedes what any of them does after;
  the region's end is a barrier, and the initial task continues after it.

Mutual exclusion is not an edge: two accesses under a common critical name
or omp lock never race, nor do accesses made directly by two sibling tasks
that share a mutexinoutset variable (a lock per parent and variable, held
over the task's own statements, not its children's). Two atomic accesses
never race; a race needs a write.

One implicit task (the first) runs every single: the grammar allows at
most one `single nowait` between barriers, and by the symmetry of the
implicit tasks which one runs it changes no pair of lines.
"""

from taskgen import Access, All, Barrier, Guarded, Single, Task, Taskgroup, Taskwait

ORDERING = {
    ("in", "in"): False,
    ("mutexinoutset", "mutexinoutset"): False,
}


def dep_orders(earlier, later):
    """Whether a dependence of `later` on a sibling `earlier` orders them."""
    for k1, v1 in earlier:
        for k2, v2 in later:
            if v1 == v2 and ORDERING.get((k1, k2), True):
                return True
    return False


class TaskInstance:
    def __init__(self, uid, parent=None, deps=(), locks=frozenset()):
        self.uid = uid
        self.parent = parent
        self.deps = list(deps)
        self.children = []  # TaskInstance, in creation order
        self.locks = locks  # exclusion held over its own statements
        self.groups = []  # taskgroups (lists of members) it belongs to
        self.open_groups = []  # taskgroups open in its own code
        self.end = None


class Graph:
    def __init__(self, threads):
        self.threads = threads
        self.preds = []
        self.access = []  # per node: (sid, var, write, atomic, locks) or None
        self.uids = 0
        self.segment_tasks = []

    def node(self, preds, access=None):
        self.preds.append([p for p in preds if p is not None])
        self.access.append(access)
        return len(self.preds) - 1

    def instance(self, **kw):
        self.uids += 1
        return TaskInstance(self.uids, **kw)

    def body(self, task, nodes, cur, locks=frozenset()):
        for n in nodes:
            cur = self.statement(task, n, cur, locks)
        return cur

    def statement(self, task, n, cur, locks):
        if isinstance(n, Access):
            return self.node([cur], (n.sid, n.var, n.write, n.atomic, task.locks | locks))
        if isinstance(n, Guarded):
            return self.body(task, n.body, cur, locks | {n.lock})
        if isinstance(n, Taskwait):
            return self.node([cur] + [c.end for c in task.children if not n.deps or dep_orders(c.deps, n.deps)])
        if isinstance(n, Taskgroup):
            group = []
            task.open_groups.append(group)
            cur = self.body(task, n.body, cur, locks)
            task.open_groups.pop()
            return self.node([cur] + [m.end for m in group])
        if isinstance(n, Task):
            return self.create(task, n, cur)
        raise ValueError("not a statement: %r" % n)

    def create(self, parent, n, cur):
        created = self.node([cur])
        mutex = frozenset("mutexinoutset %d %s" % (parent.uid, v) for k, v in n.deps if k == "mutexinoutset")
        child = self.instance(parent=parent, deps=n.deps, locks=mutex)
        preds = [created] + [s.end for s in parent.children if dep_orders(s.deps, child.deps)]
        begin = self.node(preds)
        child.groups = parent.groups + list(parent.open_groups)
        last = self.body(child, n.body, begin)
        child.end = self.node([last])
        parent.children.append(child)
        for g in child.groups:
            g.append(child)
        self.segment_tasks.append(child)
        if n.if0:
            return self.node([created, child.end])
        return created

    def region(self, items):
        start = self.node([])
        implicit = [self.instance() for _ in range(self.threads)]
        cur = [start] * self.threads
        segment = []

        def barrier():
            nonlocal cur, segment
            for i, t in enumerate(implicit):
                for item in segment:
                    if isinstance(item, All) or (isinstance(item, Single) and i == 0):
                        cur[i] = self.body(t, item.body, cur[i])
            bar = self.node(cur + [c.end for c in self.segment_tasks])
            self.segment_tasks = []
            cur = [bar] * self.threads
            segment = []

        for item in items:
            if isinstance(item, Barrier):
                barrier()
            else:
                segment.append(item)
                if isinstance(item, Single) and not item.nowait:
                    barrier()
        barrier()  # the region's end
        end = cur[0]
        for var in ("v0", "v1", "v2"):
            end = self.node([end], ("end", var, False, False, frozenset()))

    def reach(self):
        """anc[n]: bitset of the nodes that precede node n."""
        anc = []
        for preds in self.preds:
            a = 0
            for p in preds:
                a |= anc[p] | (1 << p)
            anc.append(a)
        return anc


def races(program, threads):
    """The racing pairs of accesses, as a set of (sid, sid) with the smaller
    line's statement first when lines are given later; here sorted by sid
    repr so that a pair names two statements whatever their order."""
    g = Graph(threads)
    g.region(program.items)
    anc = g.reach()
    accesses = [(i, a) for i, a in enumerate(g.access) if a is not None]
    by_var = {}
    for i, a in accesses:
        by_var.setdefault(a[1], []).append((i, a))
    pairs = set()
    for items in by_var.values():
        for x in range(len(items)):
            i, a = items[x]
            for y in range(x + 1, len(items)):
                j, b = items[y]
                if not (a[2] or b[2]):
                    continue
                if a[3] and b[3]:
                    continue
                if a[4] & b[4]:
                    continue
                if (anc[j] >> i) & 1 or (anc[i] >> j) & 1:
                    continue
                pairs.add(pair(a[0], b[0]))
    return pairs


def pair(s, t):
    return (s, t) if str(s) <= str(t) else (t, s)


def line_pairs(sid_pairs, line_of):
    return {tuple(sorted((line_of[s], line_of[t]))) for s, t in sid_pairs}
