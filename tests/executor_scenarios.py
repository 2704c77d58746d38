"""Scenarios of the executor API, each run in a fresh interpreter.

The facade can be created once per process, so tests/test_executors.py runs
every scenario here in its own interpreter, once with the blocking SQLite
connector and once with the asyncio one.  A scenario is an ``async def``
that awaits each operation through ``q()``: with the blocking connector the
operations return their results directly and ``q`` passes them through, with
the asyncio connector they return awaitables and ``q`` awaits them, so one
scenario checks both forms of the same API.  tests/test_mysql.py runs the
same scenarios on MariaDB (mysql_scenarios.py), blocking and awaited.
"""

import asyncio
import inspect
import logging
import sqlite3
import sys
import threading

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
    # Each generated key is stored in its row where the database reports them.
    reports = await reports_keys(kind)
    stored = [(r["id"], r["name"]) for r in await q(ex.find(orderBy=Member.id))]
    assert [(r["id"], r["name"]) for r in rows] == (stored if reports else [(None, r["name"]) for r in rows])
    # More rows than one statement takes: still all or none, keys stored only
    # once every row is in.
    hostile = "o'brien\"; drop table member; --"
    many = [Member(name=f"{hostile}{i}", age=1000 + i) for i in range(2100)]
    assert await q(ex.insertMany(many)) == 2100
    assert len({r["id"] for r in many}) == (2100 if reports else 1)
    for r in (many[0], many[999], many[1000], many[-1]) if reports else ():
        assert (await q(ex.get(r["id"])))["name"] == r["name"], dict(r)
    assert await q(ex.count(Member.age >= 1000)) == 2100
    failing = [Member(name=f"f{i}") for i in range(1500)] + [Member(name=None)]  # name is NOT NULL
    try:
        await q(ex.insertMany(failing))
    except Exception as e:
        assert "ntegrity" in type(e).__name__ or "null" in str(e).lower(), repr(e)
    else:
        raise AssertionError("a NULL name was stored")
    assert all(r["id"] is None for r in failing) and await q(ex.count(Member.name.startsWith("f"))) == 0
    assert await q(ex.deleteWhere(Member.age >= 1000)) == 2100
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
    for call in (lambda: ex.deleteWhere(None), lambda: ex.updateWhere(None, {"age": 1}),
                 lambda: ex.updateWhere(Member.age > 1, {"nosuch": 1})):
        try:
            call()
        except (TypeError, KeyError):
            pass
        else:
            raise AssertionError("refused call was accepted")
    # Rows of another model, and filters on a model that no relation of
    # Member reaches, are refused before any statement, naming both models.
    from Quillon.Model.Columns import IntProperty
    from Quillon.Model.Entity import Entity

    class Stranger(Entity):
        id = IntProperty(pk=True)

    Post = models[1]
    for call, error, other in [
        (lambda: ex.save(Post(title="p")), TypeError, "Post"),
        (lambda: ex.update(Post(id=1, title="p")), TypeError, "Post"),
        (lambda: ex.delete(Post(id=1, title="p")), TypeError, "Post"),
        (lambda: ex.insertMany([Member(name="fine"), Post(title="p")]), TypeError, "Post"),
        (lambda: ex.find(Stranger.id == 1), ValueError, "Stranger"),
        (lambda: ex.count((Member.age > 1) & (Stranger.id == 1)), ValueError, "Stranger"),
        (lambda: ex.exists(Stranger.id > 0), ValueError, "Stranger"),
        (lambda: ex.updateWhere(Stranger.id > 0, {"age": 1}), ValueError, "Stranger"),
        (lambda: ex.deleteWhere(Stranger.id > 0), ValueError, "Stranger"),
        (lambda: ex.values(Member.name, where=Stranger.id > 0), ValueError, "Stranger"),
        (lambda: ex.find(orderBy=Post.title), ValueError, "Post"),
    ]:
        try:
            call()
        except error as e:
            assert other in str(e) and "Member" in str(e), e
        else:
            raise AssertionError("a row or filter of another model was accepted")
    assert await q(ex.count(Member.age == 1)) == 1 and await q(ex.count(Member.name == "fine")) == 0
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


def declare_nested_models():
    """Writers with articles, articles with remarks and tags: relations of a
    related model."""
    from Quillon.Model.Columns import ForeignKey, ForeignType, IntProperty, StrProperty, auto_increment
    from Quillon.Model.Entity import Entity

    class Remark(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        articleId = IntProperty()
        body = StrProperty()

    class Tag(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        label = StrProperty()

    class Article(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        writerId = IntProperty()
        title = StrProperty()
        remarks = ForeignKey(Remark, ForeignType.ONE_TO_MANY, targetBindCol=Remark.articleId)
        tags = ForeignKey(Tag, ForeignType.MANY_TO_MANY)

    class Writer(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        name = StrProperty()
        articles = ForeignKey(Article, ForeignType.ONE_TO_MANY, targetBindCol=Article.writerId)

    return Writer, Article, Remark, Tag


@scenario
async def nested_relations(models, path, kind):
    """loadForeign takes relations, including relations of related models:
    each loads with one query for all the rows of its level."""
    from Quillon.Ext import generate_table

    Writer, Article, Remark, Tag = declare_nested_models()
    await q(generate_table())
    hostile = "o'neil\"; drop table article; --"
    writers = [Writer(name=hostile), Writer(name="bo"), Writer(name="cy")]
    for w in writers:
        await q(Writer.getExecutor().save(w))
    articles = [Article(writerId=writers[w]["id"], title=t) for w, t in [(0, "a1"), (0, hostile), (1, "b1")]]
    for a in articles:
        await q(Article.getExecutor().save(a))
    await q(Remark.getExecutor().insertMany([Remark(articleId=articles[a]["id"], body=b)
                                             for a, b in [(0, "r1"), (0, hostile), (2, "r3")]]))
    tags = [Tag(label=hostile), Tag(label="t2")]
    for t in tags:
        await q(Tag.getExecutor().save(t))
    await q(Article.getExecutor().link(articles[1], Article.tags, tags))
    await q(Article.getExecutor().link(articles[2], Article.tags, tags[1]))

    counter = StatementCounter()
    log = logging.getLogger("Quillon.DB")
    log.setLevel(logging.DEBUG)
    log.addHandler(counter)
    ex = Writer.getExecutor()
    loaded = await q(ex.find(orderBy=Writer.id, loadForeign=[Writer.articles, Article.remarks, Article.tags]))
    log.removeHandler(counter)
    if kind == "blocking":  # the writers, then one query per relation for every row of its level
        assert len([s for s in counter.statements if s.startswith("SELECT")]) == 4, counter.statements

    def shape(rows):
        return [(w["name"], [(a["title"], sorted(r["body"] for r in a["remarks"]), sorted(t["label"] for t in a["tags"]))
                             for a in sorted(w["articles"], key=lambda a: a["id"])]) for w in rows]

    expected = [(hostile, [("a1", sorted(["r1", hostile]), []), (hostile, [], sorted([hostile, "t2"]))]),
                ("bo", [("b1", ["r3"], ["t2"])]), ("cy", [])]
    assert shape(loaded) == expected, shape(loaded)
    assert loaded[0]["articles"][0]["remarks"][0].object is Remark
    # The order of the list does not matter past the first level; a relation
    # alone is one level; findListForeignKey and get take the same.
    again = await q(ex.find(orderBy=Writer.id, loadForeign=(Writer.articles, Article.tags, Article.remarks)))
    assert shape(again) == expected
    only = await q(ex.get(writers[1]["id"], loadForeign=Writer.articles))
    assert [a["title"] for a in only["articles"]] == ["b1"] and "remarks" not in only["articles"][0]
    plain = await q(ex.find(Writer.name == hostile))
    assert await q(ex.findListForeignKey(plain, [Writer.articles, Article.remarks])) is None
    assert [sorted(r["body"] for r in a["remarks"]) for a in plain[0]["articles"]] == [sorted(["r1", hostile]), []]
    assert "tags" not in plain[0]["articles"][0]
    # A relation that no listed relation leads to, or what is not a relation,
    # is refused before any statement.
    for bad, error in [((Article.remarks,), ValueError), ((Article.tags, Writer.articles), ValueError),
                       ((Writer.name,), TypeError), ("articles", TypeError)]:
        try:
            ex.find(loadForeign=bad)
        except error as e:
            assert "loadForeign" in str(e), e
        else:
            raise AssertionError("loadForeign=%r was accepted" % (bad,))


@scenario
async def locking(models, path, kind):
    """find/first/get with forUpdate read the same rows; on MySQL the rows stay
    locked until the task's transaction ends, so two tasks that each read a
    row for update and write it back never lose one of the writes."""
    Member = models[0]
    ex = Member.getExecutor()
    hostile = "x' OR '1'='1"

    async def reads():  # a task of its own when awaited: its locks end with it
        await q(ex.insertMany([Member(name=hostile, age=1), Member(name="plain", age=2)]))
        rows = await q(ex.find(Member.name == hostile, orderBy=Member.id, forUpdate=True))
        assert [(r["name"], r["age"]) for r in rows] == [(hostile, 1)]
        assert (await q(ex.first(Member.age > 1, forUpdate=True)))["name"] == "plain"
        assert (await q(ex.get(rows[0]["id"], loadForeign=True, forUpdate=True)))["posts"] == []
        return rows[0]["id"]

    key = await (reads() if kind == "blocking" else asyncio.create_task(reads()))
    if kind not in ("mysql", "postgres"):
        return

    async def bump(delay):
        row = await ex.get(key, forUpdate=True)
        await asyncio.sleep(delay)
        row["age"] += 1
        await ex.update(row)

    await asyncio.gather(bump(0.3), bump(0.0))
    assert (await ex.get(key))["age"] == 3


async def mysql_version():
    from Quillon.DB.DB import DB

    return list(await q(DB.getInstance().executeSql("SELECT VERSION()")))[0][0]


async def reports_keys(kind):
    """Whether inserts report the keys and defaults the database chose: SQLite
    (3.35 and later), blocking and awaited, MariaDB (not MySQL) and PostgreSQL."""
    if kind.startswith("postgres"):
        return True
    if kind.startswith("mysql"):
        return "MariaDB" in await mysql_version()
    return sqlite3.sqlite_version_info >= (3, 35)


def declare_unique_models():
    """Accounts with a generated key, a unique e-mail and a database default;
    badges whose key the application gives, with a unique holder."""
    from Quillon.Model.Columns import IntProperty, StrProperty, TimestampProperty, auto_increment, current_timestamp
    from Quillon.Model.Entity import Entity

    class Account(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        email = StrProperty(unique=True, Null=False, typeArgs=(80,))
        name = StrProperty()
        opened = TimestampProperty(default=current_timestamp)

    class Badge(Entity):
        code = StrProperty(pk=True, typeArgs=(20,))
        holder = StrProperty(unique=True, typeArgs=(40,))
        level = IntProperty(default=1)

    return Account, Badge


async def upsert_checks(reports=True, aborts=False):
    """``aborts``: a failed statement ends the task's transaction (PostgreSQL),
    so the refused one runs in a transaction block (a savepoint) of its own."""
    from Quillon.Ext import generate_table

    Account, Badge = declare_unique_models()
    await q(generate_table())
    accounts = Account.getExecutor()
    hostile = "x'); DROP TABLE account; --"
    first = Account(email=hostile, name="first")
    key = await q(accounts.upsert(first, conflict="email"))
    assert key == first["id"] and isinstance(key, int) and (first["opened"] is not None) is reports, dict(first)
    # The same e-mail updates the stored row, whatever key the row carried.
    again = Account(id=999, email=hostile, name="again")
    assert await q(accounts.upsert(again, Account.email)) == key and again["id"] == key, dict(again)
    assert again["opened"] == first["opened"]
    # By key (conflict=None): the stored row takes every other column.
    renamed = Account(id=key, email="new@x", name=hostile)
    assert await q(accounts.upsert(renamed)) == key
    other = Account(email="other@x")
    assert await q(accounts.upsert(other, [Account.email])) == key + 1
    rows = await q(accounts.find(orderBy=Account.id))
    assert [(r["id"], r["email"], r["name"]) for r in rows] == [(key, "new@x", hostile), (key + 1, "other@x", None)]
    # Without its generated key, a row conflicting on the key is a save: a
    # clash of another unique column is an error, as with save.
    try:
        if aborts:
            from Quillon.DB.utils import transaction

            async with transaction():
                await q(accounts.upsert(Account(email="other@x")))
        else:
            await q(accounts.upsert(Account(email="other@x")))
    except Exception as e:
        assert "ntegrity" in type(e).__name__ or "uplicate" in str(e) or "UNIQUE" in str(e), repr(e)
    else:
        raise AssertionError("a duplicate e-mail was stored")
    for call, error in [(lambda: accounts.upsert(Account(name="no e-mail"), "email"), ValueError),
                        (lambda: accounts.upsert(Account(email="a"), "nosuch"), KeyError),
                        (lambda: accounts.upsert(Badge(code="b"), "holder"), TypeError),
                        (lambda: accounts.upsert(Account(email="a"), [Badge.holder]), KeyError)]:
        try:
            call()
        except error:
            pass
        else:
            raise AssertionError("refused upsert was accepted")
    assert await q(accounts.count()) == 2

    badges = Badge.getExecutor()
    assert await q(badges.upsert(Badge(code="b1", holder="ann", level=2))) == "b1"
    moved = Badge(code="b2", holder="ann", level=3)
    assert await q(badges.upsert(moved, "holder")) == "b1" and moved["code"] == "b1"
    assert await q(badges.upsert(Badge(code="b1", holder=hostile))) == "b1"
    stored = await q(badges.find())
    assert [(r["code"], r["holder"], r["level"]) for r in stored] == [("b1", hostile, 1)], [dict(r) for r in stored]


@scenario
async def upserts(models, path, kind):
    """upsert inserts a row or updates the stored row its key or a unique
    column matches, and gives back the stored row's key."""
    await upsert_checks(reports=not kind.startswith("mysql") or "MariaDB" in await mysql_version(),
                        aborts=kind == "postgres")


@scenario
async def upserts_without_returning(models, path, kind):
    """The same where the database reports nothing back (SQLite before 3.35,
    MySQL): the key is read back by the conflict columns."""
    import sqlite3 as driver

    driver.sqlite_version_info = (3, 34, 1)
    await upsert_checks(reports=False)


@scenario
async def filters(models, path, kind):
    """isIn, notIn, between, the NULL tests and ~ select the rows they say; every value is an argument."""
    Member = models[0]
    ex = Member.getExecutor()
    hostile = "o'brien\"; drop table member; --"
    await q(ex.insertMany([Member(name=hostile, age=10), Member(name="50%_off!", age=20, bits=True),
                           Member(name="cy", age=30, meta={"k": 1}), Member(name="di", age=None, flag=True)]))

    async def names(where):
        return sorted(r["name"] for r in await q(ex.find(where)))

    assert await names(Member.name.isIn(n for n in [hostile, "cy", "zz"])) == sorted([hostile, "cy"])
    assert await names(Member.name.notIn([hostile, "50%_off!"])) == ["cy", "di"]
    assert await names(Member.age.isIn([])) == [] and await q(ex.count(Member.age.notIn([]))) == 4
    assert await names(Member.age.isIn(["10", None])) == sorted([hostile, "di"])  # converted; None matches NULL
    assert await names(Member.age.notIn([10])) == ["50%_off!", "cy"]  # NULL is no value other than 10
    assert await names(Member.age.notIn([10, None])) == ["50%_off!", "cy"]
    assert await names(Member.age.between(10, 20)) == sorted([hostile, "50%_off!"])  # both ends included
    assert await names((Member.age * 2 > Member.age + 20) & (Member.age < 3 + Member.age)) == ["cy"]
    assert await names(Member.age.isNull()) == ["di"] == await names(Member.age == None)  # noqa: E711
    assert await names(Member.meta.notNull()) == ["cy"]
    assert await names(~((Member.age > 25) | Member.name.startsWith("o'"))) == ["50%_off!"]
    assert await names(~Member.age.isIn([]) & (Member.name != "cy")) == sorted([hostile, "50%_off!", "di"])
    assert await q(ex.count(~Member.age.between(15, 25) & Member.age.notNull())) == 2
    assert await names(Member.bits.isIn([True])) == ["50%_off!"] and await names(Member.flag.isIn(["yes"])) == ["di"]
    assert await q(ex.updateWhere(Member.name.isIn([hostile]), {"age": 11})) == 1
    assert await q(ex.deleteWhere(~Member.age.notIn([11]))) == 1 and await q(ex.count()) == 3
    for call, error, words in [
        (lambda: Member.age.isIn(["ten"]), ValueError, ["member.age"]),
        (lambda: Member.name.isIn("abc"), TypeError, ["iterable"]),
        (lambda: Member.age.between(None, 3), ValueError, ["None"]),
    ]:
        try:
            call()
        except error as e:
            assert all(w in str(e) for w in words), e
        else:
            raise AssertionError("a refused filter was accepted")


@scenario
async def aggregates(models, path, kind):
    """values() and sum/avg/min/max: the rows and groups the database computes, each value in its Python form."""
    from Quillon.Model.Functions import Avg, Count, Max, Min, Sum

    Member = models[0]
    ex = Member.getExecutor()
    assert await q(ex.sum(Member.age)) is None and await q(ex.max(Member.name)) is None  # over no rows
    assert await q(ex.values(Count(), Sum(Member.age))) == [(0, None)]
    hostile = "x'); drop table member; --"
    await q(ex.insertMany([Member(name="a", age=10, score=1.25, active=True, joined="2021-05-01 00:00:00"),
                           Member(name="a", age=20, score=2.5, active=False), Member(name="b", age=5, score=0.25),
                           Member(name=hostile, age=None, score=1.0)]))
    got = await q(ex.values(Member.name, Count(), Sum(Member.age), Avg(Member.age), Min(Member.active),
                            Max(Member.score), groupBy=Member.name, orderBy=Member.name))
    assert got == [("a", 2, 30, 15.0, False, 2.5), ("b", 1, 5, 5.0, True, 0.25), (hostile, 1, None, None, True, 1.0)], got
    assert [tuple(type(v) for v in row[1:4]) for row in got[:2]] == [(int, int, float)] * 2, got
    having = (Count() > 1) | (Max(Member.name) == hostile)
    assert [row[0] for row in await q(ex.values(Member.name, groupBy=Member.name, having=having,
                                                orderBy=Count().desc()))] == ["a", hostile]
    assert await q(ex.values(Member.name, Sum(Member.age), groupBy=(Member.name,), having=Sum(Member.age) != None,  # noqa: E711
                             orderBy=[Sum(Member.age).desc()])) == [("a", 30), ("b", 5)]
    assert await q(ex.values(Member.name, where=Member.age.notNull(), distinct=True, orderBy=Member.name.desc(),
                             limit=1, offset=1)) == [("a",)]
    assert await q(ex.values(Member.age * 2, Member.age - Member.age, (Member.age + 2) / 2,
                             where=Member.name == "b")) == [(10, 0, 3.5)]
    assert await q(ex.values(Count(Member.name, distinct=True), Count(Member.age))) == [(3, 3)]
    assert await q(ex.sum(Member.score, where=Member.name == "a")) == 3.75
    assert await q(ex.avg(Member.age, where=Member.name == hostile)) is None
    assert (await q(ex.min(Member.joined)), await q(ex.max(Member.joined))) == ("2020-01-01 00:00:00", "2021-05-01 00:00:00")
    assert await q(ex.max(Member.age, where=Member.name.isIn(["a", hostile]))) == 20
    for call, error in [
        (lambda: ex.find(Count() > 1), ValueError),
        (lambda: ex.values(), TypeError),
        (lambda: ex.find(orderBy=Count().desc()), ValueError),
        (lambda: ex.values(Member.name, groupBy="name"), TypeError),
        (lambda: ex.values("name"), TypeError),
        (lambda: Sum(Count()), TypeError),
        (lambda: ex.updateWhere(Member.id > 0, {"age": Count()}), ValueError),
    ]:
        try:
            call()
        except error:
            pass
        else:
            raise AssertionError("a refused aggregate was accepted")


def declare_relation_models():
    """Writers reach articles through two relations (written, edited); articles
    have notes (one-to-many) and tags (many-to-many)."""
    from Quillon.Model.Columns import ForeignKey, ForeignType, IntProperty, StrProperty, auto_increment
    from Quillon.Model.Entity import Entity

    class Tag(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        label = StrProperty(typeArgs=(40,))

    class Note(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        articleId = IntProperty()
        body = StrProperty()

    class Article(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        title = StrProperty()
        writerId = IntProperty()
        editorId = IntProperty()
        notes = ForeignKey(Note, ForeignType.ONE_TO_MANY, targetBindCol=Note.articleId)
        tags = ForeignKey(Tag, ForeignType.MANY_TO_MANY)

    class Writer(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        name = StrProperty()
        age = IntProperty(default=0)
        written = ForeignKey(Article, ForeignType.ONE_TO_MANY, targetBindCol=Article.writerId)
        edited = ForeignKey(Article, ForeignType.ONE_TO_MANY, targetBindCol=Article.editorId)

    return Writer, Article, Note, Tag


@scenario
async def across(models, path, kind):
    """Filters on columns of related models: each row of the executor's model once, rows without related
    rows kept under |, count/exists/values/sum/updateWhere/deleteWhere alike, join= where two relations
    reach one model."""
    from Quillon.Ext import generate_table
    from Quillon.Model.Functions import Count

    Member, Post, Profile, Role = models
    ex, posts = Member.getExecutor(), Post.getExecutor()
    people = [Member(name=n, age=a) for n, a in [("ann", 30), ("bob", 17), ("cy", 64), ("di", 40)]]
    for m in people:
        await q(ex.save(m))
    ann, bob, cy, di = (m["id"] for m in people)
    await q(posts.insertMany([Post(authorId=a, title=t) for a, t in
                              [(ann, "apple"), (ann, "avocado"), (bob, "banana"), (cy, "cherry")]]))
    await q(Profile.getExecutor().save(Profile(ownerId=bob, bio="hi")))
    admin, dev = Role(label="admin"), Role(label="dev")
    for r in (admin, dev):
        await q(Role.getExecutor().save(r))
    await q(ex.link(people[0], Member.roles, [admin, dev]))
    await q(ex.link(people[2], Member.roles, admin))

    async def names(where, **kw):
        return [r["name"] for r in await q(ex.find(where, orderBy=Member.name, **kw))]

    assert await names(Post.title.startsWith("a")) == ["ann"]  # two posts match, the row comes once
    assert await names(Post.title.startsWith("a") | (Member.age > 35)) == ["ann", "cy", "di"]  # di has no posts
    assert await q(ex.count(Post.title != "zz")) == 3 and await q(ex.count(Post.title.startsWith("a"))) == 1
    assert await q(ex.exists(Post.title == "banana")) is True and await q(ex.exists(Post.title == "kiwi")) is False
    assert await names(Role.label == "admin") == ["ann", "cy"] and await q(ex.count(Role.label.isIn(["admin", "dev"]))) == 2
    assert await names(Profile.bio == "hi") == ["bob"]
    assert (await q(ex.first(Post.title.endsWith("y"), orderBy=Member.age.desc())))["name"] == "cy"
    assert await names(Post.title.has("a'; drop table post; --")) == []
    # From the other side: the relations a related model was given back.
    assert [p["title"] for p in await q(posts.find(Member.name == "ann", orderBy=Post.title))] == ["apple", "avocado"]
    assert [r["label"] for r in await q(Role.getExecutor().find(Member.age < 35, orderBy=Role.label))] == ["admin", "dev"]
    assert await q(ex.values(Member.name, Count(Post.id), groupBy=Member.id, orderBy=Member.name)) == [
        ("ann", 2), ("bob", 1), ("cy", 1), ("di", 0)]
    assert await q(ex.values(Member.name, where=Post.title.startsWith("a"))) == [("ann",)]
    assert await q(ex.sum(Member.age, where=Post.title != "zz")) == 111
    # A model without a key (the middle model of a relation) has its rows told apart by their values.
    links = Member.roles["middleModel"].getExecutor()
    assert await q(links.count(Role.label == "admin")) == 2 and len(await q(links.find(Member.age > 50))) == 1
    try:
        links.deleteWhere(Role.label == "admin")
    except TypeError as e:
        assert "primary key" in str(e), e
    else:
        raise AssertionError("a keyless model's rows were deleted across relations")
    assert await q(ex.updateWhere(Post.title.has("a"), {"age": Member.age + 1})) == 2
    assert [r["age"] for r in await q(ex.find(orderBy=Member.id))] == [31, 18, 64, 40]
    assert await q(posts.deleteWhere(Member.age > 60)) == 1
    assert await q(ex.deleteWhere(Role.label == "dev")) == 1 and await names(None) == ["bob", "cy", "di"]

    Writer, Article, Note, Tag = declare_relation_models()
    await q(generate_table())
    writers, articles = Writer.getExecutor(), Article.getExecutor()
    wes, liv = Writer(name="wes"), Writer(name="liv")
    for w in (wes, liv):
        await q(writers.save(w))
    first, second = Article(title="one", writerId=wes["id"], editorId=liv["id"]), Article(title="two", writerId=liv["id"])
    for a in (first, second):
        await q(articles.save(a))
    await q(Note.getExecutor().insertMany([Note(articleId=first["id"], body="great"), Note(articleId=first["id"], body="great!")]))
    news = Tag(label="news")
    await q(Tag.getExecutor().save(news))
    await q(articles.link(first, Article.tags, news))
    try:
        writers.find(Article.title == "one")
    except ValueError as e:
        assert "join=" in str(e) and "Writer.written" in str(e) and "Writer.edited" in str(e), e
    else:
        raise AssertionError("a model reached through two relations was joined without join=")

    async def writer_names(where, join):
        return sorted(r["name"] for r in await q(writers.find(where, join=join)))

    assert await writer_names(Article.title == "one", (Writer.written,)) == ["wes"]
    assert await writer_names(Article.title == "one", Writer.edited) == ["liv"]
    assert await writer_names(Note.body.startsWith("great"), (Writer.written, Article.notes)) == ["wes"]
    assert await writer_names(Tag.label == "news", [Writer.edited, Article.tags]) == ["liv"]
    assert await q(writers.count(Note.body.has("great"), join=(Writer.written, Article.notes))) == 1
    assert await q(writers.values(Writer.name, Count(Note.id), groupBy=Writer.id, orderBy=Writer.name,
                                  join=(Writer.written, Article.notes))) == [("liv", 0), ("wes", 2)]
    assert await q(writers.updateWhere(Note.body.has("great"), {"age": Writer.age + 5},
                                       join=(Writer.written, Article.notes))) == 1
    assert await q(writers.sum(Writer.age)) == 5
    assert await q(articles.deleteWhere(Tag.label == "news")) == 1 and await q(articles.count()) == 1
    for call, error, words in [
        (lambda: writers.find(Note.body == "x", join=(Article.notes,)), ValueError, ["Article.notes", "Writer"]),
        (lambda: writers.find(Note.body == "x", join=(Writer.written,)), ValueError, ["Note", "join="]),
        (lambda: writers.find(Note.body == "x", join=("written",)), TypeError, ["join="]),
        (lambda: writers.find(Article.id > 0, join=(Writer.written, Writer.edited)), ValueError, ["Article"]),
    ]:
        try:
            call()
        except error as e:
            assert all(w in str(e) for w in words), e
        else:
            raise AssertionError("a refused join was accepted")


@scenario
async def streaming(models, path, kind):
    """iterate() gives the rows find() gives, a batch at a time from one cursor; closed early or dropped, it
    releases the cursor and its connection.  On MySQL the connection an open iterator reads on runs nothing
    else: outside a block the iterator takes one of its own unless the task already holds one."""
    import gc

    from Quillon.Error.DbFault import TransactionError

    Member, Post = models[0], models[1]
    ex = Member.getExecutor()
    blocking, mysql = blocking_connector(), kind.startswith("mysql")
    sqlite = not kind.startswith(("mysql", "postgres"))
    hostile = "z'); delete from member; --"
    async with block():  # committed at its end: a connection of the iterator's own sees the rows
        await q(ex.insertMany([Member(name="m%02d" % i, age=i, meta={"i": i}) for i in range(23)]
                              + [Member(name=hostile, age=None)]))
        await q(Post.getExecutor().insertMany([Post(authorId=2, title="b"), Post(authorId=2, title="c")]))

    async def rows(it):
        return list(it) if blocking else [r async for r in it]

    async def take(it):  # the next row, None at the end
        return next(it, None) if blocking else await anext(it, None)

    async def close(it):
        return it.close() if blocking else await it.aclose()

    async def refused(call):
        try:
            await q(call())
        except RuntimeError as e:
            assert "iterate()" in str(e), e
        else:
            raise AssertionError("a statement ran on the connection an open iterator reads")

    def locked():
        """Whether an open read of the blocking SQLite connection keeps another connection from writing."""
        con = sqlite3.connect(path, timeout=0)
        try:
            con.execute("update member set age = age where id = 1")
            con.commit()
            return False
        except sqlite3.OperationalError as e:
            assert "locked" in str(e), e
            return True
        finally:
            con.close()

    # Statements of the loop's body run while it iterates, except on the connection a MySQL iterator reads
    # on: awaited, the task's own once it holds one (its transaction's writes must show).
    it = ex.iterate(Member.age < 10, orderBy=Member.id, batchSize=3)
    if mysql and not blocking:
        assert (await take(it))["name"] == "m00"
        await refused(lambda: ex.updateWhere(Member.id == 1, {"age": 5}))
        await close(it)
        await q(ex.updateWhere(Member.age < 10, {"age": Member.age + 100}))

        async def fresh():  # a task holding no connection: the iterator takes one of its own
            dropped = ex.iterate(batchSize=2)
            await anext(dropped)
            del dropped  # its connection goes back to the pool (checked when the scenario ends)
            gc.collect()
            async with ex.iterate(batchSize=2) as closed:
                await anext(closed)
            return [(r["name"], await ex.count()) async for r in ex.iterate(Member.age < 3, batchSize=2)]

        assert await asyncio.create_task(fresh()) == [("m00", 24), ("m01", 24), ("m02", 24)]
    else:
        while (row := await take(it)) is not None:
            await q(ex.updateWhere(Member.id == row["id"], {"age": Member.age + 100}))
    assert sorted(r["age"] for r in await rows(ex.iterate(Member.age >= 100))) == list(range(100, 110))

    where, order = Member.age.notNull(), Member.age.desc()
    got = await rows(ex.iterate(where, orderBy=order, batchSize=5, loadForeign=Member.posts))
    assert got == await q(ex.find(where, orderBy=order, loadForeign=Member.posts)) and len(got) == 23
    assert [r["age"] for r in got[:2]] == [109, 108] and got[-1]["meta"] == {"i": 10} and got[0].object is Member
    assert {r["name"]: [p["title"] for p in r["posts"]] for r in got if r["posts"]} == {"m01": ["b", "c"]}
    assert [r["name"] for r in await rows(ex.iterate(Member.name == hostile, batchSize=1))] == [hostile]
    assert [r["name"] for r in await rows(ex.iterate(Post.title.isIn(["b", "c"])))] == ["m01"]  # each row once

    class Shouting(type(ex)):  # a batch is shaped as find() shapes its rows, overrides included
        def handleResult(self, raw):
            return [dict(r, name=r["name"].upper()) for r in super().handleResult(raw)]

    assert [r["name"] for r in await rows(Shouting(Member).iterate(Member.age.between(10, 12), batchSize=2))] == [
        "M10", "M11", "M12"]

    # close()/aclose(), a with block, or dropping it ends the iteration and releases the cursor.
    it = ex.iterate(orderBy=Member.id, batchSize=2)
    assert (await take(it))["name"] == "m00"
    if blocking and sqlite:
        assert locked()
    if mysql and not blocking:
        await refused(ex.count)
    else:
        assert await q(ex.count()) == 24
    await close(it)
    assert await rows(it) == [] and not (blocking and sqlite and locked())
    assert await q(ex.count()) == 24
    if blocking:
        with ex.iterate(orderBy=Member.id, batchSize=2) as it:
            assert next(it)["name"] == "m00"
    else:
        async with ex.iterate(orderBy=Member.id, batchSize=2) as it:
            assert (await it.__anext__())["name"] == "m00"
    assert await rows(it) == [] and not (blocking and sqlite and locked())
    it = ex.iterate(orderBy=Member.id, batchSize=2)
    assert (await take(it))["name"] == "m00"
    del it
    gc.collect()
    assert not (blocking and sqlite and locked()) and await q(ex.count()) == 24

    # In a transaction block the iterator reads on the block's connection and sees the block's writes.
    async with block():
        await q(ex.save(Member(name="in block")))
        it = ex.iterate(orderBy=Member.id.desc(), batchSize=2)
        assert (await take(it))["name"] == "in block"
        if mysql:
            await refused(ex.count)
            try:
                async with block():
                    raise AssertionError("a block began on the connection an open iterator reads")
            except RuntimeError as e:
                assert "iterate()" in str(e), e
        else:
            assert await q(ex.count()) == 25
        await close(it)
        # Relations loaded per batch run on the block's connection too (MySQL: the rows are then buffered).
        got = await rows(ex.iterate(Member.name.isIn(["m01", "in block"]), batchSize=1, loadForeign=Member.posts))
        assert [(r["name"], len(r["posts"])) for r in got] == [("m01", 2), ("in block", 0)], got
        assert await q(ex.count()) == 25
        kept = ex.iterate(orderBy=Member.id, batchSize=1)
        assert (await take(kept))["name"] == "m00"
    # The block ended with the iterator open: on MySQL its end closed the cursor, and the iterator says so.
    if mysql:
        try:
            await take(kept)
        except TransactionError as e:
            assert "block" in str(e), e
        else:
            raise AssertionError("an iterator read on after its block ended")
    else:
        assert (await take(kept))["name"] == "m01"
    assert await q(ex.count()) == 25


@scenario
async def counter(models, path, kind):
    """Twenty concurrent increments of one counter all count: the database computes each new value."""
    import threading

    Member = models[0]

    async def seed():
        row = Member(name="counter", age=0)
        await q(Member.getExecutor().save(row))
        return row["id"]

    if kind.endswith("blocking"):  # SQLite or MySQL, from threads
        key = await seed()
        failures = []

        def bump():
            try:
                assert Member.getExecutor().updateWhere(Member.id == key, {"age": Member.age + 1}) == 1
            except Exception as e:  # reported below
                failures.append(e)

        threads = [threading.Thread(target=bump) for _ in range(20)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert not failures, failures
    else:
        key = await asyncio.create_task(seed())  # committed before the increments start

        async def bump():
            return await Member.getExecutor().updateWhere(Member.id == key, [(Member.age, Member.age + 1)])

        assert await asyncio.gather(*(asyncio.create_task(bump()) for _ in range(20))) == [1] * 20
    assert (await q(Member.getExecutor().get(key)))["age"] == 20


def declare_write_models():
    """Models whose stored values come from the database: a generated key and
    table defaults (Event), a key the application gives (Ticket)."""
    from Quillon.Model.Columns import IntProperty, StrProperty, TimestampProperty, auto_increment, current_timestamp
    from Quillon.Model.Entity import Entity

    class Event(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        title = StrProperty()
        at = TimestampProperty(default=current_timestamp)
        state = StrProperty(define="DEFAULT 'draft'")
        note = StrProperty()

    class Ticket(Entity):
        id = IntProperty(pk=True)
        title = StrProperty()

    return Event, Ticket


@scenario
async def defaults(models, path, kind):
    """Columns a row built in Python leaves unset get the table's defaults and
    generated keys, which a save reads back; keys the application gives are
    stored and returned; a row without a key that nothing generates is refused."""
    from Quillon.Ext import generate_table

    Event, Ticket = declare_write_models()
    await q(generate_table())
    events = Event.getExecutor()
    row = Event(title="launch")
    key = await q(events.save(row))
    assert key == row["id"] and isinstance(key, int), (key, dict(row))
    stored = await q(events.get(key))
    assert stored["at"] is not None and stored["state"] == "draft" and stored["note"] is None, dict(stored)
    assert (row["at"], row["state"]) == (stored["at"], "draft"), dict(row)  # reported by the database
    row["title"] = "moved"
    assert await q(events.update(row)) == 1
    again = await q(events.get(key))
    assert (again["title"], again["at"], again["state"]) == ("moved", stored["at"], "draft"), dict(again)
    explicit = Event(title="x", state=None)  # a value given, None too, is written
    await q(events.save(explicit))
    assert (await q(events.get(explicit["id"])))["state"] is None
    # Rows leaving different columns to the table, in one call.
    inserted = [Event(title="a"), Event(title="b", state="open"), Event(title="c")]
    assert await q(events.insertMany(inserted)) == 3
    many = await q(events.find(Event.title < "d", orderBy=Event.title))
    assert [(r["title"], r["state"]) for r in many] == [("a", "draft"), ("b", "open"), ("c", "draft")]
    assert all(r["at"] is not None for r in many)
    # The keys and the defaulted columns the database reported are in the rows.
    if await reports_keys(kind):
        assert [dict(r) for r in inserted] == [dict(r) for r in many], [dict(r) for r in inserted]

    tickets = Ticket.getExecutor()
    assert await q(tickets.save(Ticket(id=100, title="given"))) == 100
    assert (await q(tickets.get(100)))["title"] == "given"
    for refused in (lambda: tickets.save(Ticket(title="no key")),
                    lambda: tickets.insertMany([Ticket(id=7, title="t"), Ticket(title="no key")])):
        try:
            refused()
        except ValueError as e:
            assert "'id'" in str(e) and "Ticket" in str(e), e
        else:
            raise AssertionError("a row without its key was accepted")
    # Rows of differing columns are still one atomic insert: the clash of the
    # second group takes the first group's row back out.
    try:
        await q(tickets.insertMany([Ticket(id=1, title="first group"), Ticket(id=100)]))
    except Exception as e:
        assert "ntegrity" in type(e).__name__ or "uplicate" in str(e) or "UNIQUE" in str(e), repr(e)
    else:
        raise AssertionError("a duplicate key was stored")
    assert [r["id"] for r in await q(tickets.find())] == [100]


@scenario
async def links(models, path, kind):
    """Many-to-many links are written with link() and unlink(); save() refuses
    a row carrying related rows instead of dropping them."""
    Member, Post, Profile, Role = models
    members, roles = Member.getExecutor(), Role.getExecutor()
    ann = Member(name="ann")
    await q(members.save(ann))
    admin, dev, ops = Role(label="admin"), Role(label="dev"), Role(label="ops")
    for r in (admin, dev, ops):
        await q(roles.save(r))
    assert await q(members.link(ann, Member.roles, [admin, dev])) == 2
    assert await q(members.link(ann, Member.roles, (dev, ops["id"]))) == 1  # dev is linked already; a key will do
    assert await q(members.link(ann, Member.roles, admin)) == 0
    assert await q(roles.link(dev, Role.member, ann)) == 0  # the same link, seen from the other side
    loaded = await q(members.get(ann["id"], loadForeign=True))
    assert sorted(r["label"] for r in loaded["roles"]) == ["admin", "dev", "ops"]
    assert [m["name"] for m in (await q(roles.get(dev["id"], loadForeign=True)))["member"]] == ["ann"]
    # A row read with its relations updates its columns.
    loaded["age"] = 40
    assert await q(members.update(loaded)) == 1
    assert await q(members.unlink(ann, Member.roles, [admin, ops["id"]])) == 2
    assert await q(members.unlink(ann, Member.roles, admin)) == 0
    loaded = await q(members.get(ann["id"], loadForeign=True))
    assert [r["label"] for r in loaded["roles"]] == ["dev"] and loaded["age"] == 40
    for call, error, words in [
        (lambda: members.save(Member(name="bo", roles=[{"label": "x"}])), ValueError, ["roles", "link("]),
        (lambda: members.insertMany([Member(name="bo", posts=[{"title": "p"}])]), ValueError, ["posts"]),
        (lambda: members.link(ann, Member.posts, [Post(title="p")]), ValueError, ["posts"]),
        (lambda: members.link(ann, Role.member, [admin]), TypeError, ["Member"]),
        (lambda: members.link(ann, Member.roles, [Post(title="p")]), TypeError, ["Role", "Post"]),
        (lambda: members.link(ann, Member.roles, [Role(label="unsaved")]), ValueError, ["save it first"]),
        (lambda: members.unlink(Member(name="unsaved"), Member.roles, [admin]), ValueError, ["save it first"]),
    ]:
        try:
            call()
        except error as e:
            assert all(w in str(e) for w in words), e
        else:
            raise AssertionError("refused call was accepted")
    assert await q(members.count()) == 1 and await q(roles.count()) == 3


@scenario
async def subclass(models, path, kind):
    """A subclass of the executor is an ordinary class: super().__init__ takes
    the model, the attributes its __init__ sets are there in its handleResult,
    and one executor serves concurrent awaited operations."""
    from Quillon.Model.Executors import AsyncModelExecutor, ModelExecutor

    Member = models[0]

    class Audited(ModelExecutor if blocking_connector() else AsyncModelExecutor):
        def __init__(self, model, label):
            super().__init__(model)
            self.label = label
            self.seen = []

        def handleResult(self, raw):
            result = super().handleResult(raw)
            self.seen.append((self.label, type(result).__name__))
            return result

    ex = Audited(Member, "audit")
    assert ex.model is Member and ex.work is None
    if not blocking_connector():
        # Tasks of their own (each one transaction) share the executor.
        async def writer(i):
            await ex.insertMany([Member(name="c%d-%d" % (i, j)) for j in range(3)])
            mine = await ex.find(Member.name.startsWith("c%d-" % i), orderBy=Member.name)
            return [r["name"] for r in mine], await ex.count(Member.name.startsWith("c%d-" % i))

        results = await asyncio.gather(*(writer(i) for i in range(6)))
        assert results == [(["c%d-%d" % (i, j) for j in range(3)], 3) for i in range(6)], results
        ex.seen.clear()
    assert await q(ex.insertMany([Member(name="s%d" % i, age=i) for i in range(4)])) == 4
    rows = await q(ex.find(Member.name.startsWith("s"), orderBy="age DESC"))
    assert [r["name"] for r in rows] == ["s3", "s2", "s1", "s0"] and rows[0].object is Member
    assert [label for label, _ in ex.seen] == ["audit", "audit"] and ex.seen[1][1] == "InstanceList", ex.seen


def declare_keyword_models():
    """A model Order (a keyword) with a column group (another one), its lines
    found through a column named order, and items linked many-to-many."""
    from Quillon.Model.Columns import ForeignKey, ForeignType, IntProperty, StrProperty, auto_increment
    from Quillon.Model.Entity import Entity

    class Item(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        label = StrProperty()

    class Line(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        order = IntProperty()
        amount = IntProperty()

    class Order(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        group = StrProperty(define="DEFAULT 'retail'")
        lines = ForeignKey(Line, ForeignType.ONE_TO_MANY, targetBindCol=Line.order)
        items = ForeignKey(Item, ForeignType.MANY_TO_MANY)

    return Order, Line, Item


@scenario
async def keyword_statements(models, path, kind):
    """The statements the executor and the pager write themselves quote the
    names that are keywords (the tables are made by hand here)."""
    from Quillon.DB.DB import DB
    from Quillon.Ext.Paging import Paging

    Order, Line, Item = declare_keyword_models()
    mysql = kind.startswith("mysql")
    key = ("INT AUTO_INCREMENT PRIMARY KEY" if mysql else
           "INTEGER GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY" if kind.startswith("postgres") else "INTEGER PRIMARY KEY")
    quote = (lambda n: "`%s`" % n) if mysql else (lambda n: '"%s"' % n)
    for ddl in [
        "CREATE TABLE %s (id %s, %s VARCHAR(20) DEFAULT 'retail')" % (quote("order"), key, quote("group")),
        "CREATE TABLE line (id %s, %s INT, amount INT)" % (key, quote("order")),
        "CREATE TABLE item (id %s, label VARCHAR(20))" % key,
        "CREATE TABLE %s (order_id INT, item_id INT)" % Order.items["middleModel"].tableName,
    ]:
        await q(DB.getInstance().executeSql(ddl))
    orders = Order.getExecutor()
    first = Order()  # group left to the table's default
    assert await q(orders.save(first)) == 1 and first["group"] == "retail"
    assert await q(orders.insertMany([Order(group="b2b"), Order(group="retail")])) == 2
    assert await q(orders.count()) == 3 and await q(orders.exists()) is True
    assert await q(Line.getExecutor().insertMany([Line(order=1, amount=5), Line(order=1, amount=7)])) == 2
    widget = Item(label="widget")
    await q(Item.getExecutor().save(widget))
    assert await q(orders.link(first, Order.items, widget)) == 1
    rows = [Order(id=1, group="retail"), Order(id=2, group="b2b")]
    await q(orders.findListForeignKey(rows))
    assert sorted(r["amount"] for r in rows[0]["lines"]) == [5, 7] and rows[1]["lines"] == []
    assert [i["label"] for i in rows[0]["items"]] == ["widget"] and rows[1]["items"] == []
    assert await q(orders.unlink(first, Order.items, [widget])) == 1
    assert [tuple(r) for r in await q(Paging(Order)._getCount())] == [(3,)]


@scenario
async def keywords(models, path, kind):
    """A model Order with a column group works end to end: its table is
    generated, and every operation reads and writes it."""
    from Quillon.Ext import generate_table
    from Quillon.Ext.Paging import Paging

    from Quillon.Model.Functions import Count

    Order, Line, Item = declare_keyword_models()
    await q(generate_table())
    orders = Order.getExecutor()
    first = Order(group="b2b")
    await q(orders.save(first))
    await q(orders.insertMany([Order(group="retail"), Order()]))
    await q(Line.getExecutor().save(Line(order=first["id"], amount=3)))
    found = await q(orders.find(Order.group == "retail", orderBy=Order.group, loadForeign=True))
    assert len(found) == 2 and all(r["lines"] == [] for r in found)
    assert await q(orders.count(Order.group != "b2b")) == 2 and await q(orders.exists(Order.group == "b2b"))
    # Across relations, the joins name the keyword tables and columns too.
    assert [r["group"] for r in await q(orders.find(Line.amount == 3))] == ["b2b"]
    assert await q(orders.values(Order.group, Count(Line.id), groupBy=Order.group, orderBy=Order.group)) == [
        ("b2b", 1), ("retail", 0)]
    first["group"] = "vip"
    assert await q(orders.update(first)) == 1
    assert await q(orders.updateWhere(Order.group == "retail", {"group": "shop"})) == 2
    page = await q(Paging(Order, pageSize=2).filter(Order.group == "shop").orderBy("order.group DESC", Order.id).execute())
    assert (page.total, len(page.content)) == (2, 2)
    assert [r["amount"] for r in (await q(orders.get(first["id"], loadForeign=True)))["lines"]] == [3]
    assert await q(orders.deleteWhere(Order.group == "shop")) == 2 and await q(orders.delete(first)) == 1


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
    for order in (Order.key, "key", "order.key", ("group DESC",), Order.key.asc(), '"order"."key" ASC',
                  (Order.group.desc(),), (Order.key + Order.key).asc()):
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


@scenario
async def mutations(models, path, kind):
    # Python code run by a comparison or a hash in the middle of a native
    # loop changes what the loop walks: the operation still ends with a
    # correct result, never with a value read from freed memory.
    Member = models[0]
    ex = Member.getExecutor()

    # A key of the row that collides with a column name replaces a value
    # that the insert has already read from the row.
    class Collider:
        done = False

        def __hash__(self):
            return hash("joined")

        def __eq__(self, other):
            if not Collider.done:
                Collider.done = True
                row["name"] = "replaced"  # releases the name read before
            return False

    row = Member(name="".join(["plan", "ned"]), age=4)
    del row["joined"]
    row[Collider()] = 0
    assert await q(ex.insertMany([row])) == 1 and Collider.done
    assert [m["name"] for m in await q(ex.find(Member.age == 4))] == ["planned"]

    # The rows whose relations are loaded are dropped by their own key
    # value while the loader reads them.
    class Key(int):
        def __hash__(self):
            owners.clear()
            return int.__hash__(self)

    await q(ex.insertMany([Member(name="owner") for _ in range(3)]))
    owners = await q(ex.find(Member.name == "owner"))
    owners[0]["id"] = Key(owners[0]["id"])
    assert await q(ex.findListForeignKey(owners)) is None and owners == []


# ---------------------------------------------------------------------------
# Transaction blocks: the same rules for every connector
# ---------------------------------------------------------------------------

# Reads committed rows through a connection of its own: the SQLite file at
# `path`, or the server when mysql_scenarios.py sets this to its reader.
COMMITTED = None


def committed(path, sql, args=()):
    if COMMITTED is not None:
        return [tuple(r) for r in COMMITTED(sql.replace("?", "%s"), args or None)]
    return fresh_rows(path, sql, args)


def names_of(path, prefix=""):
    return [r[0] for r in committed(path, "select name from member where name like ? order by id", (prefix + "%",))]


def blocking_connector():
    from Quillon.DB.DB import DB

    return not DB.getInstance().connector.isAsync


class block:
    """`async with block() as t:` is `with transaction() as t:` on a blocking
    connector and `async with transaction() as t:` on an asyncio one."""

    def __init__(self):
        from Quillon.DB.utils import transaction

        self.t = transaction()
        self.blocking = blocking_connector()

    async def __aenter__(self):
        return self.t.__enter__() if self.blocking else await self.t.__aenter__()

    async def __aexit__(self, *exc):
        return self.t.__exit__(*exc) if self.blocking else await self.t.__aexit__(*exc)


@scenario
async def blocks(models, path, kind):
    """A block commits when it ends, rolls back when it raises; a nested block
    is a savepoint; onCommit runs after the outermost commit only."""
    Member = models[0]
    ex = Member.getExecutor()
    log = []
    async with block() as t:
        await q(ex.save(Member(name="a")))
        t.onCommit(lambda: log.append(("outer", names_of(path))))
        try:
            async with block() as inner:
                await q(ex.save(Member(name="undone")))
                inner.onCommit(lambda: log.append("undone"))
                raise KeyError("inner")
        except KeyError:
            pass
        async with block() as inner:
            await q(ex.insertMany([Member(name="b"), Member(name="c", age=1)]))
            inner.onCommit(lambda: log.append(("inner", names_of(path))))
        # Nothing is stored before the outermost block ends; the block sees its own rows.
        assert names_of(path) == [] and log == [], (names_of(path), log)
        assert [r["name"] for r in await q(ex.find(orderBy=Member.id))] == ["a", "b", "c"]
    assert log == [("outer", ["a", "b", "c"]), ("inner", ["a", "b", "c"])], log

    try:
        async with block() as t:
            await q(ex.save(Member(name="lost")))
            t.onCommit(lambda: log.append("never"))
            raise RuntimeError("abort")
    except RuntimeError:
        pass
    # A statement the database refuses fails the block: nothing of it stays.
    try:
        async with block() as t:
            await q(ex.save(Member(name="lost too")))
            t.onCommit(lambda: log.append("never"))
            await q(ex.save(Member(name=None)))  # name is NOT NULL
    except Exception as e:  # the driver's IntegrityError
        assert "null" in str(e).lower(), e
    else:
        raise AssertionError("NOT NULL violation not raised")
    assert names_of(path) == ["a", "b", "c"] and "never" not in log, (names_of(path), log)

    # Every callback runs; the first error comes out after the commit.
    try:
        async with block() as t:
            await q(ex.save(Member(name="d")))
            t.onCommit(lambda: 1 / 0)
            t.onCommit(lambda: log.append("after the failing one"))
    except ZeroDivisionError:
        pass
    else:
        raise AssertionError("the callback's error was swallowed")
    assert names_of(path, "d") == ["d"] and log[-1] == "after the failing one", log
    if not blocking_connector():
        # An awaitable a callback returns is awaited.
        async def notify():
            await asyncio.sleep(0)
            log.append("awaited")

        async with block() as t:
            await q(ex.save(Member(name="e")))
            t.onCommit(notify)
        assert log[-1] == "awaited", log


@scenario
async def block_tasks(models, path, kind):
    """Awaited: tasks started inside a block run in its transaction; one still
    running when the block ends fails the block; cancelled blocks roll back."""
    from Quillon.Error.DbFault import TransactionError

    Member = models[0]
    ex = Member.getExecutor()

    async def save(name):
        return await ex.save(Member(name=name))

    async with block():
        await save("parent")
        await asyncio.gather(save("gathered 1"), save("gathered 2"))
        await asyncio.create_task(save("created"))
        if sys.version_info >= (3, 11):
            async with asyncio.TaskGroup() as group:
                group.create_task(save("grouped 1"))
                group.create_task(save("grouped 2"))
        else:
            await asyncio.gather(save("grouped 1"), save("grouped 2"))
        await asyncio.wait_for(save("waited"), 30)
        assert names_of(path) == [], names_of(path)
    assert sorted(names_of(path)) == sorted(["parent", "gathered 1", "gathered 2", "created", "grouped 1",
                                             "grouped 2", "waited"]), names_of(path)

    # A child's error leaving the block rolls every task's rows back.
    async def failing():
        await save("failing child")
        raise ValueError("child")

    try:
        async with block():
            await save("x")
            await asyncio.gather(save("y"), failing())
    except ValueError:
        pass
    assert names_of(path, "x") == names_of(path, "y") == names_of(path, "failing") == []

    # Children with blocks of their own: each one atomic, side by side.
    async def atomic(i):
        async with block():
            await save("n%d a" % i)
            await asyncio.sleep(0)
            await save("n%d b" % i)
            if i % 3 == 0:
                raise KeyError(i)

    async with block():
        outcomes = await asyncio.gather(*(atomic(i) for i in range(9)), return_exceptions=True)
    assert [isinstance(o, KeyError) for o in outcomes] == [i % 3 == 0 for i in range(9)], outcomes
    assert sorted(names_of(path, "n")) == sorted("n%d %s" % (i, s) for i in range(9) if i % 3 for s in "ab")

    # A child still running as the block ends: the block fails and rolls
    # back, and the child's statements are refused.
    release = asyncio.Event()

    async def late():
        await release.wait()
        await save("late")

    try:
        async with block():
            await save("outlived")
            child = asyncio.create_task(late())
    except TransactionError as e:
        assert "still running" in str(e), e
    else:
        raise AssertionError("the block ended before its task")
    release.set()
    try:
        await child
    except TransactionError as e:
        assert "has ended" in str(e), e
    else:
        raise AssertionError("a task ran statements in a block that had ended")
    assert names_of(path, "outlived") == names_of(path, "late") == []

    if not kind.startswith(("mysql", "postgres")):
        # SQLite: a block waits for another connection's open write; when the
        # task holding it waits for the block's task, it is refused at once.
        from Quillon.Error.DbFault import DeadlockError

        written = asyncio.Event()

        async def later_block():
            await written.wait()
            async with block():
                await save("never")

        async def holder():
            child = asyncio.create_task(later_block())
            await save("holder")  # an open write of its own
            written.set()
            await child

        started = asyncio.get_running_loop().time()
        try:
            await asyncio.create_task(holder())
        except DeadlockError as e:
            assert "waits for this one" in str(e), e
        else:
            raise AssertionError("a block waited for a write that waits for it")
        assert asyncio.get_running_loop().time() - started < 2
        assert names_of(path, "never") == names_of(path, "holder") == []

    # Many tasks, each one block with tasks of its own; some are cancelled
    # on the way: each one's rows are all there or none.
    async def worker(i):
        async with block():
            await save("w%d-1" % i)
            await asyncio.gather(save("w%d-2" % i), save("w%d-3" % i))
            await asyncio.sleep(0.01 * (i % 3))
            await save("w%d-4" % i)

    workers = [asyncio.create_task(worker(i)) for i in range(24)]
    for _ in range(4):
        await asyncio.sleep(0.01)
        for w in workers[::3]:
            w.cancel()
    outcomes = await asyncio.gather(*workers, return_exceptions=True)
    for i, outcome in enumerate(outcomes):
        stored = sorted(names_of(path, "w%d-" % i))
        assert stored in ([], ["w%d-%d" % (i, n) for n in (1, 2, 3, 4)]), (i, outcome, stored)
        # Cancelled means rolled back, unless the commit was under way
        # already (it completes, then the task is cancelled).
        assert isinstance(outcome, asyncio.CancelledError) or (stored and outcome is None), (i, outcome, stored)
    assert any(isinstance(o, asyncio.CancelledError) for o in outcomes)


@scenario
async def block_cancel_points(models, path, kind):
    """Awaited: a block cut off by a cancellation at each of its await points
    stores none of its rows, or (once its commit was under way) all of them,
    and the task goes on with its connection."""
    from test_coroutines import run_out, step_to

    Member = models[0]
    ex = Member.getExecutor()

    async def body(tag):
        async with block():
            await q(ex.save(Member(name=tag + " 1")))
            await asyncio.gather(ex.save(Member(name=tag + " 2")), ex.save(Member(name=tag + " 3")))

    async def cut(k):
        """Cancels the block at its k-th await point in a task of its own;
        returns whether there was one."""
        tag = "p%02d" % k
        await q(ex.save(Member(name=tag + " before")))  # the task's transaction is open
        it = body(tag).__await__()
        try:
            yielded = await step_to(it, k)
        except LookupError:
            return False
        # As Task.cancel() does: the awaited future is cancelled (a gather
        # cancels its tasks), then the coroutine gets the CancelledError.
        if yielded is not None:
            yielded.cancel()
            await asyncio.wait([yielded])
            if not yielded.cancelled():
                yielded.exception()
        try:
            yielded = it.throw(asyncio.CancelledError())
        except asyncio.CancelledError:
            pass
        except StopIteration:
            raise AssertionError("a cancellation was swallowed at point %d" % k)
        else:
            # The block cleans up (waits for its tasks and the rollback).
            try:
                await run_out(it, yielded)
            except asyncio.CancelledError:
                pass
            else:
                raise AssertionError("a cancellation was swallowed at point %d" % k)
        # The task goes on with its connection and commits when it ends
        # (on MySQL a query cut off mid-way takes the connection with it).
        try:
            await q(ex.save(Member(name=tag + " after")))
        except Exception as e:
            assert kind.startswith("mysql") and "Cancelled during execution" in str(e), e
        return True

    stored, k = [], 0
    while True:
        try:
            if not await asyncio.get_running_loop().create_task(cut(k)):
                break
        except Exception as e:
            # A task whose connection was lost cannot commit: its end fails.
            assert kind.startswith("mysql") and "Cancelled during execution" in str(e), e
        tag = "p%02d" % k
        stored.append(len(names_of(path, tag + " ")) - len(names_of(path, tag + " after")) -
                      len(names_of(path, tag + " before")))
        k += 1
    # BEGIN, cursor(), the first insert, the gather, COMMIT at least.
    assert k >= 4, k
    assert stored == sorted(stored) and set(stored) <= {0, 3}, stored
    assert stored[0] == 0, stored


@scenario
async def block_threads(models, path, kind):
    """Blocking: a block belongs to its thread.  Threads writing, each in
    blocks of its own and statement by statement, while another thread's
    block rolls back: nothing is lost and nothing duplicated."""
    from Quillon.DB.utils import transaction

    Member = models[0]
    ex = Member.getExecutor()
    inside, release = threading.Event(), threading.Event()
    failures = []

    def roll_back():
        try:
            with transaction() as t:
                ex.save(Member(name="undone"))
                t.onCommit(lambda: failures.append("committed a rolled back block"))
                inside.set()
                release.wait(20)
                raise RuntimeError("undo")
        except RuntimeError:
            pass

    def write(i):
        try:
            inside.wait(20)
            for j in range(4):
                with transaction():
                    ex.save(Member(name="t%d-%d" % (i, j)))
                    with transaction():
                        ex.save(Member(name="t%d-%d nested" % (i, j)))
            ex.save(Member(name="t%d solo" % i))
            assert len(ex.find(Member.name.startsWith("t%d-" % i))) == 8
        except BaseException as e:  # reported below
            failures.append(e)

    threads = [threading.Thread(target=roll_back)] + [threading.Thread(target=write, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    inside.wait(20)
    await asyncio.sleep(0.3)
    release.set()
    for t in threads:
        t.join()
    assert failures == [], failures
    stored = names_of(path)
    expected = ["t%d-%d%s" % (i, j, s) for i in range(4) for j in range(4) for s in ("", " nested")]
    expected += ["t%d solo" % i for i in range(4)]
    assert sorted(stored) == sorted(expected), stored


def main():
    name, kind, path = arguments()
    loop = setup(kind, path)
    models = declare_models()
    create_tables(loop)
    finish(loop, SCENARIOS[name](models, path, kind), settle=0.2)


if __name__ == "__main__":
    main()
