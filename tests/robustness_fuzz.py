"""Arbitrary Python values thrown at a real model on an SQLite file.

Run by tests/test_robustness.py in a fresh interpreter (the facade is made
once per process): ``python robustness_fuzz.py DB_PATH EXAMPLES``.  One
hypothesis loop feeds values of every kind (text with quotes, semicolons,
NULs and any unicode, bytes, huge integers, nan and infinities, None, nested
lists and dicts, plain objects) as filter operands, as row values to
``save``/``insertMany``/``updateWhere`` and as order terms.  Every call must
either work or raise an ordinary exception; after every example the table
holds exactly the rows that the calls which worked wrote, the other table is
untouched, and an authorizer on the connection has seen no statement other
than the model's own reads and writes of its own table.  Prints "fuzz ok N"
at the end.
"""

import json
import math
import sqlite3
import sys

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from scenario_support import fresh_rows

PATH, EXAMPLES = sys.argv[1], int(sys.argv[2])

from Quillon.DB import Connector  # noqa: E402
from Quillon.DB.Connector import Sqlite3Connector  # noqa: E402
from Quillon.DB.DB import DB  # noqa: E402
from Quillon.Error import QuillonError  # noqa: E402
from Quillon.Ext import generate_table  # noqa: E402
from Quillon.Model.Columns import (  # noqa: E402
    BoolProperty,
    FloatProperty,
    IntProperty,
    JsonProperty,
    StrProperty,
    auto_increment,
)
from Quillon.Model.Entity import Entity  # noqa: E402

connector = Sqlite3Connector(PATH, showLog=False)
DB.create(connector=connector)


class Thing(Entity):
    id = IntProperty(pk=True, default=auto_increment)
    name = StrProperty(default="")
    n = IntProperty(default=0)
    x = FloatProperty(typeArgs=(20, 6), default=0.0)
    meta = JsonProperty(default="{}")
    ok = BoolProperty(default=False)


generate_table()
setup = sqlite3.connect(PATH)
setup.execute("create table canary(id integer primary key, word text)")
setup.execute("insert into canary values (1, 'alive')")
setup.commit()
setup.close()

ex = Thing.getExecutor()
ex.save(Thing(name="first"))

# What a call may raise: ordinary errors, never a crash or a SystemError.
ORDINARY = (TypeError, ValueError, OverflowError, KeyError, sqlite3.Error, QuillonError)

# Statements the model may run: reads and writes of its own table, the
# driver's transaction control and the savepoints of a bulk insert.
ALLOWED_ACTIONS = {
    sqlite3.SQLITE_SELECT,
    sqlite3.SQLITE_READ,
    sqlite3.SQLITE_INSERT,
    sqlite3.SQLITE_UPDATE,
    sqlite3.SQLITE_FUNCTION,
    sqlite3.SQLITE_TRANSACTION,
    sqlite3.SQLITE_SAVEPOINT,
}
violations = []


def authorizer(action, arg1, arg2, dbname, source):
    table_action = action in (sqlite3.SQLITE_READ, sqlite3.SQLITE_INSERT, sqlite3.SQLITE_UPDATE)
    if action not in ALLOWED_ACTIONS or (table_action and arg1 != "thing"):
        violations.append((action, arg1, arg2))
        return sqlite3.SQLITE_DENY
    return sqlite3.SQLITE_OK


connector.con.set_authorizer(authorizer)

INJECTIONS = [
    "x'; DROP TABLE canary; --",
    "'); DELETE FROM thing; --",
    "1 OR 1=1",
    "\" OR \"\"=\"",
    "name; drop table canary",
    "name DESC; DROP TABLE canary",
    "thing.name",
    "name desc",
    "n",
    "%",
    "_",
    "a\x00b",
    "\u202e\U0001f600\ufeff",
]
texts = st.one_of(
    st.text(),
    st.sampled_from(INJECTIONS),
    st.builds(lambda a, b: a + b, st.sampled_from(INJECTIONS), st.text(max_size=8)),
)
scalars = st.one_of(
    texts,
    st.binary(max_size=16),
    st.integers(),
    st.integers(min_value=-(2**63), max_value=2**63 - 1),
    st.floats(),
    st.none(),
    st.booleans(),
    st.complex_numbers(),
    st.builds(object),
)
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=4), inner, max_size=3),
    max_leaves=6,
)
columns = st.sampled_from(["name", "n", "x", "meta", "ok"])


def stored(row_id, column):
    return fresh_rows(PATH, f"select {column} from thing where id = ?", (row_id,))[0][0]


def json_exact(value):
    try:
        return json.loads(json.dumps(value)) == value
    except (TypeError, ValueError):
        return False


def check_saved(row_id, column, value):
    """The value comes back exactly as it went in where the column's type allows."""
    if column == "name" and isinstance(value, (str, bytes)):
        assert stored(row_id, "name") == value, (stored(row_id, "name"), value)
        assert ex.get(row_id)["name"] == value
    elif column == "n" and type(value) is int:
        assert stored(row_id, "n") == value
        assert ex.get(row_id)["n"] == value
    elif column == "x" and type(value) is float and math.isfinite(value):
        # typeArgs (20, 6): the value is kept to six decimals.
        assert math.isclose(stored(row_id, "x"), value, rel_tol=1e-15, abs_tol=5e-7), (stored(row_id, "x"), value)
    elif column == "meta" and isinstance(value, (list, dict)) and json_exact(value):
        assert ex.get(row_id)["meta"] == value


expected = {"count": 1}


def op_filter(column, relation, value):
    prop = getattr(Thing, column)
    if relation == "like":
        if column != "name":
            return
        cond = prop.like(value)
    elif relation == "==":
        cond = prop == value
    else:
        cond = prop > value
    found = ex.find(cond)
    counted = ex.count(cond)
    assert counted == len(found)
    if column == "name" and isinstance(value, str) and relation in ("==", "like"):
        # The operand is compared as a value, never read as SQL.
        sql_op = "=" if relation == "==" else "like"
        direct = fresh_rows(PATH, f"select id from thing where name {sql_op} ? order by id", (value,))
        assert sorted(r["id"] for r in found) == [r[0] for r in direct], (value, found, direct)


def op_save(column, value):
    row = Thing(**{column: value})
    new_id = ex.save(row)
    expected["count"] += 1
    assert new_id == row["id"]
    check_saved(new_id, column, value)


def op_many(column, items):
    rows = [Thing(**{column: v}) for v in items]
    done = ex.insertMany(rows)
    expected["count"] += len(rows)
    assert done == len(rows)


def op_update(column, value):
    changed = ex.updateWhere(Thing.id == 1, {column: value})
    assert changed == 1
    check_saved(1, column, value)


def op_order(term):
    rows = ex.find(orderBy=term)
    assert len(rows) == expected["count"]


operations = st.one_of(
    st.tuples(st.just(op_filter), columns, st.sampled_from(["==", ">", "like"]), values),
    st.tuples(st.just(op_save), columns, values),
    # Mostly good rows with now and then a bad one, so batches also fail midway.
    st.tuples(st.just(op_many), columns, st.lists(st.one_of(texts, texts, texts, values), min_size=1, max_size=5)),
    st.tuples(st.just(op_update), columns, values),
    st.tuples(st.just(op_order), st.one_of(values, st.lists(texts, max_size=3))),
)

outcomes = {"worked": 0, "refused": 0}


@settings(
    max_examples=EXAMPLES,
    deadline=None,
    database=None,
    suppress_health_check=list(HealthCheck),
)
@given(st.lists(operations, min_size=1, max_size=4))
def run(batch):
    for fn, *args in batch:
        try:
            fn(*args)
            outcomes["worked"] += 1
        except ORDINARY:
            outcomes["refused"] += 1
        assert not violations, violations
        # The process lock is free again whatever the call did.
        assert Connector.lock.acquire(False)
        Connector.lock.release()
    # Nothing but the calls that worked changed the file.
    assert fresh_rows(PATH, "select * from canary") == [(1, "alive")]
    assert fresh_rows(PATH, "select count(*) from thing") == [(expected["count"],)]
    names = fresh_rows(PATH, "select name from sqlite_master where type = 'table' order by name")
    assert names == [("canary",), ("thing",)], names


run()
assert outcomes["worked"] and outcomes["refused"], outcomes
print("fuzz ok", outcomes["worked"] + outcomes["refused"])
