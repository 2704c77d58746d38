"""Filters combined with &, | and ~ keep the grouping written in Python.

Random trees of comparisons, membership, range and NULL tests are rendered
into a select, run on SQLite over a grid of rows (NULLs included), and the
rows that come back must be exactly those for which the same tree evaluates
to true under SQL's three-valued logic (a comparison with NULL is unknown, a
None among the values of isIn/notIn stands for NULL).
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

VALUES = [None, 0, 1, 2]
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


operands = st.one_of(st.integers(-1, 3), st.none())
columns = st.sampled_from("abc")
leaves = st.one_of(
    # column <op> value, written with the constant on the left when the flag says so
    st.tuples(st.just("cmp"), columns, st.sampled_from(sorted(COMPARISONS)), operands, st.booleans()),
    st.tuples(st.sampled_from(["isIn", "notIn"]), columns, st.lists(operands, max_size=3)),
    st.tuples(st.just("between"), columns, st.integers(-1, 3), st.integers(-1, 3)),
    st.tuples(st.sampled_from(["isNull", "notNull"]), columns),
)
trees = st.recursive(
    leaves,
    lambda children: st.one_of(st.tuples(st.sampled_from("&|"), children, children), st.tuples(st.just("~"), children)),
    max_leaves=8,
)


def build(tree, model):
    """The filter chain for `tree`, built from fresh filters."""
    kind = tree[0]
    if kind == "~":
        return ~build(tree[1], model)
    if kind in "&|":
        left, right = build(tree[1], model), build(tree[2], model)
        return left & right if kind == "&" else left | right
    prop = getattr(model, tree[1])
    if kind == "cmp":
        _, _, op, value, reflected = tree
        # `value < prop` is evaluated by Python as `prop > value`.
        return COMPARISONS[op](value, prop) if reflected else COMPARISONS[op](prop, value)
    if kind == "between":
        return prop.between(tree[2], tree[3])
    if kind in ("isIn", "notIn"):
        return getattr(prop, kind)(iter(tree[2]))
    return getattr(prop, kind)()


def kleene_and(a, b):
    if a is False or b is False:
        return False
    return None if a is None or b is None else True


def kleene_or(a, b):
    if a is True or b is True:
        return True
    return None if a is None or b is None else False


def evaluate(tree, row):
    """True, False or None (unknown), as SQL evaluates the filter on `row`."""
    kind = tree[0]
    if kind == "~":
        inner = evaluate(tree[1], row)
        return None if inner is None else not inner
    if kind in "&|":
        left, right = evaluate(tree[1], row), evaluate(tree[2], row)
        return kleene_and(left, right) if kind == "&" else kleene_or(left, right)
    x = row[tree[1]]
    if kind == "cmp":
        _, _, op, value, reflected = tree
        if value is None and op in ("==", "!="):
            return (x is None) == (op == "==")  # IS NULL / IS NOT NULL
        if x is None or value is None:
            return None
        return COMPARISONS[op](value, x) if reflected else COMPARISONS[op](x, value)
    if kind == "between":
        return None if x is None else tree[2] <= x <= tree[3]
    if kind in ("isNull", "notNull"):
        return (x is None) == (kind == "isNull")
    present = [v for v in tree[2] if v is not None]
    nulls = len(present) < len(tree[2])
    if kind == "isIn":
        found = False if not present else (None if x is None else x in present)
        return kleene_or(found, x is None) if nulls else found
    missing = True if not present else (None if x is None else x not in present)
    return kleene_and(missing, x is not None) if nulls else missing


def revalue(tree):
    """The same tree with other values (None stays None): a statement of the same shape."""
    kind = tree[0]
    if kind == "~":
        return kind, revalue(tree[1])
    if kind in "&|":
        return kind, revalue(tree[1]), revalue(tree[2])

    def shift(v):
        return None if v is None else (v + 2) % 5 - 1

    if kind == "cmp":
        return tree[:3] + (shift(tree[3]), tree[4])
    if kind == "between":
        return kind, tree[1], shift(tree[2]), shift(tree[3])
    if kind in ("isIn", "notIn"):
        return kind, tree[1], [shift(v) for v in tree[2]]
    return tree


@settings(max_examples=300, deadline=None)
@given(tree=trees)
def test_rendered_filter_selects_the_rows_python_selects(grid, tree):
    # The tree and one of the same shape with other values: the second is
    # rendered from the text kept for the first.
    model, conn, rows = grid
    texts = set()
    for t in (tree, revalue(tree)):
        g = SqlGenerator().select(model.id).where(build(t, model))
        g.From(model)
        g.orderBy("grid.id")
        sql, args = g.Build()
        texts.add(sql)
        got = [row[0] for row in conn.execute(sql.replace("%s", "?"), args)]
        expected = [row["id"] for row in rows if evaluate(t, row) is True]
        assert got == expected, sql
    assert len(texts) == 1


@settings(max_examples=100, deadline=None)
@given(tree=trees)
def test_rendered_filter_counts_like_python(grid, tree):
    model, conn, rows = grid
    text, args = SqlGenerator.build_where(build(tree, model))
    assert text.count("(") == text.count(")")
    (count,), = conn.execute("select count(*) from grid" + text.replace("%s", "?"), args)
    assert count == sum(1 for row in rows if evaluate(tree, row) is True)
