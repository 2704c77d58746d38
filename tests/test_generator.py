"""SQL generation: statement kinds, the rendered texts and their arguments,
where/join/order rendering, column announcements and CREATE TABLE text.

Rendered statements are also run on an in-memory SQLite database (with "%s"
rewritten to "?", as the SQLite connectors do) so that the texts are not only
as expected but valid SQL that returns the right rows.
"""

import os
import sqlite3
import subprocess
import sys
import textwrap
import types

import pytest

from conftest import needs_assertions, run_python
import Quillon.Model.Columns as Columns
from Quillon.DB.Generator import (
    BaseSqlGenerator,
    CustomColAnnounce,
    JoinCell,
    JoinType,
    SqlGenerator,
    TableGenerator,
    joinTypeMap,
    relationshipMap,
    sqlType,
)
from Quillon.Error.SqlFault import (
    SetSqlFault,
    SqlInStanceError,
    SqlMissingRelationshipError,
    WhereSqlFault,
)


# Properties, comparisons and model classes come from the property and model
# modules; the tests that need them wait until those modules are in place.
COLUMNS_READY = hasattr(Columns, "IntProperty") and hasattr(Columns, "StrProperty")
ENTITY_READY = hasattr(__import__("Quillon.Model.Entity", fromlist=["Entity"]), "Entity")
needs_columns = pytest.mark.skipif(not COLUMNS_READY, reason="column properties are not available yet")
needs_entity = pytest.mark.skipif(not ENTITY_READY, reason="the model base class is not available yet")


def run_sql(conn, sql, args=()):
    return conn.execute(sql.replace("%s", "?"), args).fetchall()


@pytest.fixture
def users_db():
    conn = sqlite3.connect(":memory:")
    conn.execute("create table user (id integer primary key, name text, age integer, addressId integer)")
    conn.execute("create table address (id integer primary key, city text)")
    conn.executemany("insert into address values (?, ?)", [(1, "Oslo"), (2, "Rome")])
    conn.executemany(
        "insert into user values (?, ?, ?, ?)",
        [(1, "ann", 17, 1), (2, "bob", 30, 2), (3, "cid", 45, 1), (4, "dan", 18, None)],
    )
    yield conn
    conn.close()


@pytest.fixture(scope="module")
def models():
    if not COLUMNS_READY:
        pytest.skip("column properties are not available yet")
    from Quillon.Model.Columns import IntProperty, StrProperty
    from Quillon.Model.Entity import Entity

    class Address(Entity):
        tableName = "address"
        id = IntProperty(pk=True)
        city = StrProperty()

    class User(Entity):
        tableName = "user"
        id = IntProperty(pk=True)
        name = StrProperty()
        age = IntProperty()
        addressId = IntProperty()

    return User, Address


class Col:
    """A stand-in column for join rendering: only a name."""

    def __init__(self, name):
        self.name = name


class Table:
    def __init__(self, name):
        self.tableName = name


def key(owner, target, bindCol, targetBindCol):
    """A foreign-key record as the join renderer reads it (entries of a dict)."""
    return {"target": Table(target), "owner": Table(owner), "bindCol": Col(bindCol), "targetBindCol": Col(targetBindCol)}


# ---------------------------------------------------------------------------
# The generator base and column announcements
# ---------------------------------------------------------------------------


class TestBaseAndAnnouncements:
    def test_base_build_is_empty_tuple(self):
        assert BaseSqlGenerator().Build() == ()

    def test_base_takes_no_arguments(self):
        with pytest.raises(TypeError):
            BaseSqlGenerator(1)

    @pytest.mark.parametrize("announce", ["current_date", None])
    def test_announce_accepts_str_or_none(self, announce):
        assert isinstance(CustomColAnnounce(announce), BaseSqlGenerator)
        assert isinstance(CustomColAnnounce(announce=announce), BaseSqlGenerator)

    def test_announce_refuses_other_types(self):
        with pytest.raises(TypeError, match=r"^Argument 'announce' has incorrect type \(expected str, got int\)$"):
            CustomColAnnounce(5)

    def test_announce_needs_exactly_one_argument(self):
        with pytest.raises(TypeError, match="exactly 1 positional argument"):
            CustomColAnnounce()
        with pytest.raises(TypeError):
            CustomColAnnounce("a", "b")

    def test_announce_build_is_not_reachable_from_python(self):
        assert not hasattr(CustomColAnnounce("x"), "Build")

    def test_statement_kinds(self):
        assert [(m.name, int(m)) for m in sqlType] == [
            ("SELECT", 0), ("INSERT", 1), ("DELETE", 2), ("UPDATE", 3), ("NONE", 4)]
        assert [(m.name, int(m)) for m in JoinType] == [("JOIN", 0), ("LEFT", 1), ("RIGHT", 2), ("INNER", 3)]

    def test_text_maps(self):
        assert relationshipMap == {0: " AND ", 1: " OR ", 2: " = ", 3: " > ", 4: " >= ", 5: " < ", 6: " <= ",
                                   7: " != ", 9: " LIKE ", 10: " IS NULL", 11: " IS NOT NULL", 12: " LIKE ",
                                   13: " IN ", 14: " NOT IN ", 15: " BETWEEN "}
        assert joinTypeMap == {0: "JOIN ", 1: "LEFT JOIN ", 2: "RIGHT JOIN ", 3: "INNER JOIN "}


# ---------------------------------------------------------------------------
# Statement kinds
# ---------------------------------------------------------------------------


class TestStatementKinds:
    def test_fresh_builder(self):
        g = SqlGenerator()
        assert g.Build() is None
        assert g.currentType == sqlType.NONE
        assert g.limit == " " and g.target is None and g.whereCol is None

    def test_constructor_takes_no_arguments(self):
        with pytest.raises(TypeError):
            SqlGenerator(1)
        with pytest.raises(TypeError):
            SqlGenerator(a=1)

    @pytest.mark.parametrize(
        "first, second, requested",
        [
            (lambda g: g.select(), lambda g: g.select(), 0),
            (lambda g: g.select(), lambda g: g.insert("t"), 1),
            (lambda g: g.select(), lambda g: g.delete("t"), 2),
            (lambda g: g.insert("t"), lambda g: g.select(), 0),
            (lambda g: g.delete("t"), lambda g: g.insert("t"), 1),
            (lambda g: g.update("t"), lambda g: g.delete("t"), 2),
        ],
    )
    def test_second_statement_kind_is_refused(self, first, second, requested):
        g = SqlGenerator()
        first(g)
        current = int(g.currentType)
        with pytest.raises(SqlInStanceError) as info:
            second(g)
        assert info.value.args == (current, requested)
        assert g.currentType == current

    def test_update_is_accepted_after_select(self):
        g = SqlGenerator().select()
        g.update("user").set({"name": "age", "value": 3})
        assert g.currentType == sqlType.UPDATE
        assert g.Build() == ("UPDATE user SET age = %s;", (3,))

    def test_set_needs_a_kind(self):
        with pytest.raises(SetSqlFault) as info:
            SqlGenerator().set({"name": "a", "value": 1})
        assert info.value.args == ()

    def test_where_needs_a_kind(self):
        with pytest.raises(WhereSqlFault) as info:
            SqlGenerator().where(None)
        assert info.value.args == ()

    def test_where_refuses_non_cells(self):
        with pytest.raises(TypeError, match=r"^Argument 'args' has incorrect type \(expected FilterListCell, got int\)$"):
            SqlGenerator().select().where(5)

    def test_where_none_records_no_filter(self):
        g = SqlGenerator().delete("user").where(None)
        assert g.Build() == ("DELETE FROM user ", ())

    @needs_entity
    @needs_assertions
    def test_failing_from_leaves_insert_marked_and_delete_unmarked(self):
        g = SqlGenerator()
        with pytest.raises(AssertionError):
            g.insert(5)
        assert g.currentType == sqlType.INSERT
        g = SqlGenerator()
        with pytest.raises(AssertionError):
            g.delete(5)
        assert g.currentType == sqlType.NONE

    @pytest.mark.parametrize("method", ["select", "values", "set", "orderBy"])
    def test_star_methods_refuse_keywords(self, method):
        g = SqlGenerator().update("t")
        with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
            getattr(g, method)(x=1)

    def test_build_twice_renders_the_same_statement(self):
        g = SqlGenerator().insert("user").values({"col": "name", "value": "x"})
        assert g.Build() == g.Build() == ("INSERT INTO user (name) values (%s);", ("x",))


# ---------------------------------------------------------------------------
# Insert, update and delete texts (no filter)
# ---------------------------------------------------------------------------


class TestWriteStatements:
    def test_insert_text_and_arguments_run(self, users_db):
        g = SqlGenerator().insert("user").values({"col": "name", "value": "eve"}, {"col": "age", "value": 22})
        sql, args = g.Build()
        assert (sql, args) == ("INSERT INTO user (name,age) values (%s,%s);", ("eve", 22))
        run_sql(users_db, sql, args)
        assert run_sql(users_db, "select name, age from user where id = 5") == [("eve", 22)]

    def test_insert_missing_key_gives_none(self):
        # Inserts of one shape share a text, each with its own values.
        for value, items in [(1, [{"col": "a", "value": 1}]), (None, [{"col": "a"}]),
                             (2, [{"col": "a", "value": 2}, {"col": "b"}])]:
            g = SqlGenerator().insert("t").values(*items)
            text = "INSERT INTO t (a) values (%s);" if len(items) == 1 else "INSERT INTO t (a,b) values (%s,%s);"
            assert g.Build() == (text, (value,) + (None,) * (len(items) - 1))

    def test_insert_none_item_fails_like_a_missing_get(self):
        g = SqlGenerator().insert("t").values(None)
        with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'get'"):
            g.Build()

    def test_insert_non_str_column_is_a_type_error(self):
        with pytest.raises(TypeError):
            SqlGenerator().insert("t").values({"col": 1, "value": 2}).Build()

    def test_values_do_not_check_the_kind(self):
        g = SqlGenerator().select()
        assert g.values({"col": "a", "value": 1}) is g
        assert g.selectCol == [{"col": "a", "value": 1}]

    def test_update_text_and_arguments_run(self, users_db):
        g = SqlGenerator().update("user").set({"name": "name", "value": "zed"}, {"name": "age", "value": 99})
        sql, args = g.Build()
        assert (sql, args) == ("UPDATE user SET name = %s,age = %s;", ("zed", 99))
        run_sql(users_db, sql, args)
        assert run_sql(users_db, "select distinct name, age from user") == [("zed", 99)]

    def test_update_without_items_drops_the_last_character(self):
        g = SqlGenerator().update("t").set()
        assert g.Build() == ("UPDATE t SET;", ())

    @pytest.mark.parametrize("items, exc, message", [
        ((None,), TypeError, "'NoneType' object is not subscriptable"),
        (({"value": 1},), KeyError, "name"),
    ])
    def test_update_bad_items(self, items, exc, message):
        g = SqlGenerator().update("t").set(*items)
        with pytest.raises(exc, match=message):
            g.Build()

    def test_update_without_set_is_a_type_error(self):
        with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
            SqlGenerator().update("t").Build()

    def test_delete_text_runs(self, users_db):
        sql, args = SqlGenerator().delete("user").Build()
        assert (sql, args) == ("DELETE FROM user ", ())
        run_sql(users_db, sql, args)
        assert run_sql(users_db, "select count(*) from user") == [(0,)]


# ---------------------------------------------------------------------------
# From, limit, order and joins
# ---------------------------------------------------------------------------


class TestFromLimitOrderJoin:
    def test_from_str_and_str_subclass(self):
        class Name(str):
            pass

        g = SqlGenerator()
        assert g.From("user") is g and g.target == "user"
        g.From(Name("member"))
        assert g.target == "member"

    @needs_entity
    @pytest.mark.parametrize("target", [5, None, object, int])
    @needs_assertions
    def test_from_refuses_other_targets(self, target):
        with pytest.raises(AssertionError, match="^Form仅支持字符串或者Entity子类$"):
            SqlGenerator().From(target)

    def test_from_model_class_takes_its_table_name(self, models):
        User, _ = models
        g = SqlGenerator()
        g.From(User)
        assert g.target == "user"

    def test_limit_text(self):
        g = SqlGenerator()
        assert g.Limit(10, 20) is g and g.limit == " limit 20, 10"
        g.Limit(count=5, offset=0)
        assert g.limit == " limit 0, 5"

    @pytest.mark.parametrize("args, kwargs, message", [
        ((1,), {}, r"^Limit\(\) takes exactly 2 positional arguments \(1 given\)$"),
        ((), {}, r"^Limit\(\) takes exactly 2 positional arguments \(0 given\)$"),
        ((1, 2, 3), {}, r"^Limit\(\) takes exactly 2 positional arguments \(3 given\)$"),
        (("1", 2), {}, None),
        ((1.5, 2), {}, None),
        ((1,), {"offset": 2, "other": 3}, "unexpected keyword argument 'other'"),
    ])
    def test_limit_argument_errors(self, args, kwargs, message):
        g = SqlGenerator()
        with pytest.raises(TypeError, match=message):
            g.Limit(*args, **kwargs)
        assert g.limit == " "

    def test_order_by_returns_none_and_keeps_terms(self):
        g = SqlGenerator()
        assert g.orderBy("user.age DESC", "user.id") is None
        assert g.orderList == ("user.age DESC", "user.id")

    @pytest.mark.parametrize("terms, text", [
        (None, ""),
        ((), ""),
        (("user.id",), " order by user.id"),
        (("user.age DESC", "user.id ASC"), " order by user.age DESC, user.id ASC"),
        (lambda U: (U.age.desc(), U.id, "user.name"), " order by user.age DESC, user.id ASC, user.name"),
    ])
    def test_build_order(self, models, terms, text):
        assert SqlGenerator.build_order(terms(models[0]) if callable(terms) else terms) == text

    def test_build_order_refuses_non_str_terms(self):
        with pytest.raises(TypeError):
            SqlGenerator.build_order(("a", 1))

    def test_join_list_starts_empty_and_stays_attached(self):
        g = SqlGenerator()
        joins = g.joinList
        assert joins == []
        joins.append(JoinCell(key("user", "address", "addressId", "id"), JoinType.LEFT))
        assert g.joinList is joins
        assert g.build_join() == "\n       LEFT JOIN address on user.addressId = address.id\n"

    @pytest.mark.parametrize("method, word", [
        ("join", "JOIN "), ("leftJoin", "LEFT JOIN "), ("rightJoin", "RIGHT JOIN "), ("innerJoin", "INNER JOIN ")])
    def test_join_kinds(self, method, word):
        g = SqlGenerator()
        assert getattr(g, method)(key("user", "address", "addressId", "id")) is g
        assert g.build_join() == f"\n       {word}address on user.addressId = address.id\n"

    def test_two_joins(self):
        g = SqlGenerator().leftJoin(key("user", "address", "addressId", "id")).join(key("user", "team", "teamId", "id"), 3)
        assert g.build_join() == ("\n       LEFT JOIN address on user.addressId = address.id\n"
                                  "       INNER JOIN team on user.teamId = team.id\n")

    def test_join_with_unknown_kind_is_a_type_error(self):
        g = SqlGenerator().join(key("user", "address", "addressId", "id"), 7)
        with pytest.raises(TypeError):
            g.build_join()

    def test_join_list_entry_must_be_a_join_cell(self):
        g = SqlGenerator()
        g.joinList.append("user")
        with pytest.raises(TypeError):
            g.build_join()

    def test_join_cell_has_no_python_attributes(self):
        cell = JoinCell({"target": None}, joinType=2)
        assert not hasattr(cell, "Type") and not hasattr(cell, "key")


# ---------------------------------------------------------------------------
# Python subclasses: overridden operations reached from native code
# ---------------------------------------------------------------------------


class TestOverrides:
    def test_overridden_from_is_used_by_insert_update_delete(self):
        class Prefixed(SqlGenerator):
            def From(self, target):
                return super().From("app_" + target)

        assert Prefixed().insert("user").values({"col": "a", "value": 1}).Build()[0].startswith("INSERT INTO app_user ")
        assert Prefixed().update("user").set({"name": "a", "value": 1}).Build()[0] == "UPDATE app_user SET a = %s;"
        assert Prefixed().delete("user").Build()[0] == "DELETE FROM app_user "

    def test_python_method_of_the_base_runs_native_code(self):
        class Logged(SqlGenerator):
            calls = 0

            def Build(self):
                Logged.calls += 1
                return super().Build()

        g = Logged().delete("user")
        assert g.Build() == ("DELETE FROM user ", ()) and Logged.calls == 1


# ---------------------------------------------------------------------------
# Select and filters (need column properties)
# ---------------------------------------------------------------------------


@needs_columns
class TestSelectAndWhere:
    def test_select_without_filter(self, models, users_db):
        User, _ = models
        g = SqlGenerator().select(User.id, User.name)
        g.From(User)
        sql, args = g.Build()
        assert (sql, args) == ("SELECT user.id,user.name FROM user ;", ())
        assert run_sql(users_db, sql, args) == [(1, "ann"), (2, "bob"), (3, "cid"), (4, "dan")]

    def test_select_skips_none_entries(self, models):
        User, _ = models
        g = SqlGenerator().select(None, User.id, None, User.age)
        g.From("user")
        assert g.Build() == ("SELECT user.id,user.age FROM user ;", ())

    def test_select_with_no_columns(self):
        g = SqlGenerator().select()
        g.From("t")
        assert g.Build() == ("SELECT  FROM t ;", ())

    def test_select_refuses_non_property_columns(self):
        g = SqlGenerator().select("id")
        g.From("t")
        with pytest.raises(TypeError):
            g.Build()

    def test_worked_where_example(self, models):
        User, _ = models
        text, args = SqlGenerator.build_where((User.age > 18) & (User.name == "x"))
        assert text == " WHERE user.age  >  %s  AND user.name  =  %s "
        assert args == [18, "x"]

    def test_select_with_filter_limit_and_order_runs(self, models, users_db):
        User, _ = models
        g = SqlGenerator().select(User.id, User.name).where((User.age >= 18) | (User.name == "ann"))
        g.From(User)
        g.Limit(2, 1)
        g.orderBy("user.age DESC")
        sql, args = g.Build()
        assert sql == ("SELECT user.id,user.name FROM user WHERE user.age  >=  %s  OR user.name  =  %s "
                       " order by user.age DESC limit 1, 2;")
        assert args == (18, "ann")
        assert run_sql(users_db, sql, args) == [(2, "bob"), (4, "dan")]
        # Order terms of asc()/desc() bind their values after the filter's.
        g.orderBy((User.age * -1).asc(), User.id)
        sql, args = g.Build()
        assert sql.endswith(" order by user.age * %s ASC, user.id ASC limit 1, 2;") and args == (18, "ann", -1)
        assert run_sql(users_db, sql, args) == [(2, "bob"), (4, "dan")]

    def test_select_with_join_runs(self, models, users_db):
        User, Address = models
        g = SqlGenerator().select(User.name, Address.city).where(Address.city == "Oslo")
        g.From(User)
        g.leftJoin({"target": Address, "owner": User, "bindCol": User.addressId, "targetBindCol": Address.id})
        sql, args = g.Build()
        assert sql == ("SELECT user.name,address.city FROM user\n"
                       "       LEFT JOIN address on user.addressId = address.id\n"
                       " WHERE address.city  =  %s  ;")
        assert run_sql(users_db, sql, args) == [("ann", "Oslo"), ("cid", "Oslo")]

    @pytest.mark.parametrize("build, text", [
        (lambda U: U.age == 1, " WHERE user.age  =  %s "),
        (lambda U: U.age != 1, " WHERE user.age  !=  %s "),
        (lambda U: U.age < 1, " WHERE user.age  <  %s "),
        (lambda U: U.age <= 1, " WHERE user.age  <=  %s "),
        (lambda U: U.age > 1, " WHERE user.age  >  %s "),
        (lambda U: U.age >= 1, " WHERE user.age  >=  %s "),
        (lambda U: 1 < U.age, " WHERE user.age  >  %s "),
    ])
    def test_comparison_operators(self, models, build, text):
        User, _ = models
        assert SqlGenerator.build_where(build(User)) == (text, [1])

    def test_like_filter(self, models, users_db):
        User, _ = models
        text, args = SqlGenerator.build_where(User.name.like("%n%"))
        assert (text, args) == (" WHERE user.name  LIKE  %s ", ["%n%"])
        assert run_sql(users_db, "select id from user" + text, args) == [(1,), (4,)]

    def test_column_to_column_comparison(self, models):
        User, Address = models
        assert SqlGenerator.build_where(User.addressId == Address.id) == (
            " WHERE user.addressId  = address.id ", [])

    def test_build_where_none(self):
        assert SqlGenerator.build_where(None) == ("", [])

    def test_single_cell_is_refused(self, models):
        User, _ = models
        with pytest.raises(SqlInStanceError) as info:
            SqlGenerator.build_where(Columns.FilterListCell("age", col=User.age))
        assert info.value.args == ()

    def test_missing_relationship_is_refused(self, models):
        User, _ = models
        head = Columns.FilterListCell("age", col=User.age)
        head.next = Columns.FilterListCell(5)
        with pytest.raises(SqlMissingRelationshipError) as info:
            SqlGenerator.build_where(head)
        assert info.value.args == ("age", str(head.next))

    def test_build_where_refuses_other_types(self):
        with pytest.raises(TypeError):
            SqlGenerator.build_where("age > 1")

    def test_get_where_cell_str(self, models):
        User, _ = models
        f = User.age > 18
        args = []
        assert SqlGenerator._getWhereCellStr(f, args) == "user.age  > " and args == []
        assert SqlGenerator._getWhereCellStr(f.next, args) == " %s " and args == [18]

    def test_update_with_filter_runs(self, models, users_db):
        User, _ = models
        g = SqlGenerator().update(User).set({"name": "name", "value": "x"}, {"name": "age", "value": 1})
        g.where(User.id == 2)
        sql, args = g.Build()
        assert (sql, args) == ("UPDATE user SET name = %s,age = %s WHERE user.id  =  %s ;", ("x", 1, 2))
        run_sql(users_db, sql, args)
        assert run_sql(users_db, "select id, name, age from user where name = 'x'") == [(2, "x", 1)]
        # A value computed by the database from the row's own columns.
        g = SqlGenerator().update(User).set({"name": "age", "value": (User.age + 4) * 2 - User.id})
        g.where(User.id == 2)
        sql, args = g.Build()
        assert (sql, args) == ("UPDATE user SET age = ((age + %s) * %s) - id WHERE user.id  =  %s ;", (4, 2, 2))
        run_sql(users_db, sql, args)
        assert run_sql(users_db, "select age from user where id = 2") == [(8,)]

    def test_delete_with_filter_runs(self, models, users_db):
        User, _ = models
        g = SqlGenerator().delete(User).where(User.id == 7)
        assert g.Build() == ("DELETE FROM user  WHERE user.id  =  %s ", (7,))
        g = SqlGenerator().delete(User).where((User.age < 18) | (User.age > 40))
        run_sql(users_db, *g.Build())
        assert run_sql(users_db, "select id from user") == [(2,), (4,)]

    @pytest.mark.parametrize("build, text", [
        (lambda U: (U.age > 1) & ((U.age < 2) | (U.id == 3)),
         " WHERE user.age  >  %s  AND (user.age  <  %s  OR user.id  =  %s )"),
        (lambda U: ((U.age > 1) & (U.age < 2)) | (U.id == 3),
         " WHERE user.age  >  %s  AND user.age  <  %s  OR user.id  =  %s "),
        (lambda U: ((U.age > 1) | (U.age < 2)) & (U.id == 3),
         " WHERE (user.age  >  %s  OR user.age  <  %s ) AND user.id  =  %s "),
        (lambda U: ((U.age > 1) | (U.age < 2)) & ((U.id == 3) | (U.id == 4)),
         " WHERE (user.age  >  %s  OR user.age  <  %s ) AND (user.id  =  %s  OR user.id  =  %s )"),
    ])
    def test_python_grouping_is_kept(self, models, build, text):
        User, _ = models
        assert SqlGenerator.build_where(build(User))[0] == text

    @pytest.mark.parametrize("build, text, args, ids", [
        # `== None` / `!= None` test for NULL and bind nothing.
        (lambda U: U.addressId == None, " WHERE user.addressId  IS NULL", [], [4]),  # noqa: E711
        (lambda U: None != U.addressId, " WHERE user.addressId  IS NOT NULL", [], [1, 2, 3, 5, 6, 7, 8]),  # noqa: E711
        (lambda U: (U.addressId == None) | (U.age > 40), " WHERE user.addressId  IS NULL OR user.age  >  %s ",  # noqa: E711
         [40], [3, 4, 5]),
        # The pattern filters match their text literally; ordinary texts keep their plain LIKE.
        (lambda U: U.name.has("100%"), " WHERE user.name  LIKE  %s ESCAPE '!' ", ["%100!%%"], [5]),
        (lambda U: U.name.startsWith("a_"), " WHERE user.name  LIKE  %s ESCAPE '!' ", ["a!_%"], [7]),
        (lambda U: U.name.endsWith("!") & (U.age > 0), " WHERE user.name  LIKE  %s ESCAPE '!'  AND user.age  >  %s ",
         ["%!!", 0], [6]),
        (lambda U: U.name.has("nn"), " WHERE user.name  LIKE  %s ", ["%nn%"], [1]),
        (lambda U: U.name.like("a_n"), " WHERE user.name  LIKE  %s ", ["a_n"], [1, 7]),
    ])
    def test_null_tests_and_literal_patterns_run(self, models, users_db, build, text, args, ids):
        User, _ = models
        users_db.executemany("insert into user values (?, ?, ?, ?)",
                             [(5, "100%", 50, 1), (6, "wow!", 20, 2), (7, "a_n", 20, 1)])
        users_db.execute("insert into user values (8, '100 apples', NULL, 1)")
        where = SqlGenerator.build_where(build(User))
        assert where == (text, args)
        assert [r[0] for r in run_sql(users_db, "select id from user" + text + " order by id", args)] == ids

    @pytest.mark.parametrize("build, variant, text, variant_text", [
        (lambda U, a, b: U.age > a, lambda U, a, b: U.age >= a, " WHERE user.age  >  %s ", " WHERE user.age  >=  %s "),
        (lambda U, a, b: U.age > a, lambda U, a, b: U.id > a, " WHERE user.age  >  %s ", " WHERE user.id  >  %s "),
        (lambda U, a, b: (U.age > a) & ((U.age < b) | (U.id == a)), lambda U, a, b: ((U.age > a) & (U.age < b)) | (U.id == a),
         " WHERE user.age  >  %s  AND (user.age  <  %s  OR user.id  =  %s )",
         " WHERE user.age  >  %s  AND user.age  <  %s  OR user.id  =  %s "),
        (lambda U, a, b: (U.addressId == a) & (U.age > b), lambda U, a, b: (U.addressId == None) & (U.age > b),  # noqa: E711
         " WHERE user.addressId  =  %s  AND user.age  >  %s ", " WHERE user.addressId  IS NULL AND user.age  >  %s "),
        (lambda U, a, b: U.id.isIn([a, b]), lambda U, a, b: U.id.isIn([a, b, a]),
         " WHERE user.id  IN (%s,%s) ", " WHERE user.id  IN (%s,%s,%s) "),
        (lambda U, a, b: U.id.notIn([a, b]), lambda U, a, b: U.id.notIn([a, None]),
         " WHERE user.id  NOT IN (%s,%s) ", " WHERE (user.id  NOT IN (%s) AND user.id IS NOT NULL) "),
        (lambda U, a, b: ~((U.age > a) | (U.id == b)), lambda U, a, b: (U.age > a) | (U.id == b),
         " WHERE NOT (user.age  >  %s  OR user.id  =  %s )", " WHERE user.age  >  %s  OR user.id  =  %s "),
        (lambda U, a, b: U.age > (U.id + a) * b, lambda U, a, b: U.age > U.id * a + b,
         " WHERE user.age  > (user.id + %s) * %s ", " WHERE user.age  > (user.id * %s) + %s "),
        (lambda U, a, b: U.age > U.id - a, lambda U, a, b: U.age > a,
         " WHERE user.age  > user.id - %s ", " WHERE user.age  >  %s "),
    ])
    def test_a_shape_seen_before_gets_its_text_and_its_own_values(self, models, build, variant, text, variant_text):
        # Statements of one shape share their text; a shape that differs in
        # one respect (operator, column, grouping, None, IN length, negation)
        # gets its own, in a select, an update, a delete and a filter alone.
        User, _ = models

        def statements(make, a, b):
            select = SqlGenerator().select(User.id).where(make(User, a, b)).From(User)
            select.Limit(5, a)
            update = SqlGenerator().update(User).set({"name": "age", "value": b}).where(make(User, a, b))
            delete = SqlGenerator().delete(User).where(make(User, a, b))
            return select.Build(), update.Build(), delete.Build(), SqlGenerator.build_where(make(User, a, b))

        def texts(where, offset=1):
            return [f"SELECT user.id FROM user{where} limit {offset}, 5;", "UPDATE user SET age = %s" + where + ";",
                    "DELETE FROM user " + where, where]

        first = statements(build, 1, 2)
        assert [sql for sql, _ in first] == texts(text)
        assert [sql for sql, _ in statements(variant, 1, 2)] == texts(variant_text)
        second = statements(build, 3, 4)
        assert [sql for sql, _ in second] == texts(text, offset=3)
        assert [tuple(args) for _, args in second] == [tuple({1: 3, 2: 4}[v] for v in args) for _, args in first]
        assert first[0][1]

    def test_table_names_and_overrides_are_asked_on_every_render(self):
        from Quillon.Model.Columns import IntProperty
        from Quillon.Model.Entity import Entity

        calls = []

        class Flag(IntProperty):
            def __bool__(self):
                calls.append(self.name)
                return self.name != "hidden"

        class Item(Entity):
            tableName = "item"
            id = IntProperty(pk=True)
            hidden = Flag()
            size = Flag()

        def select(key, size):
            return SqlGenerator().select(Item.id, Item.hidden, Item.size).where(
                (Item.id > key) & (Item.size > size)).From(Item).Build()

        text = "SELECT item.id,item.size FROM item WHERE item.id  >  %s  AND item.size  >  %s  ;"
        assert select(1, 2) == (text, (1, 2)) and calls == ["hidden", "size", "size"]
        assert select(3, 4) == (text, (3, 4)) and len(calls) == 6
        assert SqlGenerator().select(Item.hidden, Item.size).where(Item.id > 1).From(Item).Build() == (
            "SELECT item.size FROM item WHERE item.id  >  %s  ;", (1,))
        assert SqlGenerator().select(Item.hidden, Item.size).where(Item.id > 2).From(Item).Build() == (
            "SELECT item.size FROM item WHERE item.id  >  %s  ;", (2,))
        assert len(calls) == 10
        Item.tableName = "stock"
        assert SqlGenerator.build_where(Item.id > 1) == (" WHERE stock.id  >  %s ", [1])
        assert SqlGenerator().delete("x").where(Item.id < 2).Build() == ("DELETE FROM x  WHERE stock.id  <  %s ", (2,))


@needs_entity
def test_a_kept_statement_text_follows_the_dialect():
    out = run_python("""
        from Quillon.DB.DB import DB
        from Quillon.DB.Connector import PyMysqlConnector
        from Quillon.DB.Generator import SqlGenerator
        from Quillon.Model.Columns import IntProperty, StrProperty
        from Quillon.Model.Entity import Entity

        class Order(Entity):
            id = IntProperty(pk=True)
            group = StrProperty()

        def select(value):
            return SqlGenerator().select(Order.group).where(Order.group == value).From(Order).Build()

        print(select("a"), select("b"))
        DB.create(connector=PyMysqlConnector(host="127.0.0.1", port=1, connect_timeout=1))
        print(select("a"), select("b"))
    """)
    quoted = 'SELECT "order"."group" FROM "order" WHERE "order"."group"  =  %s  ;'
    assert out.splitlines() == [str((quoted, ("a",))) + " " + str((quoted, ("b",))),
                                str((quoted.replace('"', "`"), ("a",))) + " " + str((quoted.replace('"', "`"), ("b",)))]


@needs_entity
def test_keyword_names_are_quoted_in_every_statement():
    from Quillon.Model.Columns import IntProperty, StrProperty
    from Quillon.Model.Entity import Entity

    class Order(Entity):
        id = IntProperty(pk=True, Null=False)
        group = StrProperty(typeArgs=(20,))
        key = IntProperty()

    class Line(Entity):
        id = IntProperty(pk=True, Null=False)
        orderId = IntProperty()

    conn = sqlite3.connect(":memory:")
    for model in (Order, Line):
        ddl, = TableGenerator(model).Build()
        conn.execute(ddl)
    assert ddl.startswith("CREATE TABLE line( \n   id int NOT NULL ,")  # ordinary names keep their text
    assert TableGenerator(Order).Build()[0] == (
        'CREATE TABLE "order"( \n   id int NOT NULL ,\n   "group" varchar(20) NULL ,\n   "key" int NULL ,\n'
        '   constraint order_pk PRIMARY KEY (id)\n) ;')
    g = SqlGenerator().insert(Order).values({"col": "id", "value": 1}, {"col": "group", "value": "a"},
                                            {"col": "key", "value": 7})
    assert g.Build()[0] == 'INSERT INTO "order" (id,"group","key") values (%s,%s,%s);'
    run_sql(conn, *g.Build())
    run_sql(conn, "insert into line values (1, 1)")
    g = SqlGenerator().update(Order).set({"name": "group", "value": "b"}).where(Order.key == 7)
    assert g.Build()[0] == 'UPDATE "order" SET "group" = %s WHERE "order"."key"  =  %s ;'
    run_sql(conn, *g.Build())
    g = SqlGenerator().select(Order.group, Line.id).where(Order.group == "b")
    g.From(Order)
    g.join({"target": Line, "owner": Order, "bindCol": Order.id, "targetBindCol": Line.orderId})
    g.orderBy('"order"."key" DESC')
    sql, args = g.Build()
    assert sql == ('SELECT "order"."group",line.id FROM "order"\n       JOIN line on "order".id = line.orderId\n'
                   ' WHERE "order"."group"  =  %s  order by "order"."key" DESC ;')
    assert run_sql(conn, sql, args) == [("b", 1)]
    g = SqlGenerator().delete(Order).where(Order.group != None)  # noqa: E711
    assert g.Build() == ('DELETE FROM "order"  WHERE "order"."group"  IS NOT NULL', ())
    run_sql(conn, *g.Build())
    assert run_sql(conn, 'select count(*) from "order"') == [(0,)]


# ---------------------------------------------------------------------------
# CREATE TABLE text
# ---------------------------------------------------------------------------


def stand_in(table, cols, pk=None):
    """A model as the table generator reads it (properties are not bound to it)."""
    return types.SimpleNamespace(tableName=table, col=cols, pkCol=pk)


@needs_columns
class TestTableGenerator:
    def test_build_takes_exactly_the_model(self):
        with pytest.raises(TypeError):
            TableGenerator()
        with pytest.raises(TypeError):
            TableGenerator(1, 2)
        assert TableGenerator(model=stand_in("t", [])).Build() == ("CREATE TABLE t( \n) ;",)

    def test_columns_without_key(self):
        from Quillon.Model.Columns import IntProperty, StrProperty

        cols = [StrProperty(name="name", Null=False), IntProperty(name="age", typeArgs=())]
        sql, = TableGenerator(stand_in("person", cols)).Build()
        assert sql == "CREATE TABLE person( \n   name varchar(255) NOT NULL ,\n   age int NULL \n) ;"
        conn = sqlite3.connect(":memory:")
        conn.execute(sql)
        conn.execute("insert into person (name, age) values ('a', 1)")

    def test_key_without_auto_increment_and_constraint(self):
        from Quillon.Model.Columns import IntProperty, StrProperty

        pk = IntProperty(name="id", pk=True, Null=False)
        cols = [pk, StrProperty(name="name", typeArgs=(10,))]
        sql, = TableGenerator(stand_in("user", cols, pk)).Build()
        assert sql == ("CREATE TABLE user( \n   id int NOT NULL ,\n   name varchar(10) NULL ,\n"
                       "   constraint user_pk PRIMARY KEY (id)\n) ;")
        sqlite3.connect(":memory:").execute(sql)

    def test_key_column_is_never_null(self):
        from Quillon.Model.Columns import StrProperty

        pk = StrProperty(name="code", pk=True, typeArgs=(10,))  # Null is True unless declared
        sql, = TableGenerator(stand_in("t", [pk], pk)).Build()
        assert sql == "CREATE TABLE t( \n   code varchar(10) NOT NULL ,\n   constraint t_pk PRIMARY KEY (code)\n) ;"
        conn = sqlite3.connect(":memory:")
        conn.execute(sql)
        with pytest.raises(sqlite3.IntegrityError):
            conn.execute("insert into t values (NULL)")

    @pytest.mark.parametrize("target, text", [("text", "text"), ("longText", "longtext"), ("tinyText", "tinytext"),
                                              ("varchar", "varchar(255)")])
    def test_text_types_take_no_length(self, target, text):
        from Quillon.Model.Columns import StrProperty, strSupportType

        col = StrProperty(name="s", targetType=getattr(strSupportType, target), typeArgs=(255,))
        assert TableGenerator(stand_in("t", [col])).Build() == (f"CREATE TABLE t( \n   s {text} NULL \n) ;",)

    @pytest.mark.parametrize("typeArgs, text", [((255,), "(255)"), ((10, 2), "(10, 2)"), ((), "")])
    def test_type_arguments(self, typeArgs, text):
        from Quillon.Model.Columns import FloatProperty

        col = FloatProperty(name="x", typeArgs=typeArgs)
        sql, = TableGenerator(stand_in("t", [col])).Build()
        assert sql == f"CREATE TABLE t( \n   x float{text} NULL \n) ;"

    @pytest.mark.parametrize("default, text", [
        ("a", "DEFAULT 'a'"),
        (5, "DEFAULT 5"),
        ("it's", "DEFAULT 'it''s'"),
        (None, "DEFAULT NULL"),
    ])
    def test_defaults(self, default, text):
        from Quillon.Model.Columns import BaseProperty

        class Plain(BaseProperty):
            Type = None

            @property
            def targetType(self):
                return "blob"

        col = Plain(name="v", default=default)
        sql, = TableGenerator(stand_in("t", [col])).Build()
        assert sql == f"CREATE TABLE t( \n   v blob NULL {text}\n) ;"
        conn = sqlite3.connect(":memory:")
        conn.execute(sql)
        conn.execute("insert into t default values")
        assert conn.execute("select v from t").fetchall() == [(default,)]

    @pytest.mark.parametrize("stored, text", [(b"\x01", "1"), (b"\x00", "0"), (b"ab", "0")])
    def test_byte_defaults(self, stored, text):
        from Quillon.Model.Columns import IntProperty

        class Bits(IntProperty):
            def toDBValue(self, value):
                return stored

        sql, = TableGenerator(stand_in("t", [Bits(name="b", default=True)])).Build()
        assert sql == f"CREATE TABLE t( \n   b int NULL DEFAULT {text}\n) ;"

    def test_announcement_defaults(self):
        from Quillon.Model.Columns import IntProperty, TimestampProperty, current_timestamp

        pk = IntProperty(name="id", pk=True, default=CustomColAnnounce("INTEGER NOT NULL"))
        cols = [pk, TimestampProperty(name="at", default=current_timestamp)]
        sql, = TableGenerator(stand_in("log", cols, pk)).Build()
        assert sql == ("CREATE TABLE log( \n   id INTEGER NOT NULL,\n   at timestamp NULL DEFAULT current_timestamp,\n"
                       "   constraint log_pk PRIMARY KEY (id)\n) ;")
        conn = sqlite3.connect(":memory:")
        conn.execute(sql)
        conn.execute("insert into log (id) values (1)")
        assert conn.execute("select at is not null from log").fetchall() == [(1,)]

    def test_python_generator_default_is_honoured(self):
        from Quillon.Model.Columns import IntProperty

        class Seven(BaseSqlGenerator):
            def Build(self):
                return ("7",)

        sql, = TableGenerator(stand_in("t", [IntProperty(name="n", default=Seven())])).Build()
        assert sql == "CREATE TABLE t( \n   n int NULL DEFAULT 7\n) ;"

    @pytest.mark.parametrize("marker", ["instance", "class"])
    def test_null_default_marker_declares_no_default(self, marker):
        from Quillon.Model.Columns import IntProperty, NullDefault

        default = NullDefault() if marker == "instance" else NullDefault
        sql, = TableGenerator(stand_in("t", [IntProperty(name="n", default=default)])).Build()
        assert sql == "CREATE TABLE t( \n   n int NULL \n) ;"
        sqlite3.connect(":memory:").execute(sql)

    @pytest.mark.parametrize("kwargs, text", [
        ({"define": "UNIQUE"}, "n int NULL UNIQUE"),
        ({"unique": True}, "n int NULL UNIQUE "),
        ({"unique": 1, "default": 7, "Null": False}, "n int NOT NULL DEFAULT 7 UNIQUE "),
    ])
    def test_define_is_appended_and_unique_declared(self, kwargs, text):
        from Quillon.Model.Columns import IntProperty

        col = IntProperty(name="n", **kwargs)
        assert col.unique is ("unique" in kwargs)
        sql, = TableGenerator(stand_in("t", [col])).Build()
        assert sql == f"CREATE TABLE t( \n   {text}\n) ;"
        conn = sqlite3.connect(":memory:")
        conn.execute(sql)
        conn.execute("insert into t (n) values (1)")
        with pytest.raises(sqlite3.IntegrityError):
            conn.execute("insert into t (n) values (1)")

    @pytest.mark.parametrize("model", [
        stand_in(5, []),
        stand_in("t", ["not a property"]),
    ])
    def test_bad_pieces_are_type_errors(self, model):
        generator = TableGenerator(model)
        with pytest.raises(TypeError):
            generator.Build()

    def test_none_type_arguments(self):
        from Quillon.Model.Columns import IntProperty

        with pytest.raises(TypeError, match="object of type 'NoneType' has no len()"):
            TableGenerator(stand_in("t", [IntProperty(name="n", typeArgs=None)])).Build()


AUTO_INCREMENT_SCRIPT = textwrap.dedent("""
    import sqlite3
    import types
    from Quillon.DB.DB import DB
    from Quillon.DB.Connector import Sqlite3Connector
    from Quillon.DB.Generator import TableGenerator
    from Quillon.Model.Columns import IntProperty, StrProperty, auto_increment

    DB.create(connector=Sqlite3Connector(":memory:", False))
    pk = IntProperty(name="id", pk=True, default=auto_increment)
    Model = types.SimpleNamespace(tableName="user", col=[pk, StrProperty(name="name", Null=False)], pkCol=pk)
    sql, = TableGenerator(Model).Build()
    print(repr(sql))
    conn = sqlite3.connect(":memory:")
    conn.execute(sql)
    conn.execute("insert into user (name) values ('a')")
    conn.execute("insert into user (name) values ('b')")
    print(conn.execute("select id, name from user").fetchall())
""")


def connector_ready():
    from Quillon.DB.Connector import Sqlite3Connector

    try:
        Sqlite3Connector(":memory:", False)
    except TypeError:
        return False
    return True


@needs_columns
def test_auto_increment_key_asks_the_connector():
    if not connector_ready():
        pytest.skip("the SQLite connector is not available yet")
    env = dict(os.environ)
    proc = subprocess.run([sys.executable, "-c", AUTO_INCREMENT_SCRIPT], env=env, capture_output=True, text=True,
                          timeout=60)
    assert proc.returncode == 0, proc.stderr[-3000:]
    lines = proc.stdout.splitlines()
    # The key never holds NULL.
    assert lines[0] == repr("CREATE TABLE user( \n   id INTEGER NOT NULL ,\n   name varchar(255) NOT NULL ,\n"
                            "   constraint user_pk PRIMARY KEY (id)\n) ;")
    assert lines[1] == "[(1, 'a'), (2, 'b')]"
