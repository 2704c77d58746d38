"""Scenarios of the pager, each run in a fresh interpreter.

tests/test_paging.py runs every scenario here in its own interpreter (the
facade is made once per process), with the blocking SQLite connector and with
the asyncio one.  ``q()`` awaits what the asyncio form returns and passes the
blocking form's results through, so one scenario checks both forms.

Rows are written with a plain sqlite3 connection, so the pager is checked
against data it did not write itself.
"""

import inspect
import json
import logging
import sqlite3

from scenario_support import arguments, finish, q, registry, setup


class StatementLog(logging.Handler):
    """The statements the blocking connection runs (its debug log)."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.statements = []

    def emit(self, record):
        self.statements.append(record.getMessage())


def watch_statements():
    log = StatementLog()
    logger = logging.getLogger("Quillon.DB")
    logger.setLevel(logging.DEBUG)
    logger.addHandler(log)
    return log


PEOPLE = [
    # (name, age, active, meta)
    (f"p{i:02d}", 18 + (i * 7) % 50, i % 3 != 0, {"n": i, "tags": ["t%d" % (i % 4)]})
    for i in range(1, 26)
]


def write_people(path):
    con = sqlite3.connect(path)
    con.execute("create table person(id integer primary key autoincrement, name text, age int, active int, meta text)")
    con.executemany(
        "insert into person(name, age, active, meta) values (?, ?, ?, ?)",
        [(n, a, int(act), json.dumps(m)) for n, a, act, m in PEOPLE],
    )
    con.execute("create table tally(label text, amount int)")
    con.executemany("insert into tally values (?, ?)", [("x%d" % i, i) for i in range(7)])
    con.commit()
    con.close()


class Recorder:
    """What the stand-in executors saw."""

    executors = []
    executes = 0
    relation_loads = []


def declare_models():
    from Quillon.Model.Columns import BoolProperty, IntProperty, JsonProperty, StrProperty, auto_increment
    from Quillon.Model.Entity import Entity
    from Quillon.Model.Executors import AsyncModelExecutor, ModelExecutor

    def recording(base):
        class Recording(base):
            def execute(self):
                Recorder.executes += 1
                return super().execute()

            def findListForeignKey(self, rows):
                Recorder.relation_loads.append(list(rows))
                return super().findListForeignKey(rows)

        return Recording

    recording_kinds = {False: recording(ModelExecutor), True: recording(AsyncModelExecutor)}

    class Person(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        name = StrProperty()
        age = IntProperty()
        active = BoolProperty()
        meta = JsonProperty(default=None)

    class Watched(Entity):
        """The person table read through executors that record their calls."""

        tableName = "person"
        id = IntProperty(pk=True, default=auto_increment)
        name = StrProperty()
        age = IntProperty()

        @classmethod
        def getExecutor(cls, work=None):
            from Quillon.DB.DB import DB

            executor = recording_kinds[bool(DB.getInstance().connector.isAsync)](cls, work)
            Recorder.executors.append(executor)
            return executor

    class Tally(Entity):
        label = StrProperty()
        amount = IntProperty()

    return Person, Watched, Tally


def expected(pred=lambda p: True, key=None, reverse=False):
    rows = [(i + 1,) + p for i, p in enumerate(PEOPLE) if pred(p)]
    if key is not None:
        rows.sort(key=key, reverse=reverse)
    return rows


SCENARIOS, scenario = registry()


@scenario
async def totals(kind, path, Person, Watched, Tally):
    """Totals, page counts and page windows over 25 rows."""
    from Quillon.Ext.Paging import Page, Paging

    ids = lambda page: [row["id"] for row in page.content]

    page = await q(Paging(Person, page=1, pageSize=10).filter().orderBy("id asc").execute())
    assert isinstance(page, Page)
    assert (page.page, page.pageSize, page.total, page.totalPage) == (1, 10, 25, 3)
    assert ids(page) == list(range(1, 11)), ids(page)
    assert set(page) == {"page", "pageSize", "content", "total", "totalPage"}

    page = await q(Paging(Person, page=3, pageSize=10).filter().orderBy("id asc").execute())
    assert (page.total, page.totalPage) == (25, 3)
    assert ids(page) == list(range(21, 26)), ids(page)

    # An exact multiple gives no extra page.
    page = await q(Paging(Person, page=5, pageSize=5).filter().orderBy("id asc").execute())
    assert (page.total, page.totalPage) == (25, 5)
    assert ids(page) == list(range(21, 26))
    page = await q(Paging(Person, page=2, pageSize=25).filter().execute())
    assert (page.total, page.totalPage, page.content) == (25, 1, [])

    # A page past the end: the totals, empty content, and no fetch at all.
    Recorder.executes = 0
    Recorder.executors.clear()
    page = await q(Paging(Watched, page=4, pageSize=10).filter().execute())
    assert (page.page, page.total, page.totalPage, page.content) == (4, 25, 3, [])
    assert Recorder.executes == 0
    assert "limit" not in Recorder.executors[-1].sqlBuilder.Build()[0]

    # Nothing matches: total 0, no page, no fetch, no limit.
    Recorder.executors.clear()
    page = await q(Paging(Watched).filter(Watched.age > 1000).execute())
    assert (page.total, page.totalPage, page.content) == (0, 0, [])
    assert Recorder.executes == 0
    assert "limit" not in Recorder.executors[-1].sqlBuilder.Build()[0]

    # Executed without filter(): every row, counted and read.
    page = await q(Paging(Person, page=2, pageSize=20).execute())
    assert (page.total, page.totalPage, len(page.content)) == (25, 2, 5)


@scenario
async def rows(kind, path, Person, Watched, Tally):
    """Content is model rows with converted values; filters and order hold."""
    from Quillon.Ext.Paging import Paging
    from Quillon.Model.Entity import ModelInstance

    page = await q(Paging(Person, pageSize=30).filter(Person.id == 4).execute())
    assert page.total == 1 and len(page.content) == 1
    row = page.content[0]
    assert isinstance(row, ModelInstance) and type(row).object is Person
    name, age, active, meta = PEOPLE[3]
    assert row["name"] == name and row["age"] == age
    assert row["active"] is active
    assert row["meta"] == meta and isinstance(row["meta"], dict)

    # Filter with a connective and an order with a direction.
    cond = (Person.age >= 30) & (Person.active == True)  # noqa: E712
    want = expected(lambda p: p[1] >= 30 and p[2], key=lambda r: (r[2], r[0]), reverse=True)
    page = await q(Paging(Person, page=1, pageSize=4).filter(cond).orderBy("age desc", "id desc").execute())
    assert page.total == len(want) and page.totalPage == -(-len(want) // 4)
    got = [(r["id"], r["name"], r["age"]) for r in page.content]
    assert got == [(w[0], w[1], w[2]) for w in want[:4]], (got, want[:4])
    page = await q(Paging(Person, page=2, pageSize=4).filter(cond).orderBy("age desc", "id desc").execute())
    assert [r["id"] for r in page.content] == [w[0] for w in want[4:8]]
    # Properties order too; SQL text is refused (it could read other tables
    # through the order of the rows), as are filters on another model's columns.
    page = await q(Paging(Person, page=2, pageSize=4).filter(cond).orderBy(Person.age, "person.id DESC").execute())
    assert [r["id"] for r in page.content] == [w[0] for w in sorted(want, key=lambda r: (r[2], -r[0]))[4:8]]
    page = await q(Paging(Person, page=2, pageSize=4).filter(cond).orderBy(Person.age.asc(), Person.id.desc()).execute())
    assert [r["id"] for r in page.content] == [w[0] for w in sorted(want, key=lambda r: (r[2], -r[0]))[4:8]]
    for term in ["CASE WHEN substr((SELECT name FROM tally), 1, 1) = 'x' THEN -id ELSE id END", "id; drop table person",
                 "id DOWN", "tally.amount", Tally.amount, Tally.amount.desc(), (Person.age * 2).asc()]:
        try:
            Paging(Person).orderBy(term)
        except ValueError:
            pass
        else:
            raise AssertionError("order term %r accepted" % (term,))
    try:
        Paging(Person).filter((Person.age > 1) & (Tally.amount > 1))
    except ValueError as e:
        assert "Tally.amount" in str(e) and "Person" in str(e), e
    else:
        raise AssertionError("a filter on another model's column was accepted")

    # OR and LIKE filters count and read the same rows.
    cond = (Person.age < 25) | Person.name.like("p1%")
    want = expected(lambda p: p[1] < 25 or p[0].startswith("p1"))
    page = await q(Paging(Person, pageSize=100).filter(cond).orderBy("id").execute())
    assert page.total == len(want)
    assert [r["id"] for r in page.content] == [w[0] for w in want]

    # A filter is refused unless it is a filter chain.
    try:
        Paging(Person).filter("age > 3")
    except TypeError as e:
        assert str(e) == "Argument 'args' has incorrect type (expected FilterListCell, got str)", e
    else:
        raise AssertionError("a str filter was accepted")
    try:
        Paging(Person).orderBy("id", desc=True)
    except TypeError as e:
        assert str(e) == "orderBy() got an unexpected keyword argument 'desc'", e
    else:
        raise AssertionError("a keyword was accepted")


@scenario
async def setpage(kind, path, Person, Watched, Tally):
    """setPage keeps or replaces the size; a second execute re-counts."""
    from Quillon.Ext.Paging import Paging

    pager = Paging(Person, page=1, pageSize=4).filter().orderBy("id")
    for args, want_page, want_size in [((2,), 2, 4), ((3, 0), 3, 4), ((2, -3), 2, 4), ((2, 6), 2, 6)]:
        assert pager.setPage(*args) is pager
        page = await q(pager.execute())
        assert (page.page, page.pageSize) == (want_page, want_size)
        first = (want_page - 1) * want_size + 1
        assert [r["id"] for r in page.content] == list(range(first, first + want_size)), page.content
        assert page.totalPage == -(-25 // want_size)

    # A second execute after new rows sees the new total.
    con = sqlite3.connect(path)
    con.execute("insert into person(name, age, active, meta) values ('late', 99, 1, 'null')")
    con.commit()
    con.close()
    page = await q(pager.setPage(5, 6).execute())
    assert (page.total, page.totalPage, [r["name"] for r in page.content]) == (26, 5, ["p25", "late"])

    # setPage does no range test: page 0 is accepted and reads from offset -pageSize.
    Recorder.executors.clear()
    pager = Paging(Watched, pageSize=3).filter()
    page = await q(pager.setPage(0).execute())
    assert page.page == 0
    assert Recorder.executors[-1].sqlBuilder.Build()[0].endswith(" limit -3, 3;")


@scenario
async def deep(kind, path, Person, Watched, Tally):
    """findForeign loads the relations of a non-empty page only."""
    from Quillon.Ext.Paging import Paging

    Recorder.relation_loads.clear()
    page = await q(Paging(Watched, pageSize=3).filter().orderBy("id").findForeign().execute())
    assert len(Recorder.relation_loads) == 1
    assert [r["id"] for r in Recorder.relation_loads[0]] == [1, 2, 3] == [r["id"] for r in page.content]

    page = await q(Paging(Watched, pageSize=3, findForeign=True).filter(Watched.id > 22).execute())
    assert len(Recorder.relation_loads) == 2 and len(page.content) == 3

    # An empty page and a pager without findForeign load nothing.
    await q(Paging(Watched, findForeign=True).filter(Watched.id > 100).execute())
    await q(Paging(Watched, page=9, findForeign=True).filter().execute())
    await q(Paging(Watched).filter().execute())
    assert len(Recorder.relation_loads) == 2


@scenario
async def relations(kind, path, Person, Watched, Tally):
    """findForeign fills the related rows of every row of the page."""
    from Quillon.Ext.Paging import Paging
    from Quillon.Model.Columns import ForeignKey, ForeignType, IntProperty, StrProperty, auto_increment
    from Quillon.Model.Entity import Entity

    class Book(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        ownerId = IntProperty()
        title = StrProperty()

    class Reader(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        name = StrProperty()
        books = ForeignKey(Book, ForeignType.ONE_TO_MANY, targetBindCol=Book.ownerId)
        latest = ForeignKey(Book, ForeignType.ONE_TO_ONE, targetBindCol=Book.ownerId)

    con = sqlite3.connect(path)
    con.execute("create table reader(id integer primary key, name text)")
    con.execute("create table book(id integer primary key, ownerId int, title text)")
    con.executemany("insert into reader values (?, ?)", [(1, "ann"), (2, "bob"), (3, "cid")])
    con.executemany("insert into book values (?, ?, ?)", [(1, 1, "a1"), (2, 1, "a2"), (3, 3, "c1")])
    con.commit()
    con.close()
    page = await q(Paging(Reader, pageSize=2).filter().orderBy("id").findForeign().execute())
    got = {r["name"]: sorted(b["title"] for b in r["books"]) for r in page.content}
    assert got == {"ann": ["a1", "a2"], "bob": []}, got
    page = await q(Paging(Reader, pageSize=2).filter().orderBy("id").execute())
    assert all("books" not in r or not r["books"] for r in page.content)
    # findForeign names the relations to load, as loadForeign does.
    for pager in (Paging(Reader, pageSize=2, findForeign=Reader.books), Paging(Reader, pageSize=2).findForeign([Reader.books])):
        page = await q(pager.filter().orderBy("id").execute())
        assert [sorted(b["title"] for b in r["books"]) for r in page.content] == [["a1", "a2"], []]
        assert all("latest" not in r for r in page.content)
    try:
        await q(Paging(Reader, findForeign=(Book.ownerId,)).filter().execute())
    except TypeError as e:
        assert "relations" in str(e), e
    else:
        raise AssertionError("a column was taken for a relation")


@scenario
async def forms(kind, path, Person, Watched, Tally):
    """execute() is the Page itself when blocking, an awaitable running nothing
    until awaited with an asyncio connector; overrides are honoured."""
    from Quillon.Ext.Paging import Page, Paging

    counts = []

    class Counting(Paging):
        def _getCount(self):
            counts.append(1)
            return super()._getCount()

    pager = Counting(Person, pageSize=5).filter(Person.age > 40)
    result = pager.execute()
    if kind == "blocking":
        assert isinstance(result, Page) and counts == [1]
    else:
        assert inspect.isawaitable(result) and not isinstance(result, Page)
        assert counts == []
        result = await result
        assert counts == [1]
    assert result.total == len(expected(lambda p: p[1] > 40))

    class Fixed(Paging):
        def _execute(self):
            return "from the subclass"

    outcome = await q(Fixed(Person).execute())
    if kind == "blocking":
        assert outcome == "from the subclass"
    else:
        assert isinstance(outcome, Page)  # the awaited path does not use _execute


@scenario
async def nokey(kind, path, Person, Watched, Tally):
    """A model without a primary key is counted with count(*)."""
    from Quillon.Ext.Paging import Paging

    log = watch_statements() if kind == "blocking" else None
    page = await q(Paging(Tally, page=2, pageSize=3).filter(Tally.amount >= 1).orderBy("amount").execute())
    assert (page.total, page.totalPage) == (6, 2)
    assert [r["amount"] for r in page.content] == [4, 5, 6]
    page = await q(Paging(Person, pageSize=3).filter().execute())
    assert page.total == 25
    if log is not None:
        assert "select count(*) from tally  WHERE tally.amount  >=  1 " in log.statements, log.statements
        assert "select count(id) from person " in log.statements, log.statements


def main():
    name, kind, path = arguments()
    write_people(path)
    loop = setup(kind, path, showLog=True)
    models = declare_models()
    finish(loop, SCENARIOS[name](kind, path, *models))


if __name__ == "__main__":
    main()
