"""Scenarios of the executor API, each run in a fresh interpreter.

The facade can be created once per process, so tests/test_executors.py runs
every scenario here in its own interpreter, once with the blocking SQLite
connector and once with the asyncio one.  A scenario is an ``async def``
that awaits each operation through ``q()``: with the blocking connector the
operations return their results directly and ``q`` passes them through, with
the asyncio connector they return awaitables and ``q`` awaits them, so one
scenario checks both forms of the same API.
"""

import asyncio
import inspect
import logging
import sqlite3

from scenario_support import arguments, finish, fresh_rows, q, registry, setup


def declare_models(flag_type_args=None):
    """The scenarios' models.  ``flag_type_args`` gives the VARCHAR flag
    column a length (MySQL requires one; SQLite accepts a bare VARCHAR)."""
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

    flag_length = {} if flag_type_args is None else {"typeArgs": flag_type_args}

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
        flag = BoolProperty(targetType=boolSupportType.varchar, default=False, **flag_length)
        bits = BoolProperty(targetType=boolSupportType.bit, default=False)
        meta = JsonProperty(default=None)
        joined = TimestampProperty(targetType=timestampSupportType.varchar, default="2020-01-01 00:00:00")
        posts = ForeignKey(Post, ForeignType.ONE_TO_MANY, targetBindCol=Post.authorId)
        profile = ForeignKey(Profile, ForeignType.ONE_TO_ONE, targetBindCol=Profile.ownerId)
        roles = ForeignKey(Role, ForeignType.MANY_TO_MANY)

    return Member, Post, Profile, Role


def create_tables(loop):
    from Quillon.DB.DB import DB
    from Quillon.Ext import generate_table

    result = generate_table()
    if inspect.isawaitable(result):
        loop.run_until_complete(result)
        loop.run_until_complete(asyncio.sleep(0.05))  # let the task's commit finish


class StatementCounter(logging.Handler):
    """Counts the statements the blocking connection runs (its debug log)."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.statements = []

    def emit(self, record):
        self.statements.append(record.getMessage())


SCENARIOS, scenario = registry()


@scenario
async def roundtrip(models, path, kind):
    Member, Post, Profile, Role = models
    ex = Member.getExecutor()
    row = Member(name="ann", age=31, score=3.14159, active=False, flag=True, bits=True, meta={"a": [1, 2]})
    new_id = await q(ex.save(row))
    assert new_id == row["id"] and isinstance(new_id, int), (new_id, row)
    second = Member(name="bob", meta=[1, "x"])
    await q(ex.save(second))
    assert second["id"] == new_id + 1

    back = await q(ex.get(new_id))
    assert back["name"] == "ann" and back["age"] == 31
    assert back["score"] == 3.14 and back["active"] is False and back["flag"] is True
    assert back["meta"] == {"a": [1, 2]} and back["joined"] == "2020-01-01 00:00:00"
    assert back.object is Member and back["bits"] is True
    # A saved row and the row loaded back are equal, column for column.
    assert dict(back) == dict(row), (dict(back), dict(row))
    if kind == "blocking":  # awaited, the task's transaction is still open here
        stored = fresh_rows(path, "select score, active, flag, bits, meta from member where id = ?", (new_id,))
        assert stored == [(3.14, 0, "true", b"\x01", '{"a": [1, 2]}')], stored
    other = await q(ex.get(second["id"]))
    assert other["meta"] == [1, "x"] and other["active"] is True and other["flag"] is False
    assert other["age"] == 0 and other["score"] == 0.0 and other["bits"] is False
    assert dict(other) == dict(second)
    assert await q(ex.get(999)) is None
    return {"raw": None}


@scenario
async def queries(models, path, kind):
    Member = models[0]
    ex = Member.getExecutor()
    for i, name in enumerate(["cy", "al", "bo", "di", "ed"]):
        await q(ex.save(Member(name=name, age=20 + i)))
    rows = await q(ex.find())
    assert [r["name"] for r in rows] == ["cy", "al", "bo", "di", "ed"]
    from Quillon.Model.Entity import InstanceList

    assert isinstance(rows, InstanceList)
    rows = await q(ex.find(Member.age >= 22, orderBy=Member.name))
    assert [r["name"] for r in rows] == ["bo", "di", "ed"]
    rows = await q(ex.find(orderBy="age DESC", limit=2, offset=1))
    assert [r["name"] for r in rows] == ["di", "bo"]
    rows = await q(ex.find((Member.age < 21) | (Member.name == "ed")))
    assert sorted(r["name"] for r in rows) == ["cy", "ed"]
    rows = await q(ex.find(Member.name.startsWith("d")))
    assert [r["name"] for r in rows] == ["di"]
    first = await q(ex.first(Member.age > 20, orderBy="member.age DESC"))
    assert first["name"] == "ed"
    assert await q(ex.first(Member.age > 99)) is None
    assert await q(ex.count()) == 5
    assert await q(ex.count(Member.age > 21)) == 3
    assert await q(ex.exists(Member.name == "al")) is True
    assert await q(ex.exists(Member.name == "zz")) is False
    for bad in ["age; drop table member", "nosuch", "age SIDEWAYS"]:
        try:
            ex.find(orderBy=bad)
        except (KeyError, ValueError):
            pass
        else:
            raise AssertionError(f"order term {bad!r} accepted")
    try:
        ex.find("name = 'x'")
    except TypeError:
        pass
    else:
        raise AssertionError("a text filter was accepted")


@scenario
async def writes(models, path, kind):
    Member = models[0]
    ex = Member.getExecutor()
    rows = [Member(name=f"m{i}", age=i) for i in range(50)]
    assert await q(ex.insertMany(rows)) == 50
    assert await q(ex.insertMany([])) == 0
    assert await q(ex.count()) == 50
    target = await q(ex.first(Member.name == "m7"))
    target["age"] = 700
    target["meta"] = {"k": "v"}
    assert await q(ex.update(target)) == 1
    again = await q(ex.get(target["id"]))
    assert again["age"] == 700 and again["meta"] == {"k": "v"}
    assert await q(ex.updateWhere(Member.age < 5, {"active": False, "score": 1.5})) == 5
    await q(ex.updateWhere(Member.age == 4, [(Member.score, 1.5), ("flag", True)]))
    changed = await q(ex.find(Member.active == False))
    assert sorted(r["name"] for r in changed) == ["m0", "m1", "m2", "m3", "m4"]
    assert all(r["score"] == 1.5 for r in changed)
    assert await q(ex.delete(again)) == 1
    assert await q(ex.delete(again)) == 0  # already gone
    assert await q(ex.get(again["id"])) is None
    assert await q(ex.deleteWhere(Member.age >= 40)) == 10
    assert await q(ex.count()) == 39
    for call in (lambda: ex.deleteWhere(None), lambda: ex.updateWhere(Member.age > 1, {"nosuch": 1})):
        try:
            call()
        except (TypeError, KeyError):
            pass
        else:
            raise AssertionError("refused call was accepted")
    # Values travel as arguments: quotes and SQL text are stored verbatim.
    tricky = Member(name="o'brien\"; drop table member; --")
    await q(ex.save(tricky))
    assert (await q(ex.get(tricky["id"])))["name"] == tricky["name"]


@scenario
async def relations(models, path, kind):
    from Quillon.DB.DB import DB

    Member, Post, Profile, Role = models
    ex = Member.getExecutor()
    members = [Member(name=n) for n in ["a", "b", "c"]]
    for m in members:
        await q(ex.save(m))
    post_ex = Post.getExecutor()
    for author, title in [(0, "p1"), (0, "p2"), (2, "p3")]:
        await q(post_ex.save(Post(authorId=members[author]["id"], title=title)))
    await q(Profile.getExecutor().save(Profile(ownerId=members[1]["id"], bio="hi")))
    role_ex = Role.getExecutor()
    roles = [Role(label=l) for l in ["admin", "dev"]]
    for r in roles:
        await q(role_ex.save(r))
    middle = Member.roles["middleModel"]
    link = "insert into " + middle.tableName + " (member_id, role_id) values (%s, %s)"
    for m, r in [(0, 0), (0, 1), (1, 1)]:
        await q(DB.getInstance().executeSql(link, args=(members[m]["id"], roles[r]["id"])))

    counter = StatementCounter()
    log = logging.getLogger("Quillon.DB")
    log.setLevel(logging.DEBUG)
    log.addHandler(counter)
    loaded = await q(ex.find(orderBy=Member.id, loadForeign=True))
    log.removeHandler(counter)
    if kind == "blocking":
        # one select of the members, then one query per relation
        selects = [s for s in counter.statements if s.startswith("SELECT")]
        assert len(selects) == 4, counter.statements
    a, b, c = loaded
    assert [p["title"] for p in a["posts"]] == ["p1", "p2"] and b["posts"] == [] and [p["title"] for p in c["posts"]] == ["p3"]
    assert a["profile"] is None and b["profile"]["bio"] == "hi" and c["profile"] is None
    assert sorted(r["label"] for r in a["roles"]) == ["admin", "dev"]
    assert [r["label"] for r in b["roles"]] == ["dev"] and c["roles"] == []
    assert a["posts"][0].object is Post and a["roles"][0].object is Role

    plain = await q(ex.find(Member.name == "c"))
    assert "posts" not in plain[0]
    await q(ex.findListForeignKey(plain))
    assert [p["title"] for p in plain[0]["posts"]] == ["p3"]
    one = await q(ex.get(members[0]["id"], loadForeign=True))
    assert len(one["posts"]) == 2


@scenario
async def transactions(models, path, kind):
    from Quillon.DB.utils import SqliteContextManager

    Member = models[0]
    ex = Member.getExecutor()
    with SqliteContextManager():
        ex.save(Member(name="t1"))
        ex.save(Member(name="t2"))
        assert fresh_rows(path, "select count(*) from member") == [(0,)]
    assert fresh_rows(path, "select name from member order by id") == [("t1",), ("t2",)]

    try:
        with SqliteContextManager():
            ex.save(Member(name="t3"))
            raise RuntimeError("abort")
    except RuntimeError:
        pass
    assert fresh_rows(path, "select count(*) from member") == [(2,)]

    with SqliteContextManager():
        ex.save(Member(name="outer"))
        try:
            with SqliteContextManager():
                ex.save(Member(name="inner"))
                raise KeyError("inner fails")
        except KeyError:
            pass
        with SqliteContextManager():
            ex.save(Member(name="inner2"))
    assert fresh_rows(path, "select name from member order by id") == [("t1",), ("t2",), ("outer",), ("inner2",)]

    # A failing statement inside a block leaves nothing of the block behind.
    try:
        with SqliteContextManager():
            ex.save(Member(name="before"))
            ex.save(Member(name=None))  # name is NOT NULL
    except sqlite3.IntegrityError:
        pass
    else:
        raise AssertionError("NOT NULL violation not raised")
    assert fresh_rows(path, "select count(*) from member where name = 'before'") == [(0,)]
    # Outside a block every statement is committed on its own.
    ex.save(Member(name="solo"))
    assert fresh_rows(path, "select count(*) from member where name = 'solo'") == [(1,)]


async def refused(call):
    """The ValueError of a conversion the call makes (raised at once or when awaited)."""
    try:
        await q(call())
    except ValueError as e:
        return str(e)
    raise AssertionError("a value that does not convert was accepted")


@scenario
async def values(models, path, kind):
    """NULLs, NULL tests, literal patterns, conversions and time zones, as a user meets them."""
    import datetime as dt

    from Quillon.Ext import generate_table
    from Quillon.Model.Columns import (BoolProperty, FloatProperty, IntProperty, JsonProperty, StrProperty,
                                       TimestampProperty, auto_increment, boolSupportType, intSupportType,
                                       strSupportType, timestampSupportType)
    from Quillon.Model.Entity import Entity

    class Reading(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        label = StrProperty(typeArgs=(40,))
        big = IntProperty(targetType=intSupportType.bigint)
        flag = BoolProperty()
        bits = BoolProperty(targetType=boolSupportType.bit)
        word = BoolProperty(targetType=boolSupportType.varchar, typeArgs=(5,))
        ratio = FloatProperty(typeArgs=(10, 2))
        data = JsonProperty()
        at = TimestampProperty(targetType=timestampSupportType.datetime)
        stamp = TimestampProperty(targetType=timestampSupportType.varchar)
        note = StrProperty(targetType=strSupportType.text)
        body = StrProperty(targetType=strSupportType.longText)

    await q(generate_table())
    ex = Reading.getExecutor()

    def ids(rows):
        return sorted(r["id"] for r in rows)

    # A row that leaves every nullable column out is built, stored and read back with NULLs,
    # and written back unchanged it leaves them NULL.
    empty = Reading()
    assert set(empty.values()) == {None}, empty
    empty_id = await q(ex.save(empty))
    back = await q(ex.get(empty_id))
    assert dict(back) == dict(empty), back
    await q(ex.update(back))
    nulls = (Reading.flag == None) & (Reading.data == None) & (Reading.bits == None) & (Reading.word == None)  # noqa: E711
    assert ids(await q(ex.find(nulls))) == [empty_id]

    # What means a value of the column converts; an aware time is stored as its UTC time.
    aware = dt.datetime(2024, 1, 1, 7, 8, 9, tzinfo=dt.timezone(dt.timedelta(hours=2)))
    full = Reading(label="100% pure", big=2**40, flag="off", bits=True, word="yes", ratio="2.5", data=["a", 1],
                   at=aware, stamp=aware.replace(microsecond=123456), note="n" * 1000, body="x" * 70000)
    full_id = await q(ex.save(full))
    back = await q(ex.get(full_id))
    assert (back.flag, back.bits, back.word, back.big, back.ratio, back.data) == (False, True, True, 2**40, 2.5, ["a", 1])
    assert (str(back.at), back.stamp, len(back.note), len(back.body)) == (
        "2024-01-01 05:08:09", "2024-01-01 05:08:09.123456", 1000, 70000)
    others = [Reading(label="100 apples", bits=False, flag=True), Reading(label="a_b!", bits="0"),
              Reading(label="a\\b")]
    for row in others:
        await q(ex.save(row))
    apples, underscore, backslash = [row["id"] for row in others]

    # Flags match by truth value, whatever the column stores; NULL tests bind nothing.
    assert ids(await q(ex.find(Reading.bits == True))) == [full_id]  # noqa: E712
    assert ids(await q(ex.find(Reading.bits == False))) == [apples, underscore]  # noqa: E712
    assert ids(await q(ex.find(Reading.flag == "no"))) == [full_id]
    assert ids(await q(ex.find(Reading.flag != None))) == [full_id, apples]  # noqa: E711
    assert ids(await q(ex.find(Reading.at == aware))) == [full_id]
    # The pattern filters match their text literally; like() takes a pattern.
    assert ids(await q(ex.find(Reading.label.has("100%")))) == [full_id]
    assert ids(await q(ex.find(Reading.label.startsWith("a_")))) == [underscore]
    assert ids(await q(ex.find(Reading.label.endsWith("b!") | Reading.label.has("_b")))) == [underscore]
    assert ids(await q(ex.find(Reading.label.like("100%")))) == [full_id, apples]
    assert ids(await q(ex.find(Reading.label.has("a\\b")))) == [backslash]  # MySQL's LIKE escape is literal too

    # A str JSON value reads back as the same str, JSON text or not.
    back.data = '{"k": 1}'
    await q(ex.update(back))
    assert (await q(ex.get(full_id))).data == '{"k": 1}'
    # Nonsense is refused, naming the column, and nothing is stored.
    assert "reading.big" in await refused(lambda: Reading(big="abc"))
    assert "reading.flag" in await refused(lambda: ex.find(Reading.flag == "maybe"))
    assert "reading.big" in await refused(lambda: ex.updateWhere(Reading.id == full_id, {"big": 1.5}))
    assert (await q(ex.get(full_id))).big == 2**40


@scenario
async def keyword_names(models, path, kind):
    """A model named Order with the columns group and key works end to end."""
    from Quillon.Ext import generate_table
    from Quillon.Model.Columns import IntProperty, StrProperty, auto_increment
    from Quillon.Model.Entity import Entity

    class Order(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        group = StrProperty(typeArgs=(20,))
        key = IntProperty(default=0)

    await q(generate_table())
    ex = Order.getExecutor()
    first, second = Order(group="a", key=2), Order(group="b", key=1)
    for row in (first, second):
        await q(ex.save(row))
    assert (await q(ex.get(first.id))).group == "a"
    for order in (Order.key, "key", "order.key", ("group DESC",)):
        assert [r.group for r in await q(ex.find(Order.key > 0, orderBy=order))] == ["b", "a"], order
    first.group = "c"
    assert await q(ex.update(first)) == 1
    assert await q(ex.updateWhere(Order.group == "b", {"key": 5})) == 1
    assert [(r.group, r.key) for r in await q(ex.find(Order.group != None, orderBy=Order.id))] == [("c", 2), ("b", 5)]  # noqa: E711
    assert await q(ex.delete(first)) == 1
    assert await q(ex.deleteWhere(Order.key == 5)) == 1
    assert list(await q(ex.find())) == []


@scenario
async def concurrent(models, path, kind):
    Member = models[0]

    async def writer(i):
        ex = Member.getExecutor()
        await q(ex.insertMany([Member(name=f"w{i}-{j}") for j in range(5)]))
        return await q(ex.count(Member.name.startsWith(f"w{i}-")))

    counts = await asyncio.gather(*(writer(i) for i in range(10)))
    assert counts == [5] * 10


def main():
    name, kind, path = arguments()
    loop = setup(kind, path)
    models = declare_models()
    create_tables(loop)
    finish(loop, SCENARIOS[name](models, path, kind), settle=0.2)


if __name__ == "__main__":
    main()
