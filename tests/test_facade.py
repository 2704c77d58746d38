"""The DB facade's life cycle.  A facade is created once per process, so
every scenario runs in a fresh interpreter."""

import pytest

from conftest import fresh_rows, run_python

PRELUDE = """
import asyncio, sys
from Quillon.DB.DB import DB
from Quillon.DB.Connector import Sqlite3Connector, AioSqliteConnector, BaseConnector
from Quillon.Error.DbFault import DBInstanceError, DBInstanceCreateError
"""


def scenario(body):
    return run_python(PRELUDE + body)


def test_create_once_and_reach_it_everywhere(db_path):
    out = scenario(f"""
assert DB.getInstance() is None
c = Sqlite3Connector({db_path!r}, showLog=False)
db = DB.create(connector=c)
assert DB.getInstance() is db and db.instance is db and db.connector is c
assert DB.getInstanceWithCheck() is db
try:
    DB.create(connector=c)
except DBInstanceError:
    print("second create refused")
assert DB.getInstance() is db
assert db.ConnectorType == 0
assert db.execute == c.process
assert db.executeSql == c.execute
assert db.getCon is c.con
db.executeSql("insert into item(name) values (%s)", args=("via facade",))
c.releaseCon(db.getCon)
""")
    assert out.strip() == "second create refused"
    assert fresh_rows(db_path, "select name from item") == [("via facade",)]


def test_direct_construction():
    scenario("""
c = BaseConnector()
try:
    DB(connector=c)
    raise SystemExit("constructed without cr")
except DBInstanceCreateError:
    pass
side = DB(1, 2, cr=True, connector=c)
assert side.connector is c
assert DB.getInstance() is None and side.instance is None
try:
    DB(cr=True, connector=object())
    raise SystemExit("non-connector accepted")
except TypeError as e:
    assert "BaseConnector" in str(e)
""")


def test_get_instance_with_check_before_create_fails():
    scenario("""
from Quillon.Error.DbFault import DBInstanceMissingError
try:
    DB.getInstanceWithCheck()
    raise SystemExit("no error")
except DBInstanceError as e:
    assert isinstance(e, DBInstanceMissingError) and "create" in str(e)
""")


def test_create_with_bad_connector_leaves_no_instance():
    scenario("""
try:
    DB.create(connector=1)
    raise SystemExit("accepted")
except TypeError:
    pass
assert DB.getInstance() is None
db = DB.create(connector=BaseConnector())
assert DB.getInstance() is db
""")


def test_async_connector_execute_is_async_process(db_path):
    out = scenario(f"""
async def main():
    c = AioSqliteConnector(asyncio.get_running_loop(), path={db_path!r})
    db = DB.create(connector=c)
    assert db.execute == c.asyncProcess and db.executeSql == c.execute
    con = await db.getCon
    assert con is await c.getCon()
    await db.executeSql("insert into item(name) values (%s)", args=("awaited",))
    print(await db.executeSql("select name from item", dictCur=True))
asyncio.run(main())
""")
    assert out.strip() == "[{'name': 'awaited'}]"
    assert fresh_rows(db_path, "select name from item") == [("awaited",)]


def test_generate_table_returns_the_facade():
    scenario("""
calls = []
class Recording(BaseConnector):
    def GenerateTable(self):
        calls.append(self)
        return "ignored"
c = Recording()
db = DB.create(connector=c)
assert db.GenerateTable() is db
assert calls == [c]
""")


def test_execute_honours_python_override():
    scenario("""
class Mine(BaseConnector):
    def process(self, executor, con=None):
        return ("mine", executor)
db = DB.create(connector=Mine())
assert db.execute(5) == ("mine", 5)
db.connector.isAsync = True
assert db.execute == db.connector.asyncProcess
""")


def test_executor_statements_honour_process_overrides(db_path):
    # Executors reach the connector's process without asking the facade each
    # time; a process defined by the class, set on the instance or restored
    # to the native one later is still the one that runs.
    scenario(f"""
from Quillon.Model.Columns import IntProperty, StrProperty
from Quillon.Model.Entity import Entity
calls = []
class Counting(Sqlite3Connector):
    def process(self, executor, con=None):
        calls.append("class")
        return super().process(executor)
c = Counting({db_path!r})
DB.create(connector=c)
class Item(Entity):
    id = IntProperty(pk=True)
    name = StrProperty()
ex = Item.getExecutor()
assert ex.save(Item(id=1, name="a")) == 1 and calls == ["class"]
c.process = lambda executor, con=None: calls.append("instance") or Sqlite3Connector.process(c, executor)
assert ex.get(1)["name"] == "a" and calls == ["class", "instance"]
del c.process
Counting.process = Sqlite3Connector.process
assert ex.get(1)["name"] == "a" and calls == ["class", "instance"]
""")


def test_facade_without_connector():
    scenario("""
from Quillon.Error.DbFault import DbFault
db = DB.create()
assert db.connector is None
for name in ["getCon", "execute", "executeSql", "ConnectorType"]:
    try:
        getattr(db, name)
        raise SystemExit(name + " did not fail")
    except DbFault:
        pass
try:
    db.GenerateTable()
    raise SystemExit("GenerateTable did not fail")
except DbFault:
    pass
# What needs the connector's kind says what is missing.
from Quillon.Error.DbFault import ConnectorMissingError
from Quillon.Ext.Paging import Paging
from Quillon.Ext.Seeder import GeneratorRunner
from Quillon.Model.Columns import IntProperty
from Quillon.Model.Entity import Entity
class Thing(Entity):
    id = IntProperty(pk=True)
for call in (Thing.getExecutor, lambda: Paging(Thing), GeneratorRunner().run):
    try:
        call()
        raise SystemExit("no error")
    except ConnectorMissingError:
        pass
""")


@pytest.mark.parametrize(
    "order",
    [
        ["Quillon.DB.Connector", "Quillon.DB.DB"],
        ["Quillon.DB.DB", "Quillon.DB.Connector"],
        ["Quillon.Model.Entity", "Quillon.DB.Connector", "Quillon.DB.DB"],
        ["Quillon.Ext", "Quillon.Model.Executors", "Quillon.DB.Connector"],
        ["Quillon.Model.Columns", "Quillon.DB.Generator", "Quillon.Ext.Paging", "Quillon.DB.DB"],
        ["Quillon.Ext.Seeder", "Quillon.Model.Executors", "Quillon.DB.Connector"],
        ["Quillon.DB.Generator", "Quillon.Model.Columns", "Quillon.Model.Entity", "Quillon.Ext.Seeder"],
    ],
)
def test_modules_load_in_any_order(order):
    modules = order + [
        m
        for m in [
            "Quillon.DB.DB",
            "Quillon.DB.Connector",
            "Quillon.DB.Generator",
            "Quillon.Model.Columns",
            "Quillon.Model.Entity",
            "Quillon.Model.Executors",
            "Quillon.Ext.Paging",
            "Quillon.Ext.Seeder",
            "Quillon.Ext",
        ]
        if m not in order
    ]
    out = run_python(f"""
import importlib
for name in {modules!r}:
    importlib.import_module(name)
from Quillon.DB.Connector import Sqlite3Connector
from Quillon.DB.DB import DB
db = DB.create(connector=Sqlite3Connector(":memory:", showLog=False))
print(db.executeSql("select %s", args=(42,)))
""")
    assert out.strip() == "((42,),)"
