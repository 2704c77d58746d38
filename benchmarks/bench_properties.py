"""Micro-benchmark of the per-request work of column properties.

Comparisons and `&`/`|` run on every request that filters, conversions once
per column of every fetched row.  Run with the package importable:

    PYTHONPATH=$PWD python benchmarks/bench_properties.py
"""

import timeit

from Quillon.Model.Columns import (
    BoolProperty,
    FloatProperty,
    IntProperty,
    JsonProperty,
    StrProperty,
    boolSupportType,
)
from Quillon.Model.Entity import Entity


class User(Entity):
    tableName = "user"
    id = IntProperty(pk=True)
    age = IntProperty()
    name = StrProperty()
    score = FloatProperty(typeArgs=(10, 2))
    active = BoolProperty(targetType=boolSupportType.varchar)
    data = JsonProperty()


class Overriding(IntProperty):
    def toDBValue(self, value):
        return value


class Shadow(Entity):
    tableName = "shadow"
    age = Overriding()


CASES = {
    "User.age > 18": lambda: User.age > 18,
    "User.id == User.age": lambda: User.id == User.age,
    "(a > 1) & (b == 'x')": lambda: (User.age > 1) & (User.name == "x"),
    "(a > 1) & ((b == 'x') | (c < 3))": lambda: (User.age > 1) & ((User.name == "x") | (User.id < 3)),
    "name.has('ab')": lambda: User.name.has("ab"),
    "override: Shadow.age > 18": lambda: Shadow.age > 18,
    "float toObjValue('3.14159')": lambda: User.score.toObjValue("3.14159"),
    "float toObjValue(3.14159)": lambda: User.score.toObjValue(3.14159),
    "bool toDBValue(True)": lambda: User.active.toDBValue(True),
    "bool toObjValue('true')": lambda: User.active.toObjValue("true"),
    "int toObjValue(5)": lambda: User.age.toObjValue(5),
    "json toObjValue('[1, 2]')": lambda: User.data.toObjValue("[1, 2]"),
}


def main():
    number = 200_000
    width = max(len(name) for name in CASES)
    for name, fn in CASES.items():
        best = min(timeit.repeat(fn, number=number, repeat=5))
        print(f"{name:<{width}}  {best / number * 1e9:8.1f} ns")


if __name__ == "__main__":
    main()
