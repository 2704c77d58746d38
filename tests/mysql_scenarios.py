"""Scenarios on a real database server, each run in a fresh interpreter.

The facade can be created once per process, so tests/test_mysql.py and
tests/test_postgres.py run every scenario here in its own interpreter:

    python mysql_scenarios.py NAME [awaited|blocking] [mysql|postgres]

with the server settings in QUILLON_MYSQL_* (QUILLON_PG_*) and the
scenario's own (empty) database in QUILLON_MYSQL_SCENARIO_DB
(QUILLON_PG_SCENARIO_DB): "awaited" (the default) runs it with
AioMysqlConnector (AioPostgresConnector), "blocking" with PyMysqlConnector
(PostgresConnector).  The executor scenarios shared with SQLite
(executor_scenarios.py) run here unchanged on both servers; the scenarios
below add what is particular to the server connectors, and the pager and the
test-data runner on a real server.  Scenarios in OWN_SETUP make their
connector and facade themselves (inside a running loop, for instance).
"""

import asyncio
import inspect
import json
import os
import sys
import time as clock

import executor_scenarios as shared
import mysql_support
import pg_support
from executor_scenarios import q

SCENARIOS = {}


def scenario(fn):
    SCENARIOS[fn.__name__] = fn
    return fn


# The executor API scenarios of the SQLite suite that do not read the SQLite
# file directly: the same calls must give the same results on MySQL.
SHARED = ("roundtrip", "queries", "writes", "relations", "concurrent", "values", "keyword_names", "defaults", "links",
          "subclass", "keyword_statements", "keywords", "nested_relations", "locking", "upserts", "blocks", "block_tasks",
          "block_cancel_points", "block_threads", "filters", "aggregates", "across", "counter")
for _name in SHARED:
    SCENARIOS["executors_" + _name] = shared.SCENARIOS[_name]

# The connector kind the scenario runs with ("awaited" or "blocking"), and
# the server ("mysql" or "postgres").
KIND = "awaited"
SERVER = "mysql"


def config():
    if SERVER == "postgres":
        return dict(pg_support.settings(), dbname=os.environ["QUILLON_PG_SCENARIO_DB"])
    out = dict(mysql_support.settings())
    out["db"] = os.environ["QUILLON_MYSQL_SCENARIO_DB"]
    return out


def setup(kind="awaited"):
    from Quillon.DB.Connector import AioMysqlConnector, AioPostgresConnector, PostgresConnector, PyMysqlConnector
    from Quillon.DB.DB import DB

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    if SERVER == "postgres":
        if kind == "blocking":
            connector = PostgresConnector(maxsize=20, **config())
        else:
            connector = AioPostgresConnector(loop, max_size=20, **config())
    elif kind == "blocking":
        connector = PyMysqlConnector(maxsize=20, **config())
    else:
        connector = AioMysqlConnector(loop, autocommit=False, maxsize=20, **config())
    DB.create(connector=connector)
    return loop, connector


def settle(loop, connector):
    """Lets the end-of-task work of finished tasks run (bounded); every
    connection must be back in its pool afterwards."""
    if not connector.isAsync:
        assert connector.freesize == connector.size, (connector.freesize, connector.size)
        return
    pool = connector._pool
    for _ in range(300):
        loop.run_until_complete(asyncio.sleep(0.01))
        if pool.freesize == pool.size:
            return
    raise AssertionError("pooled connections still out after 3s")


def rows(sql, args=None):
    """Committed rows, read through a connection of their own."""
    c = config()
    if SERVER == "postgres":
        return pg_support.query(c, c["dbname"], sql, args)
    return mysql_support.query(c, c["db"], sql, args)


def table_names():
    if SERVER == "postgres":
        return sorted(r[0] for r in rows("SELECT table_name FROM information_schema.tables WHERE table_schema = 'public'"))
    return sorted(r[0] for r in rows("SELECT TABLE_NAME FROM information_schema.TABLES WHERE TABLE_SCHEMA = DATABASE()"))


# ---------------------------------------------------------------------------
# Table generation
# ---------------------------------------------------------------------------


@scenario
async def generated_tables(models, connector):
    Member, Post, Profile, Role = models
    listed = sorted(await q(connector.getTableNameList()))
    middle = Member.roles["middleModel"].tableName
    assert listed == table_names(), (listed, table_names())
    assert {"member", "post", "profile", "role", middle} <= set(listed), listed
    key = rows(
        "SELECT DATA_TYPE, EXTRA, COLUMN_KEY FROM information_schema.COLUMNS"
        " WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = 'member' AND COLUMN_NAME = 'id'"
    )
    assert key == [("int", "auto_increment", "PRI")], key
    # The keys count up on the server.
    ex = Member.getExecutor()
    first = await q(ex.save(Member(name="one")))
    second = await q(ex.save(Member(name="two")))
    assert second == first + 1
    # A link between two rows is stored once: the middle table is unique over its two columns.
    unique = rows(
        "SELECT COLUMN_NAME FROM information_schema.STATISTICS WHERE TABLE_SCHEMA = DATABASE()"
        " AND TABLE_NAME = %s AND NON_UNIQUE = 0 ORDER BY SEQ_IN_INDEX", (middle,))
    assert unique == [("member_id",), ("role_id",)], unique
    link = "INSERT INTO " + mysql_support.quote_name(middle) + " (member_id, role_id) VALUES (1, 1)"
    rows(link)
    try:
        rows(link)
    except Exception as e:  # pymysql's IntegrityError
        assert e.args[0] == 1062, e.args
    else:
        raise AssertionError("a link was stored twice")




@scenario
async def table_creation_failure(models, connector):
    """A table the server refuses names its model; the tables before it stay."""
    from Quillon.Error.DbFault import TableCreationError
    from Quillon.Ext import generate_table
    from Quillon.Model.Columns import IntProperty, auto_increment
    from Quillon.Model.Entity import Entity

    import pymysql

    class Fine(Entity):
        id = IntProperty(pk=True, default=auto_increment)

    class Broken(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        n = IntProperty(define="CHECK (")

    try:
        await generate_table()
    except TableCreationError as e:
        assert (e.model, e.table) == (Broken, "broken") and "Broken" in str(e), e
        assert isinstance(e.__cause__, pymysql.err.ProgrammingError), repr(e.__cause__)
    else:
        raise AssertionError("the broken table was created")
    assert "fine" in table_names() and "broken" not in table_names(), table_names()


@scenario
async def unchanged_rows_count(models, connector):
    """An update matching a row whose values do not change counts it (as on SQLite)."""
    Member = models[0]
    ex = Member.getExecutor()
    await q(ex.insertMany([Member(name="same", age=3), Member(name="same", age=3), Member(name="other", age=4)]))
    row = await q(ex.first(Member.age == 4))
    assert await q(ex.update(row)) == 1
    assert await q(ex.updateWhere(Member.name == "same", {"age": 3})) == 2
    assert await q(ex.updateWhere(Member.name == "nobody", {"age": 3})) == 0
    assert await q(ex.delete(row)) == 1 and await q(ex.delete(row)) == 0


# ---------------------------------------------------------------------------
# asyncProcess on the task's connection and on a given one
# ---------------------------------------------------------------------------


def insert_executor(Model, body):
    from Quillon.Model.Executors import AsyncModelExecutor

    ex = AsyncModelExecutor(Model, None)
    ex.sqlBuilder.insert(Model.tableName).values({"col": "name", "value": body})
    return ex


def select_executor(Model, *cols):
    from Quillon.Model.Executors import AsyncModelExecutor

    ex = AsyncModelExecutor(Model, None)
    ex.sqlBuilder.select(*cols).From(Model)
    return ex


@scenario
async def process_on_connections(models, connector):
    Member = models[0]
    loop = asyncio.get_running_loop()

    async def on_task_connection():
        first = await connector.asyncProcess(executor=insert_executor(Member, "task-a"))
        second = await connector.asyncProcess(executor=insert_executor(Member, "task-b"))
        assert second == first + 1, (first, second)
        found = await connector.asyncProcess(executor=select_executor(Member, Member.id, Member.name))
        assert [(r["id"], r["name"]) for r in found] == [(first, "task-a"), (second, "task-b")], found
        assert found[0].object is Member
        assert rows("SELECT COUNT(*) FROM member") == [(0,)]  # one transaction until the task ends
        return first

    first = await loop.create_task(on_task_connection())
    await asyncio.sleep(0.1)
    assert rows("SELECT id, name FROM member ORDER BY id") == [(first, "task-a"), (first + 1, "task-b")]

    async def on_given_connection(commit):
        con = await connector.getSelectCon()
        try:
            new_id = await connector.asyncProcess(executor=insert_executor(Member, "given"), con=con)
            assert new_id > first + 1
            found = await connector.asyncProcess(executor=select_executor(Member, Member.name), con=con)
            assert [r["name"] for r in found] == ["task-a", "task-b", "given"], found
            if commit:
                await con.commit()
            else:
                await con.rollback()
        finally:
            await connector.releaseCon(con)

    await loop.create_task(on_given_connection(commit=False))
    await asyncio.sleep(0.1)
    assert rows("SELECT COUNT(*) FROM member WHERE name = 'given'") == [(0,)]
    await loop.create_task(on_given_connection(commit=True))
    assert rows("SELECT COUNT(*) FROM member WHERE name = 'given'") == [(1,)]

    # An executor handed a connection runs every statement on it.
    async def executor_with_work():
        con = await connector.getSelectCon()
        try:
            ex = Member.getExecutor(con)
            new_id = await ex.save(Member(name="worked"))
            assert (await ex.get(new_id))["name"] == "worked"
            assert rows("SELECT COUNT(*) FROM member WHERE name = 'worked'") == [(0,)]
            await con.commit()
        finally:
            await connector.releaseCon(con)

    await loop.create_task(executor_with_work())
    assert rows("SELECT COUNT(*) FROM member WHERE name = 'worked'") == [(1,)]


# ---------------------------------------------------------------------------
# Many concurrent tasks
# ---------------------------------------------------------------------------


@scenario
async def many_writers(models, connector):
    Member = models[0]
    tasks, per_task = 200, 3

    async def writer(i):
        ex = Member.getExecutor()
        keys = [await ex.save(Member(name=f"w{i}-0", age=i))]
        await asyncio.sleep(0)  # let the other tasks interleave
        assert await ex.insertMany([Member(name=f"w{i}-{j}", age=i) for j in range(1, per_task)]) == per_task - 1
        mine = await ex.find(Member.age == i, orderBy=Member.id)
        assert [r["name"] for r in mine] == [f"w{i}-{j}" for j in range(per_task)], mine
        return keys[0]

    keys = await asyncio.gather(*(writer(i) for i in range(tasks)))
    assert len(set(keys)) == tasks
    await asyncio.sleep(0.2)
    counted = rows("SELECT COUNT(*), COUNT(DISTINCT name), COUNT(DISTINCT id) FROM member")
    assert counted == [(tasks * per_task,) * 3], counted
    per_age = rows("SELECT age, COUNT(*) FROM member GROUP BY age HAVING COUNT(*) <> %s", (per_task,))
    assert per_age == [], per_age

    # The same with transaction blocks whose own tasks write too; every
    # third block fails and leaves nothing.
    from Quillon.DB.utils import transaction

    async def block_writer(i):
        ex = Member.getExecutor()
        async with transaction() as t:
            await ex.save(Member(name=f"b{i}-0", age=1000 + i))
            await asyncio.gather(ex.insertMany([Member(name=f"b{i}-1", age=1000 + i)]),
                                 ex.save(Member(name=f"b{i}-2", age=1000 + i)))
            t.onCommit(lambda: committed.append(i))
            if i % 3 == 0:
                raise LookupError(i)

    committed = []
    outcomes = await asyncio.gather(*(block_writer(i) for i in range(tasks)), return_exceptions=True)
    kept = [i for i in range(tasks) if i % 3]
    assert [i for i, o in enumerate(outcomes) if o is None] == kept, outcomes
    assert sorted(committed) == kept
    counted = rows("SELECT COUNT(*), COUNT(DISTINCT name), COUNT(DISTINCT age) FROM member WHERE age >= 1000")
    assert counted == [(len(kept) * 3, len(kept) * 3, len(kept))], counted


@scenario
async def read_after_task(models, connector):
    """Once `await asyncio.create_task(...)` returns, what the task wrote is
    on the server for every other connection."""
    Member = models[0]
    ex = Member.getExecutor()
    for i in range(60):
        key = await asyncio.create_task(ex.save(Member(name=f"r{i}")))
        assert rows("SELECT name FROM member WHERE id = %s", (key,)) == [(f"r{i}",)], i


# ---------------------------------------------------------------------------
# Paging over rows written by another connection
# ---------------------------------------------------------------------------


MEMBERS = [
    # (name, age, score, active, flag, bits, meta)
    (f"m{i:02d}", 18 + (i * 7) % 50, i * 1.25, i % 3 != 0, i % 2 == 0, i % 4 == 0, {"n": i, "tags": ["t%d" % (i % 4)]})
    for i in range(1, 26)
]


def write_members():
    """The 25 members, committed through a blocking connection of their own;
    returns their keys in insertion order."""
    c = config()
    con = mysql_support.connect(c, c["db"])
    try:
        with con.cursor() as cur:
            cur.executemany(
                "INSERT INTO member (name, age, score, active, flag, bits, meta) VALUES (%s, %s, %s, %s, %s, %s, %s)",
                [
                    (n, a, s, int(act), "true" if f else "false", b"\x01" if b else b"\x00", json.dumps(m))
                    for n, a, s, act, f, b, m in MEMBERS
                ],
            )
    finally:
        con.close()
    keys = [r[0] for r in rows("SELECT id FROM member ORDER BY id")]
    assert len(keys) == len(MEMBERS)
    return keys


def expected_members(keys, pred=lambda m: True):
    """(key, member) pairs of the members matching `pred`, in key order."""
    return [(k, m) for k, m in zip(keys, MEMBERS) if pred(m)]


class Recorder:
    """What the recording executors of `watched_model` saw."""

    executors = []
    executes = 0
    relation_loads = []


def watched_model():
    """The member table read through executors that record their calls."""
    from Quillon.Model.Columns import IntProperty, StrProperty, auto_increment
    from Quillon.Model.Entity import Entity
    from Quillon.Model.Executors import AsyncModelExecutor, ModelExecutor

    class Recording(ModelExecutor if KIND == "blocking" else AsyncModelExecutor):
        def execute(self):
            Recorder.executes += 1
            return super().execute()

        def findListForeignKey(self, found):
            Recorder.relation_loads.append([r["id"] for r in found])
            return super().findListForeignKey(found)

    class Watched(Entity):
        tableName = "member"
        id = IntProperty(pk=True, default=auto_increment)
        name = StrProperty()
        age = IntProperty()

        @classmethod
        def getExecutor(cls, work=None):
            executor = Recording(cls, work)
            Recorder.executors.append(executor)
            return executor

    return Watched


@scenario
async def paging_totals(models, connector):
    from Quillon.Ext.Paging import Page, Paging

    Member = models[0]
    keys = write_members()

    def ids(page):
        return [r["id"] for r in page.content]

    page = await q(Paging(Member, page=1, pageSize=10).filter().orderBy("id asc").execute())
    assert isinstance(page, Page)
    assert (page.page, page.pageSize, page.total, page.totalPage) == (1, 10, 25, 3), dict(page)
    assert ids(page) == keys[:10], ids(page)
    assert set(page) == {"page", "pageSize", "content", "total", "totalPage"}
    page = await q(Paging(Member, page=2, pageSize=10).filter().orderBy("id asc").execute())
    assert ids(page) == keys[10:20]
    page = await q(Paging(Member, page=3, pageSize=10).filter().orderBy("id asc").execute())
    assert (page.total, page.totalPage, ids(page)) == (25, 3, keys[20:])

    # An exact multiple of the page size gives no extra page.
    page = await q(Paging(Member, page=5, pageSize=5).filter().orderBy("id asc").execute())
    assert (page.total, page.totalPage, ids(page)) == (25, 5, keys[20:])
    page = await q(Paging(Member, page=1, pageSize=25).filter().orderBy("id").execute())
    assert (page.totalPage, ids(page)) == (1, keys)

    # A page past the end: the totals, empty content, and no fetch.
    Watched = watched_model()
    Recorder.executes = 0
    page = await q(Paging(Watched, page=4, pageSize=10).filter().execute())
    assert (page.page, page.total, page.totalPage, page.content) == (4, 25, 3, [])
    assert Recorder.executes == 0
    assert "limit" not in Recorder.executors[-1].sqlBuilder.Build()[0]

    # Nothing matches: total 0 and no fetch.
    page = await q(Paging(Watched).filter(Watched.age > 1000).execute())
    assert (page.total, page.totalPage, page.content) == (0, 0, [])
    assert Recorder.executes == 0

    # Without filter() every row is counted and read.
    page = await q(Paging(Member, page=2, pageSize=20).execute())
    assert (page.total, page.totalPage, len(page.content)) == (25, 2, 5)

    # setPage keeps or replaces the size; a second execute counts again.
    pager = Paging(Member, pageSize=4).filter().orderBy("id")
    page = await q(pager.setPage(3).execute())
    assert (page.page, page.pageSize, ids(page)) == (3, 4, keys[8:12])
    page = await q(pager.setPage(2, 6).execute())
    assert (page.pageSize, page.totalPage, ids(page)) == (6, 5, keys[6:12])
    mysql_support.query(config(), config()["db"], "INSERT INTO member (name) VALUES ('late')")
    if KIND == "awaited":
        # This task's transaction keeps the snapshot of its first read...
        page = await q(pager.setPage(5).execute())
        assert (page.total, page.totalPage, [r["name"] for r in page.content]) == (25, 5, ["m25"]), dict(page)
        # ...a task of its own starts a new one and sees the new row.
        page = await asyncio.ensure_future(pager.setPage(5).execute())
    else:
        # Every blocking statement sees what was committed before it.
        page = await q(pager.setPage(5).execute())
    assert (page.total, page.totalPage, [r["name"] for r in page.content]) == (26, 5, ["m25", "late"]), dict(page)


@scenario
async def paging_rows(models, connector):
    """Content is model rows with converted values; filters and order hold."""
    from Quillon.Ext.Paging import Paging
    from Quillon.Model.Entity import ModelInstance

    Member = models[0]
    keys = write_members()

    page = await q(Paging(Member, pageSize=25).filter().orderBy("id").execute())
    assert len(page.content) == 25
    for row, key, (name, age, score, active, flag, bits, meta) in zip(page.content, keys, MEMBERS):
        assert isinstance(row, ModelInstance) and type(row).object is Member
        assert (row["id"], row["name"], row["age"]) == (key, name, age)
        assert row["score"] == score and isinstance(row["score"], float)
        assert row["active"] is active and row["flag"] is flag and row["bits"] is bits, dict(row)
        assert row["meta"] == meta and isinstance(row["meta"], dict)

    # AND with an order given with directions, read over two pages.
    cond = (Member.age >= 30) & (Member.active == True)  # noqa: E712
    want = expected_members(keys, lambda m: m[1] >= 30 and m[3])
    want.sort(key=lambda km: (km[1][1], km[0]), reverse=True)
    first = await q(Paging(Member, page=1, pageSize=4).filter(cond).orderBy("age desc", "id desc").execute())
    second = await q(Paging(Member, page=2, pageSize=4).filter(cond).orderBy("age desc", "id desc").execute())
    assert first.total == second.total == len(want) and first.totalPage == -(-len(want) // 4)
    assert [r["id"] for r in first.content + second.content] == [k for k, m in want[:8]]

    # OR with a pattern, on the server's own comparison rules.
    cond = (Member.age < 25) | Member.name.like("m1%")
    want = expected_members(keys, lambda m: m[1] < 25 or m[0].startswith("m1"))
    page = await q(Paging(Member, pageSize=100).filter(cond).orderBy("id").execute())
    assert page.total == len(want) and [r["id"] for r in page.content] == [k for k, m in want]

    # Values travel as arguments, never as SQL text.
    tricky = "m01' OR '1'='1"
    page = await q(Paging(Member).filter(Member.name == tricky).execute())
    assert (page.total, page.content) == (0, [])

    # Pagers of concurrent tasks each read their own page.
    async def read(n):
        return await q(Paging(Member, page=n, pageSize=3).filter().orderBy("id").execute())

    pages = await asyncio.gather(*(asyncio.ensure_future(read(n)) for n in range(1, 10)))
    assert [r["id"] for p in pages for r in p.content] == keys
    assert {p.totalPage for p in pages} == {9}


@scenario
async def paging_relations(models, connector):
    """findForeign loads the relations of every row of a non-empty page."""
    from Quillon.Ext.Paging import Paging

    Member, Post, Profile, Role = models
    keys = write_members()
    middle = Member.roles["middleModel"].tableName
    c = config()
    for sql in [
        "INSERT INTO post (authorId, title) VALUES (%s, 'a1'), (%s, 'a2'), (%s, 'c1'), (%s, 'far')" % (keys[0], keys[0], keys[2], keys[20]),
        "INSERT INTO profile (ownerId, bio) VALUES (%s, 'second')" % keys[1],
        "INSERT INTO role (label) VALUES ('admin'), ('dev')",
    ]:
        mysql_support.query(c, c["db"], sql)
    admin, dev = [r[0] for r in rows("SELECT id FROM role ORDER BY id")]
    for member, role in [(keys[0], admin), (keys[0], dev), (keys[2], dev)]:
        mysql_support.query(c, c["db"], "INSERT INTO " + mysql_support.quote_name(middle) + " (member_id, role_id) VALUES (%s, %s)", (member, role))

    page = await q(Paging(Member, pageSize=3).filter().orderBy("id").findForeign().execute())
    a, b, cc = page.content
    assert [p["title"] for p in a["posts"]] == ["a1", "a2"] and b["posts"] == [] and [p["title"] for p in cc["posts"]] == ["c1"]
    assert a["profile"] is None and b["profile"]["bio"] == "second" and cc["profile"] is None
    assert sorted(r["label"] for r in a["roles"]) == ["admin", "dev"] and b["roles"] == []
    assert [r["label"] for r in cc["roles"]] == ["dev"]
    assert a["posts"][0].object is Post and a["roles"][0].object is Role

    # The constructor flag does the same; the next page has its own relations.
    page = await q(Paging(Member, page=7, pageSize=3, findForeign=True).filter().orderBy("id").execute())
    assert [[p["title"] for p in r["posts"]] for r in page.content] == [[], [], ["far"]]

    # Without findForeign nothing is loaded; an empty page loads nothing.
    page = await q(Paging(Member, pageSize=3).filter().orderBy("id").execute())
    assert all(not r.get("posts") for r in page.content)
    Watched = watched_model()
    Recorder.relation_loads.clear()
    await q(Paging(Watched, findForeign=True).filter(Watched.id > keys[-1]).execute())
    await q(Paging(Watched, page=9, findForeign=True).filter().execute())
    assert Recorder.relation_loads == []
    await q(Paging(Watched, pageSize=2).filter().orderBy("id").findForeign().execute())
    assert Recorder.relation_loads == [keys[:2]]


@scenario
async def paging_awaitable(models, connector):
    """execute() returns an awaitable that runs nothing until awaited."""
    from Quillon.Ext.Paging import Page, Paging

    Member = models[0]
    keys = write_members()
    counts = []

    class Counting(Paging):
        def _getCount(self):
            counts.append(1)
            return super()._getCount()

    pending = Counting(Member, page=2, pageSize=10).filter(Member.age > 40).orderBy("id").execute()
    assert inspect.isawaitable(pending) and not isinstance(pending, Page)
    assert counts == []
    # A row committed after execute() and before the await is counted.
    mysql_support.query(config(), config()["db"], "INSERT INTO member (name, age) VALUES ('late', 90)")
    page = await pending
    want = expected_members(keys, lambda m: m[1] > 40)
    assert counts == [1]
    assert page.total == len(want) + 1 and page.totalPage == -(-(len(want) + 1) // 10)
    assert [r["id"] for r in page.content] == ([k for k, m in want] + [keys[-1] + 1])[10:20]
    # The awaited count ran on the server: _getCount gives an awaitable of rows.
    counted = Paging(Member).filter(Member.age > 40)._getCount()
    assert inspect.isawaitable(counted)
    assert [tuple(r) for r in await counted] == [(len(want) + 1,)]


@scenario
async def paging_nokey(models, connector):
    """A model without a primary key is counted and paged too."""
    from Quillon.Ext.Paging import Paging
    from Quillon.Model.Columns import IntProperty, StrProperty
    from Quillon.Model.Entity import Entity

    rows("CREATE TABLE tally (label VARCHAR(10), amount INT)")
    c = config()
    mysql_support.query(c, c["db"], "INSERT INTO tally VALUES " + ", ".join("('x%d', %d)" % (i, i) for i in range(7)))

    class Tally(Entity):
        label = StrProperty()
        amount = IntProperty()

    page = await q(Paging(Tally, page=2, pageSize=3).filter(Tally.amount >= 1).orderBy("amount").execute())
    assert (page.total, page.totalPage) == (6, 2)
    assert [(r["label"], r["amount"]) for r in page.content] == [("x4", 4), ("x5", 5), ("x6", 6)]


# ---------------------------------------------------------------------------
# Seeding
# ---------------------------------------------------------------------------


async def run_in_loop(call):
    """Runs `call()` (a runner call inside the running loop, which gives the
    coroutine doing the run with the asyncio connector) to its end."""
    pending = call()
    if KIND == "blocking":
        assert pending is None, pending
        return
    assert inspect.isawaitable(pending), pending
    await pending


async def run_all(runner):
    """A whole run: awaited in a task of its own, or blocking."""
    if KIND == "blocking":
        assert runner.run() is None
        return
    await asyncio.get_running_loop().create_task(runner.arun())


@scenario
async def seeding_runs(models, connector):
    """Generated rows are stored and committed by the run itself."""
    from Quillon.Ext.Seeder import GeneratorRunner, create_task, data_task

    Member, Post, Profile, Role = models
    loop = asyncio.get_running_loop()
    times = []

    @data_task(Member, count=3)
    def members(time):
        times.append(time)
        return Member(name="u%d" % time, age=20 + time, active=time != 2, meta={"t": time})

    never = []
    create_task(lambda time: never.append(time), Post, 0)
    create_task(lambda time: Post(authorId=time, title="p%d" % time), Post, 2)

    await run_all(GeneratorRunner(loop))
    assert times == [1, 2, 3] and never == []
    # Visible to another connection while this task still runs: committed.
    assert rows("SELECT id, name, age, active, meta FROM member ORDER BY id") == [
        (1, "u1", 21, 1, '{"t": 1}'), (2, "u2", 22, 0, '{"t": 2}'), (3, "u3", 23, 1, '{"t": 3}')
    ]
    assert rows("SELECT authorId, title FROM post ORDER BY id") == [(1, "p1"), (2, "p2")]

    # run() inside the running loop gives the run to await.
    await run_in_loop(GeneratorRunner(loop).run)
    assert times == [1, 2, 3] * 2
    assert rows("SELECT COUNT(*) FROM member") == [(6,)] and rows("SELECT COUNT(*) FROM post") == [(4,)]
    # The stored rows read back as model rows.
    found = await q(Member.getExecutor().find(Member.age == 22, orderBy=Member.id))
    assert [(r["name"], r["active"], r["meta"]) for r in found] == [("u2", False, {"t": 2})] * 2

    # Many rows in one task, then one commit.
    create_task(lambda time: Role(label="r%03d" % time), Role, 150)
    await run_all(GeneratorRunner(loop))
    assert rows("SELECT COUNT(*), COUNT(DISTINCT label), MIN(label), MAX(label) FROM role") == [(150, 150, "r001", "r150")]


@scenario
async def seeding_groups(models, connector):
    """run_group runs the tasks of one group; run() runs all of them."""
    from Quillon.Ext.Seeder import GeneratorRunner, create_task, data_task

    Member, Post, Profile, Role = models
    loop = asyncio.get_running_loop()
    order = []

    def maker(tag, model, field):
        def generate(time):
            order.append((tag, time))
            return model(**{field: "%s%d" % (tag, time)})

        return generate

    create_task(maker("a", Member, "name"), Member, 2, "first")
    create_task(maker("b", Role, "label"), Role, 1)
    data_task(Role, 2, group="first")(maker("c", Role, "label"))
    create_task(maker("d", Role, "label"), Role, 1, "second")

    runner = GeneratorRunner(loop)
    await run_in_loop(lambda: runner.run_group("first"))
    assert order == [("a", 1), ("a", 2), ("c", 1), ("c", 2)]
    assert rows("SELECT name FROM member ORDER BY id") == [("a1",), ("a2",)]
    assert rows("SELECT label FROM role ORDER BY id") == [("c1",), ("c2",)]

    order.clear()
    await run_in_loop(lambda: runner.run_group("nobody"))
    assert order == []
    await run_in_loop(lambda: runner.run_group("second"))
    assert order == [("d", 1)]

    order.clear()
    await run_all(runner)
    assert order == [("a", 1), ("a", 2), ("b", 1), ("c", 1), ("c", 2), ("d", 1)]
    assert rows("SELECT label FROM role ORDER BY id") == [(x,) for x in ["c1", "c2", "d1", "b1", "c1", "c2", "d1"]]
    assert rows("SELECT COUNT(*) FROM member") == [(4,)]


@scenario
async def seeding_failures(models, connector):
    """A failing task stores nothing (blocking: its rows before the failure,
    as a commit per row would); the tasks before it stay committed."""
    from Quillon.Ext.Seeder import GeneratorRunner, create_task

    Member, Post, Profile, Role = models
    loop = asyncio.get_running_loop()

    def members(time):
        if time == 3:
            raise ValueError("generator broke at 3")
        return Member(name="u%d" % time)

    create_task(lambda time: Role(label="kept%d" % time), Role, 2)
    create_task(members, Member, 5)
    try:
        await run_all(GeneratorRunner(loop))
    except ValueError as e:
        assert str(e) == "generator broke at 3"
    else:
        raise AssertionError("the generator's error was swallowed")
    await asyncio.sleep(0.1)  # the failed task's connection ends
    assert rows("SELECT label FROM role ORDER BY id") == [("kept1",), ("kept2",)]
    before_failure = 2 if KIND == "blocking" else 0
    assert rows("SELECT COUNT(*) FROM member") == [(before_failure,)]

    # Every run runs every task again, up to the same failure.
    try:
        await run_all(GeneratorRunner(loop))
    except ValueError:
        pass
    else:
        raise AssertionError("the second run went past the failing task")
    await asyncio.sleep(0.1)
    assert rows("SELECT COUNT(*) FROM role") == [(4,)] and rows("SELECT COUNT(*) FROM member") == [(2 * before_failure,)]


@scenario
async def seeding_refused(models, connector):
    """A row the server refuses stops the run with the driver's error."""
    import pymysql

    from Quillon.Ext.Seeder import GeneratorRunner, create_task

    Member, Post, Profile, Role = models
    loop = asyncio.get_running_loop()
    create_task(lambda time: Role(label="kept%d" % time), Role, 2)
    create_task(lambda time: Post(authorId=time, title="t%d" % time if time < 3 else None), Post, 4)
    create_task(lambda time: Role(label="never"), Role, 1)
    try:
        await run_all(GeneratorRunner(loop))
    except pymysql.err.IntegrityError as e:
        assert e.args[0] == 1048, e.args  # column cannot be null
    else:
        raise AssertionError("a NULL title was stored")
    await asyncio.sleep(0.1)
    assert rows("SELECT label FROM role ORDER BY id") == [("kept1",), ("kept2",)]
    # Blocking, the rows before the refused one stay, as a commit per row would keep them.
    assert rows("SELECT COUNT(*) FROM post") == [(2 if KIND == "blocking" else 0,)]


@scenario
async def seeding_wrong_rows(models, connector):
    """A generator must return model rows of the task's model."""
    from Quillon.Ext.Seeder import GeneratorRunner, create_task

    Member = models[0]
    loop = asyncio.get_running_loop()
    create_task(lambda time: {"name": "x"}, Member, 1)
    try:
        await run_all(GeneratorRunner(loop))
    except TypeError as e:
        assert str(e) == "Cannot convert dict to ModelInstance", e
    else:
        raise AssertionError("a dict was saved as a row")
    assert rows("SELECT COUNT(*) FROM member") == [(0,)]


def seeding_ready():
    """The awaited run waits for a connector made inside the running loop to
    become ready; afterwards run() drives the stopped loop to the end."""
    from Quillon.DB.Connector import AioMysqlConnector
    from Quillon.DB.DB import DB
    from Quillon.Ext.Seeder import GeneratorRunner, create_task

    rows("CREATE TABLE seed_item (id INT AUTO_INCREMENT PRIMARY KEY, label VARCHAR(50) NOT NULL, n INT)")
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    seen = {}

    async def body():
        connector = AioMysqlConnector(asyncio.get_running_loop(), autocommit=False, **config())
        DB.create(connector=connector)
        seen["ready at start"] = connector.isReady
        models = declare_seed_item()
        create_task(lambda time: models(label="s%d" % time, n=time * time), models, 4)
        started = clock.monotonic()
        await run_all(GeneratorRunner(loop))
        seen["waited"] = clock.monotonic() - started
        seen["ready at end"] = connector.isReady
        seen["stored"] = rows("SELECT label, n FROM seed_item ORDER BY id")
        return connector

    connector = loop.run_until_complete(body())
    assert seen["ready at start"] is False and seen["ready at end"] is True, seen
    assert seen["waited"] >= 0.29, seen  # at least one readiness poll
    assert seen["stored"] == [("s1", 1), ("s2", 4), ("s3", 9), ("s4", 16)], seen

    # With the loop stopped, run() runs the whole run to completion.
    assert GeneratorRunner(loop).run() is None
    assert rows("SELECT COUNT(*), SUM(n) FROM seed_item") == [(8, 60)]
    settle(loop, connector)


def declare_seed_item():
    from Quillon.Model.Columns import IntProperty, StrProperty, auto_increment
    from Quillon.Model.Entity import Entity

    class SeedItem(Entity):
        tableName = "seed_item"
        id = IntProperty(pk=True, default=auto_increment)
        label = StrProperty(Null=False)
        n = IntProperty()

    return SeedItem


def generated_charset():
    """Tables are created with utf8mb4 whatever the database's default is."""
    from Quillon.Ext import generate_table
    from Quillon.Model.Columns import IntProperty, StrProperty, auto_increment
    from Quillon.Model.Entity import Entity

    # Before any connection: a session takes the database's default when it starts.
    rows("ALTER DATABASE " + mysql_support.quote_name(config()["db"]) + " CHARACTER SET latin1")
    loop, connector = setup()

    class Note(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        body = StrProperty()

    loop.run_until_complete(loop.create_task(generate_table()))
    settle(loop, connector)
    collation = rows("SELECT TABLE_COLLATION FROM information_schema.TABLES"
                     " WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = 'note'")
    assert collation[0][0].startswith("utf8mb4"), collation



def asyncio_run_program():
    """The usual program: asyncio.run(main()), the connector made inside main
    on the running loop, the tables created at once, the connector closed at
    the end; the interpreter then exits with the work on the server."""
    from Quillon.DB.Connector import AioMysqlConnector
    from Quillon.DB.DB import DB
    from Quillon.Ext import generate_table

    Member = shared.declare_models(flag_type_args=(5,))[0]

    async def main():
        connector = AioMysqlConnector(asyncio.get_running_loop(), autocommit=False, **config())
        DB.create(connector=connector)
        await generate_table()
        ex = Member.getExecutor()
        await asyncio.gather(ex.save(Member(name="child \U0001F600")), ex.save(Member(name="other child")))
        await ex.save(Member(name="main"))
        await connector.close()

    asyncio.run(main())
    names = sorted(r[0] for r in rows("SELECT name FROM member"))
    assert names == ["child \U0001F600", "main", "other child"], names


# Scenarios that make the connector and the facade themselves.
OWN_SETUP = {"seeding_ready": seeding_ready, "generated_charset": generated_charset,
             "asyncio_run_program": asyncio_run_program}
SCENARIOS.update(OWN_SETUP)


# The scenarios that run with the blocking connector too; the rest are
# awaited only.
BLOCKING = {"executors_" + n for n in SHARED if n not in ("block_tasks", "block_cancel_points")} | {
    "paging_totals", "paging_rows", "paging_relations", "paging_nokey", "seeding_runs", "seeding_groups",
    "seeding_failures", "seeding_refused", "seeding_wrong_rows", "generated_tables", "unchanged_rows_count"}
BLOCKING_ONLY = {"executors_block_threads"}
# The scenarios that run on PostgreSQL too.
POSTGRES = {"executors_" + n for n in SHARED} | {"many_writers", "read_after_task"}


def main():
    global KIND, SERVER
    name = sys.argv[1]
    KIND = sys.argv[2] if len(sys.argv) > 2 else "awaited"
    SERVER = sys.argv[3] if len(sys.argv) > 3 else "mysql"
    if name in OWN_SETUP:
        OWN_SETUP[name]()
        print("scenario ok")
        return
    loop, connector = setup(KIND)
    models = shared.declare_models(flag_type_args=(5,))
    shared.create_tables(loop)
    settle(loop, connector)
    fn = SCENARIOS[name]
    shared.COMMITTED = rows
    if fn.__module__ == shared.__name__:
        work = fn(models, None, SERVER if KIND == "awaited" else SERVER + "-blocking")
    else:
        work = fn(models, connector)
    loop.run_until_complete(loop.create_task(work))
    settle(loop, connector)
    print("scenario ok")


if __name__ == "__main__":
    main()
