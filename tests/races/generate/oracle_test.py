"""The oracle on hand-written programs whose races are known."""

import os
import sys
import unittest

# Nothing is written into the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from oracle import races  # noqa: E402
from taskgen import (All, Access, Barrier, Guarded, Program, Single, Task, Taskgroup,  # noqa: E402
                     Taskwait, emit, valid)


class Ids:
    """Statement builders with names for the accesses a test asserts on."""

    def __init__(self):
        self.n = 0

    def sid(self):
        self.n += 1
        return self.n

    def w(self, name, var="v0", atomic=False):
        return Access(name, var, True, atomic)

    def r(self, name, var="v0", atomic=False):
        return Access(name, var, False, atomic)

    def task(self, *body, if0=False, deps=()):
        return Task(self.sid(), list(body), if0, deps)

    def wait(self, deps=()):
        return Taskwait(self.sid(), deps)

    def group(self, *body):
        return Taskgroup(self.sid(), list(body))

    def lock(self, name, *body):
        return Guarded(self.sid(), name, list(body))

    def single(self, *body, nowait=False):
        return Single(self.sid(), list(body), nowait)

    def all(self, *body):
        return All(self.sid(), list(body))

    def barrier(self):
        return Barrier(self.sid())


def single_program(b, *body):
    return Program([b.single(*body)])


class OracleTest(unittest.TestCase):
    def check(self, program, expected, threads=(1, 2, 4)):
        self.assertTrue(valid(program))
        emit(program)  # every program of a test must also print
        for t in threads if isinstance(threads, tuple) else (threads,):
            self.assertEqual(races(program, t), {tuple(sorted(p)) for p in expected}, "at %d threads" % t)

    def test_siblings_race_until_a_taskwait_orders_them(self):
        b = Ids()
        self.check(single_program(b, b.task(b.w("a")), b.task(b.r("b"))), {("a", "b")})
        self.check(single_program(b, b.task(b.w("a")), b.wait(), b.task(b.r("b"))), set())

    def test_creation_orders_what_the_parent_did_before_only(self):
        b = Ids()
        self.check(single_program(b, b.w("a"), b.task(b.r("b")), b.w("c")), {("b", "c")})

    def test_taskwait_is_shallow_and_taskgroup_deep(self):
        b = Ids()
        self.check(single_program(b, b.task(b.w("a"), b.task(b.w("b"))), b.wait(), b.r("c")), {("b", "c")})
        self.check(single_program(b, b.group(b.task(b.w("a"), b.task(b.w("b")))), b.r("c")), set())

    def test_undeferred_task_ends_before_its_parent_goes_on_but_not_its_children(self):
        b = Ids()
        self.check(single_program(b, b.task(b.w("a"), b.task(b.w("b")), if0=True), b.r("c")), {("b", "c")})
        # The chain of joins: A (if0) joined, its child B still unordered with
        # what A did after creating it, ordered after what A did before.
        self.check(single_program(b, b.task(b.task(b.w("a"), b.task(b.r("b")), b.w("c"), if0=True), if0=True)),
                   {("b", "c")})

    def test_dependences_order_siblings_unless_both_read_or_both_mutex(self):
        b = Ids()
        self.check(single_program(b, b.task(b.w("a"), deps=[("out", "v0")]), b.task(b.r("b"), deps=[("in", "v0")])),
                   set())
        self.check(single_program(b, b.task(b.w("a"), deps=[("in", "v0")]), b.task(b.r("b"), deps=[("in", "v0")])),
                   {("a", "b")})
        self.check(single_program(b, b.task(b.w("a"), deps=[("in", "v1")]), b.task(b.r("b"), deps=[("out", "v1")])),
                   set())
        # mutexinoutset: exclusion between the two, order against an inout.
        self.check(single_program(b, b.task(b.w("a"), deps=[("mutexinoutset", "v1")]),
                                  b.task(b.w("b"), deps=[("mutexinoutset", "v1")]),
                                  b.task(b.r("c"), deps=[("inout", "v1")])), set())
        # ... but not over a child of one of them, nor ordered among themselves.
        self.check(single_program(b, b.task(b.w("a"), b.task(b.w("d")), deps=[("mutexinoutset", "v1")]),
                                  b.task(b.w("b"), deps=[("mutexinoutset", "v1")]),
                                  b.task(b.r("c"), deps=[("inout", "v1")])), {("b", "d"), ("c", "d")})
        # Dependences bind siblings only: a task's child is not ordered by them.
        self.check(single_program(b, b.task(b.task(b.w("a"), deps=[("out", "v0")])),
                                  b.task(b.r("b"), deps=[("in", "v0")])), {("a", "b")})
        # taskwait depend waits for the children its dependences name, and
        # so does an undeferred task with them; neither waits for the rest.
        for wait in (lambda: b.wait(deps=[("in", "v1")]), lambda: b.task(if0=True, deps=[("in", "v1")])):
            self.check(single_program(b, b.task(b.w("a"), deps=[("out", "v1")]), b.task(b.w("b"), deps=[("in", "v1")]),
                                      b.task(b.w("c")), wait(), b.r("d")),
                       {("a", "c"), ("b", "c"), ("b", "d"), ("c", "d")})
        # Transitively: B is never waited for, C depends on it, a taskgroup waits for C.
        self.check(single_program(b, b.task(b.w("a"), deps=[("out", "v0")]),
                                  b.group(b.task(deps=[("in", "v0")])), b.r("c")), set())

    def test_locks_critical_names_and_atomics(self):
        b = Ids()
        self.check(single_program(b, b.task(b.lock("critical", b.w("a"))), b.lock("critical", b.r("b"))), set())
        self.check(single_program(b, b.task(b.lock("critical(ca)", b.w("a"))), b.lock("critical", b.r("b"))),
                   {("a", "b")})
        self.check(single_program(b, b.task(b.lock("lock0", b.w("a"))), b.lock("lock1", b.w("b")),
                                  b.lock("lock0", b.w("c"))), {("a", "b")})
        self.check(single_program(b, b.task(b.w("a", atomic=True)), b.w("b", atomic=True), b.r("c", atomic=True)),
                   set())
        self.check(single_program(b, b.task(b.w("a", atomic=True)), b.r("b"), b.w("c")), {("a", "b"), ("a", "c")})
        self.check(single_program(b, b.task(b.r("a", atomic=True)), b.r("b")), set())

    def test_barriers_and_the_implicit_tasks_of_the_team(self):
        b = Ids()
        racy = Program([b.all(b.task(b.w("a"))), b.all(b.r("b"))])
        self.check(racy, {("a", "b")}, 1)
        self.check(racy, {("a", "b"), ("a", "a")}, 2)
        fixed = Program([b.all(b.task(b.w("a"))), b.barrier(), b.all(b.r("b"))])
        self.check(fixed, set(), 1)
        self.check(fixed, {("a", "a")}, 4)
        # A single ends in a barrier unless nowait; its tasks end there too.
        self.check(Program([b.single(b.task(b.task(b.w("a")))), b.all(b.r("b"))]), set())
        nowait = Program([b.single(b.w("a"), nowait=True), b.all(b.r("b"))])
        self.check(nowait, set(), 1)
        self.check(nowait, {("a", "b")}, 2)
        # Tasks of different implicit tasks are never siblings.
        deps = Program([b.all(b.task(b.w("a"), deps=[("inout", "v0")]))])
        self.check(deps, set(), 1)
        self.check(deps, {("a", "a")}, 2)
        # Everything of the region precedes what follows it.
        self.check(Program([b.single(b.task(b.w("a")), nowait=True)]), set())

    def test_grammar_rejects_schedule_dependent_programs(self):
        b = Ids()
        self.assertFalse(valid(Program([b.single(nowait=True), b.single(nowait=True)])))
        self.assertFalse(valid(Program([b.single(nowait=True), b.all(), b.single()])))
        self.assertTrue(valid(Program([b.single(nowait=True), b.barrier(), b.single(nowait=True)])))
        self.assertFalse(valid(single_program(b, b.task(b.wait(), deps=[("mutexinoutset", "v0")]))))
        self.assertFalse(valid(single_program(b, b.lock("lock0", b.task()))))


if __name__ == "__main__":
    unittest.main()
