"""Scenarios on a real MariaDB server, each run in a fresh interpreter.

The facade can be created once per process, so tests/test_mysql.py runs every
scenario here in its own interpreter:

    python mysql_scenarios.py NAME

with the server settings in QUILLON_MYSQL_* and the scenario's own (empty)
database in QUILLON_MYSQL_SCENARIO_DB.  The executor scenarios shared with
SQLite (executor_scenarios.py) run here unchanged on MySQL; the scenarios
below add what is particular to the MySQL connector.
"""

import asyncio
import os
import sys

import executor_scenarios as shared
import mysql_support
from executor_scenarios import q

SCENARIOS = {}


def scenario(fn):
    SCENARIOS[fn.__name__] = fn
    return fn


# The executor API scenarios of the SQLite suite that do not read the SQLite
# file directly: the same calls must give the same results on MySQL.
for _name in ("roundtrip", "queries", "writes", "relations", "concurrent"):
    SCENARIOS["executors_" + _name] = shared.SCENARIOS[_name]


def declare_models():
    """The models of the shared executor scenarios, with the VARCHAR flag
    given the length MySQL requires (SQLite accepts a bare VARCHAR)."""
    from Quillon.Model.Columns import (
        BoolProperty,
        FloatProperty,
        ForeignKey,
        ForeignType,
        IntProperty,
        JsonProperty,
        StrProperty,
        TimestampProperty,
        auto_increment,
        boolSupportType,
        timestampSupportType,
    )
    from Quillon.Model.Entity import Entity

    class Post(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        authorId = IntProperty()
        title = StrProperty(Null=False)

    class Profile(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        ownerId = IntProperty()
        bio = StrProperty(default="")

    class Role(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        label = StrProperty()

    class Member(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        name = StrProperty(Null=False)
        age = IntProperty(default=0)
        score = FloatProperty(typeArgs=(10, 2), default=0.0)
        active = BoolProperty(default=True)
        flag = BoolProperty(targetType=boolSupportType.varchar, typeArgs=(5,), default=False)
        bits = BoolProperty(targetType=boolSupportType.bit, default=False)
        meta = JsonProperty(default=None)
        joined = TimestampProperty(targetType=timestampSupportType.varchar, default="2020-01-01 00:00:00")
        posts = ForeignKey(Post, ForeignType.ONE_TO_MANY, targetBindCol=Post.authorId)
        profile = ForeignKey(Profile, ForeignType.ONE_TO_ONE, targetBindCol=Profile.ownerId)
        roles = ForeignKey(Role, ForeignType.MANY_TO_MANY)

    return Member, Post, Profile, Role


def config():
    out = dict(mysql_support.settings())
    out["db"] = os.environ["QUILLON_MYSQL_SCENARIO_DB"]
    return out


def setup():
    from Quillon.DB.Connector import AioMysqlConnector
    from Quillon.DB.DB import DB

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    connector = AioMysqlConnector(loop, autocommit=False, maxsize=20, **config())
    DB.create(connector=connector)
    return loop, connector


def settle(loop, connector):
    """Lets the end-of-task work of finished tasks run (bounded)."""
    pool = connector._pool
    for _ in range(300):
        loop.run_until_complete(asyncio.sleep(0.01))
        if pool.freesize == pool.size:
            return
    raise AssertionError("pooled connections still out after 3s")


def rows(sql, args=None):
    """Committed rows, read through a connection of their own."""
    c = config()
    return mysql_support.query(c, c["db"], sql, args)


def table_names():
    return sorted(r[0] for r in rows("SELECT TABLE_NAME FROM information_schema.TABLES WHERE TABLE_SCHEMA = DATABASE()"))


# ---------------------------------------------------------------------------
# Table generation
# ---------------------------------------------------------------------------


@scenario
async def generated_tables(models, connector):
    Member, Post, Profile, Role = models
    listed = sorted(await connector.getTableNameList())
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


def main():
    name = sys.argv[1]
    loop, connector = setup()
    models = declare_models()
    shared.create_tables(loop)
    settle(loop, connector)
    fn = SCENARIOS[name]
    if fn.__module__ == shared.__name__:
        loop.run_until_complete(fn(models, None, "mysql"))
    else:
        loop.run_until_complete(fn(models, connector))
    settle(loop, connector)
    print("scenario ok")


if __name__ == "__main__":
    main()
