"""Filter chains: comparisons on properties, `&`/`|`, pattern filters and grouping."""

import operator
import sys

import pytest

from Quillon.Error.ColumnFault import EmptyFilterValueError
from Quillon.Model.Columns import (
    BoolProperty,
    FilterListCell,
    IntProperty,
    JsonProperty,
    Relationship,
    StrProperty,
)
from Quillon.Model.Entity import Entity

AND, OR, EQ, GT, GE, LT, LE, NE, NONE, LIKE, IS_NULL, NOT_NULL, LIKE_ESCAPED, IN, NOT_IN, BETWEEN = range(16)


class User(Entity):
    tableName = "user"
    id = IntProperty(pk=True)
    age = IntProperty()
    name = StrProperty()
    active = BoolProperty()
    extra = JsonProperty()


class Post(Entity):
    tableName = "post"
    id = IntProperty(pk=True)
    userId = IntProperty()


def cells(chain):
    """The chain as (value, relationship, col) triples."""
    out = []
    while chain is not None:
        out.append((chain.value, chain.relationship, chain.col))
        chain = chain.next
    return out


def cell_list(chain):
    out = []
    while chain is not None:
        out.append(chain)
        chain = chain.next
    return out


# ---------------------------------------------------------------------------
# Comparisons
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "op, code",
    [(operator.eq, EQ), (operator.ne, NE), (operator.lt, LT), (operator.gt, GT), (operator.le, LE),
     (operator.ge, GE)],
)
def test_comparison_builds_two_cells(op, code):
    chain = op(User.age, 18)
    assert type(chain) is FilterListCell
    assert cells(chain) == [("age", code, User.age), (18, NONE, None)]


@pytest.mark.parametrize(
    "expr, code",
    [(lambda: 18 < User.age, GT), (lambda: 18 > User.age, LT), (lambda: 18 <= User.age, GE),
     (lambda: 18 >= User.age, LE), (lambda: 18 == User.age, EQ), (lambda: 18 != User.age, NE)],
)
def test_reflected_comparisons(expr, code):
    assert cells(expr()) == [("age", code, User.age), (18, NONE, None)]


@pytest.mark.parametrize(
    "expr, code",
    [(lambda: User.extra == None, IS_NULL), (lambda: User.active != None, NOT_NULL),  # noqa: E711
     (lambda: None == User.age, IS_NULL)],  # noqa: E711
)
def test_comparison_with_none_is_a_null_test(expr, code):
    chain = expr()
    assert cells(chain)[0][1] == code and cells(chain)[1] == (None, NONE, None)


def test_property_to_property_comparison():
    chain = User.id == Post.userId
    assert cells(chain) == [("id", EQ, User.id), ("userId", NONE, Post.userId)]


@pytest.mark.parametrize(
    "expr, stored",
    [(lambda: User.active == True, 1), (lambda: User.extra == {"a": 1}, '{"a": 1}'),  # noqa: E712
     (lambda: User.active == "off", 0), (lambda: User.age > "12", 12), (lambda: User.extra == "x", '"x"')],
)
def test_operand_is_converted_for_the_column(expr, stored):
    assert expr().next.value == stored


def test_conversion_errors_propagate():
    with pytest.raises(ValueError, match="column 'user.extra' cannot take b'raw'"):
        User.extra == b"raw"


def test_relationship_enumeration():
    assert [int(m) for m in Relationship] == list(range(16))
    assert Relationship.LIKE == LIKE and Relationship.NONE == NONE
    assert (Relationship.IS_NULL, Relationship.NOT_NULL, Relationship.LIKE_ESCAPED) == (IS_NULL, NOT_NULL, LIKE_ESCAPED)
    assert (Relationship.IN, Relationship.NOT_IN, Relationship.BETWEEN) == (IN, NOT_IN, BETWEEN)


# ---------------------------------------------------------------------------
# Combining chains
# ---------------------------------------------------------------------------


def test_and_links_four_cells():
    chain = (User.age > 18) & (User.name == "bob")
    assert cells(chain) == [("age", GT, User.age), (18, AND, None), ("name", EQ, User.name), ("bob", NONE, None)]


def test_combining_mutates_and_returns_the_left_chain():
    x = User.age > 18
    right = User.id == 1
    y = x & right
    assert y is x
    assert len(cell_list(x)) == 4
    assert x.next.next is right
    z = x | (User.name == "a")
    assert z is x and cells(x)[3][1] == OR


def test_flat_chain_ignores_python_grouping():
    def f1(): return User.age > 1
    def f2(): return User.age < 9
    def f3(): return User.name == "x"

    a = f1() & (f2() | f3())
    b = (f1() & f2()) | f3()
    assert [c[:2] for c in cells(a)] == [c[:2] for c in cells(b)]
    assert [c[1] for c in cells(a)] == [GT, AND, LT, OR, EQ, NONE]


def test_values_and_properties_are_appended_unconverted():
    chain = (User.active == True) & 5  # noqa: E712
    assert cells(chain)[-1] == (5, NONE, None)
    assert cells(chain)[-2][1] == AND
    chain = FilterListCell("x") | User.age
    assert cells(chain) == [("x", OR, None), ("age", NONE, User.age)]
    payload = {"raw": True}
    chain = FilterListCell("x") & payload
    assert chain.next.value is payload


def test_left_operand_must_be_a_cell():
    with pytest.raises(AttributeError):
        5 & (User.age > 1)
    with pytest.raises(AttributeError):
        User.age | (User.age > 1)


def test_unparenthesised_comparisons_do_not_chain():
    # `&` binds tighter: this is User.age > (18 & User.id) == 1.
    with pytest.raises(TypeError):
        User.age > 18 & User.id == 1


# ---------------------------------------------------------------------------
# Empty payloads and cycles are refused before anything is linked
# ---------------------------------------------------------------------------


class EqualsEmpty:
    def __eq__(self, other):
        return other == ""


@pytest.mark.parametrize(
    "make",
    [
        lambda: FilterListCell(),
        lambda: FilterListCell(""),
        lambda: FilterListCell(EqualsEmpty()),
        lambda: User.name == "",
        lambda: User.name.like(""),
    ],
)
def test_empty_payload_is_refused(make):
    with pytest.raises(EmptyFilterValueError):
        make()


@pytest.mark.parametrize("other", ["", EqualsEmpty()])
def test_empty_payload_leaves_the_left_chain_unchanged(other):
    chain = User.age > 1
    with pytest.raises(EmptyFilterValueError):
        chain & other
    assert cells(chain) == [("age", GT, User.age), (1, NONE, None)]


def test_unnamed_property_operand_is_refused_when_its_name_is_empty():
    nameless = IntProperty()
    nameless.name = ""
    chain = User.age > 1
    with pytest.raises(EmptyFilterValueError):
        chain & nameless
    assert chain.next.next is None


def test_combining_a_chain_with_itself_is_refused():
    x = (User.age > 1) & (User.id == 2)
    before = cells(x)
    with pytest.raises(ValueError, match="already contains"):
        x & x
    tail = x.next.next
    with pytest.raises(ValueError):
        x | tail
    with pytest.raises(ValueError):
        tail & x
    with pytest.raises(ValueError):
        x.append(tail, AND)
    assert cells(x) == before


def test_assigning_next_cannot_close_a_loop():
    x = (User.age > 1) & (User.id == 2)
    last = cell_list(x)[-1]
    with pytest.raises(ValueError):
        last.next = x
    assert last.next is None
    other = FilterListCell("z")
    last.next = other
    assert cell_list(x)[-1] is other


# ---------------------------------------------------------------------------
# Grouping kept for the renderer
# ---------------------------------------------------------------------------


def groups(chain):
    return [(c.openGroups, c.closeGroups) for c in cell_list(chain)]


def test_new_cells_have_no_groups():
    chain = User.age > 1
    assert groups(chain) == [(0, 0), (0, 0)]
    assert chain.topConnective == -1


def test_or_group_on_the_right_of_and():
    chain = (User.age > 1) & ((User.id == 2) | (User.id == 3))
    assert groups(chain) == [(0, 0), (0, 0), (1, 0), (0, 0), (0, 0), (0, 1)]
    assert chain.topConnective == AND


def test_or_group_on_the_left_of_and():
    chain = ((User.age > 1) | (User.id == 2)) & (User.id == 3)
    assert groups(chain) == [(1, 0), (0, 0), (0, 0), (0, 1), (0, 0), (0, 0)]


def test_or_groups_on_both_sides():
    chain = ((User.age > 1) | (User.age < 0)) & ((User.id == 2) | (User.id == 3))
    assert groups(chain) == [(1, 0), (0, 0), (0, 0), (0, 1), (1, 0), (0, 0), (0, 0), (0, 1)]


def test_and_then_or_needs_no_group():
    chain = ((User.age > 1) & (User.id == 2)) | (User.id == 3)
    assert all(g == (0, 0) for g in groups(chain))
    assert chain.topConnective == OR


def test_or_chain_extended_by_and_is_grouped_once():
    chain = ((User.age > 1) & (User.id == 2)) | (User.id == 3)
    chain = chain & (User.name == "x")
    assert groups(chain)[0] == (1, 0)
    assert groups(chain)[5] == (0, 1)
    chain = chain & (User.name == "y")
    assert groups(chain)[0] == (1, 0)


def test_negation_wraps_a_copy_and_leaves_the_chain_alone():
    chain = (User.age > 1) | (User.id == 2)
    shared = (User.name == "x") & chain  # the chain is part of another one too
    negated = ~chain
    assert negated is not chain and cells(negated) == cells(chain)
    assert groups(chain)[0] == (1, 0) and chain.notGroups == 0 and chain.topConnective == OR
    assert groups(negated) == [(2, 0), (0, 0), (0, 0), (0, 2)] and negated.notGroups == 0b10
    assert negated.topConnective == -1 and shared.notGroups == 0
    # A group wrapped around the negation later encloses it.
    outer = (~chain | (User.id == 3)) & (User.id == 4)
    assert (outer.openGroups, outer.notGroups) == (3, 0b010)


# ---------------------------------------------------------------------------
# The cell type
# ---------------------------------------------------------------------------


def test_cell_constructor_defaults_and_fields():
    cell = FilterListCell("v")
    assert (cell.value, cell.relationship, cell.next, cell.col) == ("v", NONE, None, None)
    cell = FilterListCell(0, AND, User.age)
    assert (cell.value, cell.relationship, cell.col) == (0, AND, User.age)
    del cell.value
    assert cell.value is None
    assert bool(FilterListCell(0)) is True


def test_cell_argument_types():
    with pytest.raises(TypeError) as excinfo:
        FilterListCell("v", col=5)
    assert str(excinfo.value) == (
        "Argument 'col' has incorrect type (expected Quillon.Model.Columns.BaseProperty, got int)")
    with pytest.raises(TypeError):
        FilterListCell("v", "x")
    with pytest.raises(OverflowError):
        FilterListCell("v", 2**40)


def test_cell_field_assignment_types():
    cell = FilterListCell("v")
    with pytest.raises(TypeError, match="Cannot convert int to Quillon.Model.Columns.FilterListCell"):
        cell.next = 5
    with pytest.raises(TypeError, match="Cannot convert str to Quillon.Model.Columns.BaseProperty"):
        cell.col = "age"
    with pytest.raises(TypeError):
        cell.relationship = "1"
    cell.relationship = 3
    cell.col = User.id
    assert (cell.relationship, cell.col) == (3, User.id)


def test_append_returns_the_previous_tail():
    chain = User.age > 1
    extra = FilterListCell("x")
    tail = chain.append(extra, OR)
    assert tail is chain.next
    assert (tail.relationship, tail.next) == (OR, extra)
    lone = FilterListCell("y")
    assert lone.append(None, AND) is lone and lone.relationship == AND
    with pytest.raises(TypeError, match="Argument 'cell' has incorrect type"):
        lone.append("z", AND)


def test_add_and_check():
    chain = FilterListCell("a")
    assert chain._add("b", OR) is chain
    assert cells(chain) == [("a", OR, None), ("b", NONE, None)]
    assert chain.check() is None


def test_long_chains_are_released():
    chain = FilterListCell(0)
    tail = chain
    for i in range(1, 200_000):
        nxt = FilterListCell(i)
        tail.next = nxt
        tail = nxt
    del tail, nxt
    assert chain.check() is None
    del chain  # must not exhaust the C stack


# ---------------------------------------------------------------------------
# Pattern filters
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "method, value, code, pattern",
    [("like", "a_b", LIKE, "a_b"), ("startsWith", "ab", LIKE, "ab%"), ("endsWith", "ab", LIKE, "%ab"),
     ("has", "ab", LIKE, "%ab%"),
     # Wildcards and the escape character in the text are matched literally.
     ("has", "100%", LIKE_ESCAPED, "%100!%%"), ("startsWith", "a_!", LIKE_ESCAPED, "a!_!!%"),
     ("endsWith", "%", LIKE_ESCAPED, "%!%"), ("has", "a\\b", LIKE_ESCAPED, "%a\\b%")],
)
def test_pattern_filters(method, value, code, pattern):
    chain = getattr(User.name, method)(value)
    assert cells(chain) == [("name", code, User.name), (pattern, NONE, None)]


@pytest.mark.parametrize("method", ["startsWith", "endsWith", "has"])
def test_pattern_filters_need_text(method):
    with pytest.raises(TypeError):
        getattr(User.name, method)(5)


# ---------------------------------------------------------------------------
# Python subclasses are honoured by the native paths
# ---------------------------------------------------------------------------


def test_overridden_set_filter_is_used_by_comparisons_and_like():
    calls = []

    class Traced(StrProperty):
        def setFilter(self, other, relationship):
            calls.append((other, relationship))
            return super().setFilter(other, relationship)

    class Doc(Entity):
        tableName = "doc"
        title = Traced()

    chain = Doc.title >= "m"
    assert cells(chain)[0] == ("title", GE, Doc.title)
    Doc.title.startsWith("ab")
    assert calls == [("m", GE), ("ab%", LIKE)]


def test_overridden_set_filter_must_return_a_cell():
    class Broken(IntProperty):
        def setFilter(self, other, relationship):
            return "nope"

    with pytest.raises(TypeError):
        Broken(name="b") == 1


def test_overridden_to_db_value_converts_operands():
    class Cents(IntProperty):
        def toDBValue(self, value):
            return round(value * 100)

    class Price(Entity):
        tableName = "price"
        amount = Cents()

    assert (Price.amount > 1.5).next.value == 150
    # A later change to the class is seen too.
    Cents.toDBValue = lambda self, value: -value
    assert (Price.amount > 2).next.value == -2
    del Cents.toDBValue
    assert (Price.amount > 2).next.value == 2


def test_overridden_like_is_used_by_the_other_patterns():
    class Escaped(StrProperty):
        def like(self, value):
            return super().like(value.replace("!", ""))

    p = Escaped(name="t")
    assert p.has("a!b").next.value == "%ab%"
    assert p.has("a!b").relationship == LIKE_ESCAPED  # the escaped text keeps its ESCAPE clause


def test_cell_subclass_overrides_are_honoured():
    seen = []

    class Logged(FilterListCell):
        def append(self, cell, relationship):
            seen.append(relationship)
            return super().append(cell, relationship)

    head = Logged("x")
    head & (User.age > 1)
    head | 5
    assert seen == [AND, OR]
    assert [c[1] for c in cells(head)] == [AND, GT, OR, NONE]

    class Counting(FilterListCell):
        def _add(self, other, relationship):
            seen.append("add")
            return super()._add(other, relationship)

    seen.clear()
    c = Counting("y") & "z"
    assert seen == ["add"] and cells(c)[1][0] == "z"


def test_chain_cells_do_not_leak():
    import gc

    def build(n):
        for _ in range(n):
            (User.age > 1) & (User.age < 5) | (User.name == "x")
        gc.collect()
        return sys.getrefcount(User.age)

    before = build(10)
    assert build(1000) == before
