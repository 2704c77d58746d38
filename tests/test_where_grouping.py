"""Filters combined with & and | keep the grouping written in Python.

Random trees of comparisons are rendered into a select, run on SQLite over a
grid of rows, and the rows that come back must be exactly those for which
Python's own evaluation of the same tree is true.
"""

import itertools
import operator
import sqlite3

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import Quillon.Model.Columns as Columns
from Quillon.DB.Generator import SqlGenerator

pytestmark = pytest.mark.skipif(not hasattr(Columns, "IntProperty"), reason="column properties are not available yet")

VALUES = range(3)
COMPARISONS = {
    "==": operator.eq,
    "!=": operator.ne,
    "<": operator.lt,
    "<=": operator.le,
    ">": operator.gt,
    ">=": operator.ge,
}


@pytest.fixture(scope="module")
def grid():
    from Quillon.Model.Columns import IntProperty
    from Quillon.Model.Entity import Entity

    class Grid(Entity):
        tableName = "grid"
        id = IntProperty(pk=True)
        a = IntProperty()
        b = IntProperty()
        c = IntProperty()

    conn = sqlite3.connect(":memory:")
    conn.execute("create table grid (id integer primary key, a integer, b integer, c integer)")
    rows = [dict(id=i, a=a, b=b, c=c) for i, (a, b, c) in enumerate(itertools.product(VALUES, repeat=3))]
    conn.executemany("insert into grid values (:id, :a, :b, :c)", rows)
    yield Grid, conn, rows
    conn.close()


leaves = st.tuples(
    st.sampled_from("abc"),
    st.sampled_from(sorted(COMPARISONS)),
    st.integers(-1, 3),
    st.booleans(),  # written with the constant on the left
)
trees = st.recursive(
    leaves,
    lambda children: st.tuples(st.sampled_from("&|"), children, children),
    max_leaves=8,
)


def build(tree, model):
    """The filter chain for `tree`, built from fresh comparisons."""
    if len(tree) == 4:
        column, op, value, reflected = tree
        prop = getattr(model, column)
        if reflected:
            # `value < prop` is evaluated by Python as `prop > value`.
            return COMPARISONS[op](value, prop)
        return COMPARISONS[op](prop, value)
    connective, left, right = tree
    left, right = build(left, model), build(right, model)
    return left & right if connective == "&" else left | right


def evaluate(tree, row):
    if len(tree) == 4:
        column, op, value, reflected = tree
        return COMPARISONS[op](value, row[column]) if reflected else COMPARISONS[op](row[column], value)
    connective, left, right = tree
    if connective == "&":
        return evaluate(left, row) and evaluate(right, row)
    return evaluate(left, row) or evaluate(right, row)


@settings(max_examples=300, deadline=None)
@given(tree=trees)
def test_rendered_filter_selects_the_rows_python_selects(grid, tree):
    model, conn, rows = grid
    g = SqlGenerator().select(model.id).where(build(tree, model))
    g.From(model)
    g.orderBy("grid.id")
    sql, args = g.Build()
    got = [row[0] for row in conn.execute(sql.replace("%s", "?"), args)]
    expected = [row["id"] for row in rows if evaluate(tree, row)]
    assert got == expected, sql


@settings(max_examples=100, deadline=None)
@given(tree=trees)
def test_rendered_filter_counts_like_python(grid, tree):
    model, conn, rows = grid
    text, args = SqlGenerator.build_where(build(tree, model))
    assert text.count("(") == text.count(")")
    (count,), = conn.execute("select count(*) from grid" + text.replace("%s", "?"), args)
    assert count == sum(1 for row in rows if evaluate(tree, row))
