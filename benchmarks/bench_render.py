"""Time to render a select with a four-condition filter, a limit and an order.

Run: PYTHONPATH=. python benchmarks/bench_render.py [iterations]
Prints the best mean time per Build() and per full chain (builder + filter +
Build), of a short select, of the six-column select of
((age > x) & (name == y)) | (active == 1) with LIMIT 20 (values changing on
every call: one shape, its text kept; and with a new LIMIT offset every call:
a new shape each time, the cost of rendering one whose text is not kept), of
an update and a delete by key, and the floor of the same text made by string
formatting.
"""
import itertools

import sys
import timeit

from Quillon.DB.Generator import SqlGenerator
from Quillon.Model.Columns import IntProperty, StrProperty
from Quillon.Model.Entity import Entity


class User(Entity):
    tableName = "user"
    id = IntProperty(pk=True)
    name = StrProperty()
    age = IntProperty()
    score = IntProperty()
    active = IntProperty()
    note = StrProperty()


def make_filter():
    return (User.age > 18) & ((User.name == "bob") | (User.score >= 10)) & (User.id != 3)


def prepared():
    g = SqlGenerator().select(User.id, User.name, User.age).where(make_filter())
    g.From(User)
    g.Limit(10, 20)
    g.orderBy("user.age DESC")
    return g


def whole_chain():
    return prepared().Build()


def short_select():
    """The select of ((age > x) & (name == y)) | (active == 1) with a LIMIT, built and rendered."""
    g = SqlGenerator().select(User.id, User.name, User.age).where(
        ((User.age > 30) & (User.name == "bob")) | (User.active == 1))
    g.From(User)
    g.Limit(10, 0)
    return g.Build()


ages = itertools.cycle(range(18, 90))


def six_columns():
    """The six-column select with a LIMIT, built and rendered, a new age each time."""
    g = SqlGenerator().select(User.id, User.name, User.age, User.active, User.score, User.note).where(
        ((User.age > next(ages)) & (User.name == "bob")) | (User.active == 1)).From(User)
    g.Limit(20, 0)
    return g.Build()


offsets = itertools.cycle(range(100_000))


def six_columns_new_offset():
    """The same select with a new offset each time: each is a new shape."""
    g = SqlGenerator().select(User.id, User.name, User.age, User.active, User.score, User.note).where(
        ((User.age > next(ages)) & (User.name == "bob")) | (User.active == 1)).From(User)
    g.Limit(20, next(offsets))
    return g.Build()


def update_by_key():
    return SqlGenerator().update(User).set({"name": "age", "value": next(ages)}).where(User.id == 7).Build()


def delete_by_key():
    return SqlGenerator().delete(User).where(User.id == next(ages)).Build()


def formatted():
    """The floor: the same text and arguments by string formatting."""
    return ("SELECT user.id, user.name, user.age FROM user WHERE (user.age > %s AND user.name = %s) OR user.active = %s "
            "LIMIT %s" % ("%s", "%s", "%s", "%s"), (30, "bob", 1, 10))


def main():
    iterations = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    g = prepared()
    print(g.Build()[0])
    for label, stmt in [("Build() only", g.Build), ("builder + filter + Build()", whole_chain),
                        ("build_where only", lambda: SqlGenerator.build_where(g.whereCol)),
                        ("short select built + rendered", short_select), ("six-column select, LIMIT 20", six_columns),
                        ("  the same, a new offset each", six_columns_new_offset),
                        ("update by key", update_by_key), ("delete by key", delete_by_key),
                        ("string formatting", formatted)]:
        best = min(timeit.repeat(stmt, number=iterations, repeat=5))
        print(f"{label:30s} {best / iterations * 1e6:8.3f} us")


if __name__ == "__main__":
    main()
