"""Time to render a select with a four-condition filter, a limit and an order.

Run: PYTHONPATH=. python benchmarks/bench_render.py [iterations]
Prints the mean time per Build() and per full chain (builder + filter + Build).
"""

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
                        ("short select built + rendered", short_select), ("string formatting", formatted)]:
        best = min(timeit.repeat(stmt, number=iterations, repeat=5))
        print(f"{label:28s} {best / iterations * 1e6:8.3f} us")


if __name__ == "__main__":
    main()
