"""Quillon beside the raw drivers and its peers, on the same schema and data.

    python3 benchmarks/peers.py                    # full run in a throw-away venv: table, docs/peers.png
    python3 benchmarks/peers.py --update-readme    # the same, and the README's table rewritten
    python3 benchmarks/peers.py --in-place         # Quillon from this tree's scripts/dev-build modules
    python3 benchmarks/peers.py --quick            # tiny counts, this interpreter, the peers it has

The full run makes (or reuses) a virtual environment in benchmarks/.peers-venv
(git-ignored), installs peewee, SQLAlchemy 2, aiosqlite and matplotlib there,
and Quillon from this working tree (`pip install .`; with --in-place the
modules `scripts/dev-build` compiled into the tree are used instead), then
runs itself inside it.  None of the peers is a dependency of the package.

Each workload is written once per contestant: the raw driver (tuples, and
dict rows for the reads), peewee, SQLAlchemy Core and ORM, raw aiosqlite for
the awaited rows, and Quillon, each on a database file of its own made from
one seeded copy.  Before any timing every contestant runs every workload once
and its result (or the table it wrote) must have the same checksum as the raw
driver's; then the contestants run in turn, the order rotated each round, and
each cell is the median of the rounds, given as a ratio to the raw driver.
Quillon's facade is made once per process, so the blocking and the awaited
workloads each run in a process of their own.  The database files go to
/dev/shm (--folder picks another place): the library's cost is measured, not
the disk's flushes.

The raw driver is the reference: `sqlite3` with tuples for the blocking rows,
`aiosqlite` on one shared connection for the awaited ones (its one-step
`execute_fetchall` and `execute_insert`; concurrent inserts take turns under
a lock, each its own transaction).  Its dict rows and a connection per task
are columns of their own.

The workloads take a small backend object (connection, DDL, placeholder,
checksums), so another database can be added beside `SqliteBackend`; a
contestant that a backend cannot run is left out of its table.
"""

import argparse
import asyncio
import gc
import hashlib
import json
import os
import platform
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRIPT = os.path.abspath(__file__)
DEFAULT_VENV = os.path.join(REPO, "benchmarks", ".peers-venv")
DEFAULT_FOLDER = "/dev/shm" if os.path.isdir("/dev/shm") else tempfile.gettempdir()
PEERS = ["peewee", "SQLAlchemy>=2,<3", "aiosqlite", "matplotlib"]
README_BEGIN = "<!-- peers table: written by benchmarks/peers.py --update-readme -->"
README_END = "<!-- end of peers table -->"
COLUMNS = ["raw", "raw dicts", "raw per task", "peewee", "SQLAlchemy Core", "SQLAlchemy ORM", "Quillon"]
HEADINGS = {"raw": "raw driver", "raw dicts": "raw, dict rows", "raw per task": "raw, a connection per task",
            "peewee": "peewee", "SQLAlchemy Core": "SQLAlchemy Core", "SQLAlchemy ORM": "SQLAlchemy ORM",
            "Quillon": "Quillon"}


# ---------------------------------------------------------------------------
# Sizes and workloads
# ---------------------------------------------------------------------------

FULL = dict(person=50_000, insert_each=5_000, bulk=50_000, calls=2_000, update=5_000, render=2_000,
            awaited_gets=2_000, tasks=200, repeat=5)
QUICK = dict(person=400, insert_each=40, bulk=400, calls=20, update=40, render=50,
             awaited_gets=20, tasks=8, repeat=1)

# key, group, title, how many units one run does, the unit, the unit's scale for printing, what is checked.
WORKLOADS = [
    ("insert_each", "blocking", "insert one row per statement, {insert_each:,} in one transaction",
     "insert_each", "row", "us", "table:entry"),
    ("bulk_insert", "blocking", "bulk insert {bulk:,} rows", "bulk", "row", "us", "table:entry"),
    ("select_all", "blocking", "select {person:,} rows, touching one column", "person", "row", "us", "result"),
    ("filtered", "blocking", "filtered select LIMIT 20", "calls", "call", "us", "result"),
    ("get", "blocking", "get by key", "calls", "call", "us", "result"),
    ("count", "blocking", "count with a cheap filter", "calls", "call", "us", "result"),
    ("update", "blocking", "update by key, {update:,} in one transaction", "update", "row", "us", "table:person"),
    ("render", "blocking", "build + render `((age > x) & (name == y)) | (active == 1)` select, LIMIT, to (sql, args)",
     "render", "statement", "us", "render"),
    ("aio_gets", "awaited", "awaited, one task: {awaited_gets:,} sequential gets by key", "awaited_gets", "get", "us",
     "result"),
    ("aio_concurrent_gets", "awaited", "awaited, {tasks} concurrent tasks, one get by key each", None, "run", "ms",
     "result"),
    ("aio_concurrent_inserts", "awaited",
     "awaited, {tasks} concurrent tasks, one insert each, each its own transaction", None, "run", "ms", "table:entry"),
]

LOCK_WAIT = 60.0
COLUMN_NAMES = ("name", "age", "active", "score", "note")


def person_values(i):
    return ("name%06d" % i, 18 + i * 7 % 60, 1 if i % 3 else 0, i * 0.25, None if i % 5 == 0 else "note %d" % i)


def entry_values(i):
    return ("entry%06d" % i, 20 + i % 50, i % 2, i * 0.5, None if i % 4 == 0 else "text %d" % i)


def get_keys(sizes, n):
    # Distinct keys spread over the table (7919 is prime, the table sizes are not its multiples).
    return [1 + (k * 7919) % sizes["person"] for k in range(n)]


def render_values(sizes):
    return [(30 + n % 10, "name%06d" % (n + 1)) for n in range(sizes["render"])]


def filter_ages(sizes):
    return [18 + n % 40 for n in range(sizes["calls"])]


# ---------------------------------------------------------------------------
# Backends
# ---------------------------------------------------------------------------

class SqliteBackend:
    """One SQLite file per contestant, copied from one seeded file.

    Every connection waits up to a minute for another's lock: with a
    connection per task, two hundred writers queue for the one write lock.
    """

    name = "SQLite"
    placeholder = "?"
    raw_drivers = ("sqlite3", "aiosqlite")

    def __init__(self, folder, sizes):
        self.folder = folder
        self.sizes = sizes
        self.seed = os.path.join(folder, "seed.db")
        con = sqlite3.connect(self.seed)
        for table in ("person", "entry"):
            con.execute(f"CREATE TABLE {table} (id INTEGER PRIMARY KEY, name VARCHAR(64) NOT NULL, "
                        "age INTEGER NOT NULL, active INTEGER NOT NULL, score REAL NOT NULL, note TEXT)")
        con.executemany("INSERT INTO person (id, name, age, active, score, note) VALUES (?, ?, ?, ?, ?, ?)",
                        [(i,) + person_values(i) for i in range(1, sizes["person"] + 1)])
        con.commit()
        con.close()

    def version(self):
        return "SQLite " + sqlite3.sqlite_version

    def prepare(self, label):
        shutil.copyfile(self.seed, self.path(label))

    def path(self, label):
        return os.path.join(self.folder, label + ".db")

    def connect(self, label):
        return sqlite3.connect(self.path(label), timeout=LOCK_WAIT)

    def clear(self, label, table):
        con = self.connect(label)
        con.execute(f"DELETE FROM {table}")
        con.commit()
        con.close()

    def checksum(self, label, table):
        con = self.connect(label)
        rows = con.execute(f"SELECT {', '.join(COLUMN_NAMES)} FROM {table} ORDER BY name, age, score").fetchall()
        con.close()
        return hashlib.sha256(repr(rows).encode()).hexdigest()[:16] + " (%d rows)" % len(rows)

    def peewee_database(self, label):
        return need("peewee").SqliteDatabase(self.path(label), timeout=LOCK_WAIT)

    def sqlalchemy_url(self, label, awaited=False):
        return ("sqlite+aiosqlite:///" if awaited else "sqlite:///") + self.path(label)

    async def aio_connect(self, label):
        return await need("aiosqlite").connect(self.path(label), timeout=LOCK_WAIT)

    def quillon_connector(self, label, loop=None):
        from Quillon.DB.Connector import AioSqliteConnector, Sqlite3Connector
        if loop is None:
            return Sqlite3Connector(self.path(label), timeout=LOCK_WAIT)
        return AioSqliteConnector(loop, path=self.path(label), timeout=LOCK_WAIT)


BACKENDS = {"sqlite": SqliteBackend}


class Missing(Exception):
    """A peer this interpreter cannot import: the contestant is left out."""


def need(module):
    try:
        return __import__(module)
    except ImportError as e:
        raise Missing(f"{module} is not installed") from e


# ---------------------------------------------------------------------------
# Contestants: one method per workload, `prepare_<key>` untimed, `<key>` timed.
# A method a contestant lacks is an empty cell.
# ---------------------------------------------------------------------------

class Contestant:
    column = ""
    label = ""
    group = "blocking"

    def __init__(self, backend, sizes):
        self.backend, self.sizes = backend, sizes
        self.token = 0

    def open(self, loop=None):
        pass

    def close(self, loop=None):
        pass

    def sql(self, text):
        return text.replace("%s", self.backend.placeholder)


class RawTuples(Contestant):
    column, label = "raw", "sqlite3"

    def open(self, loop=None):
        self.con = self.backend.connect(self.label)
        p = self.backend.placeholder
        self.insert_sql = f"INSERT INTO entry (name, age, active, score, note) VALUES ({p}, {p}, {p}, {p}, {p})"
        self.columns = "id, " + ", ".join(COLUMN_NAMES)

    def close(self, loop=None):
        self.con.close()

    def prepare_insert_each(self):
        self.backend.clear(self.label, "entry")
        return [entry_values(i) for i in range(1, self.sizes["insert_each"] + 1)]

    def insert_each(self, rows):
        execute, sql = self.con.execute, self.insert_sql
        keys = [execute(sql, row).lastrowid for row in rows]
        self.con.commit()
        return keys

    def prepare_bulk_insert(self):
        self.backend.clear(self.label, "entry")
        return [entry_values(i) for i in range(1, self.sizes["bulk"] + 1)]

    def bulk_insert(self, rows):
        self.con.executemany(self.insert_sql, rows)
        self.con.commit()

    def fetch(self, sql, args=()):
        return self.con.execute(sql, args).fetchall()

    def select_all(self, _):
        return sum(row[2] for row in self.fetch(f"SELECT {self.columns} FROM person"))

    def prepare_filtered(self):
        p = self.backend.placeholder
        return f"SELECT {self.columns} FROM person WHERE age > {p} AND active = {p} LIMIT 20", filter_ages(self.sizes)

    def filtered(self, state):
        sql, ages = state
        total = 0
        for age in ages:
            rows = self.fetch(sql, (age, 1))
            total += len(rows) + sum(row[2] for row in rows)
        return total

    def prepare_get(self):
        return f"SELECT {self.columns} FROM person WHERE id = {self.backend.placeholder}", get_keys(
            self.sizes, self.sizes["calls"])

    def get(self, state):
        sql, keys = state
        execute = self.con.execute
        return sum(execute(sql, (key,)).fetchone()[2] for key in keys)

    def prepare_count(self):
        p = self.backend.placeholder
        return f"SELECT count(*) FROM person WHERE id BETWEEN {p} AND {p}", get_keys(self.sizes, self.sizes["calls"])

    def count(self, state):
        sql, keys = state
        execute = self.con.execute
        return sum(execute(sql, (key, key + 19)).fetchone()[0] for key in keys)

    def prepare_update(self):
        p = self.backend.placeholder
        rows = self.fetch(f"SELECT {self.columns} FROM person WHERE id <= {p}", (self.sizes["update"],))
        self.token += 1
        return (f"UPDATE person SET name = {p}, age = {p}, active = {p}, score = {p}, note = {p} WHERE id = {p}",
                rows, self.token)

    def update(self, state):
        sql, rows, token = state
        execute = self.con.execute
        for key, name, age, active, score, note in rows:
            execute(sql, (name, age, active, key * 0.5 + token, note, key))
        self.con.commit()

    def prepare_render(self):
        return render_values(self.sizes)

    def render(self, values):
        p, columns = self.backend.placeholder, self.columns
        out = None
        for x, y in values:
            out = (f"SELECT {columns} FROM person WHERE (age > {p} AND name = {p}) OR active = {p} LIMIT 20", (x, y, 1))
        return out


class RawDicts(RawTuples):
    column, label = "raw dicts", "sqlite3_dicts"

    def fetch(self, sql, args=()):
        cursor = self.con.execute(sql, args)
        names = [d[0] for d in cursor.description]
        return [dict(zip(names, row)) for row in cursor.fetchall()]

    def select_all(self, _):
        return sum(row["age"] for row in self.fetch(f"SELECT {self.columns} FROM person"))

    def filtered(self, state):
        sql, ages = state
        total = 0
        for age in ages:
            rows = self.fetch(sql, (age, 1))
            total += len(rows) + sum(row["age"] for row in rows)
        return total

    def get(self, state):
        sql, keys = state
        return sum(self.fetch(sql, (key,))[0]["age"] for key in keys)

    # Writes and rendering are the same statements as with tuples.
    insert_each = prepare_insert_each = bulk_insert = prepare_bulk_insert = None
    count = prepare_count = update = prepare_update = render = prepare_render = None


def peewee_models(db):
    peewee = need("peewee")

    class Base(peewee.Model):
        id = peewee.AutoField()
        name = peewee.CharField(max_length=64)
        age = peewee.IntegerField()
        active = peewee.BooleanField()
        score = peewee.FloatField()
        note = peewee.TextField(null=True)

        class Meta:
            database = db

    class Person(Base):
        class Meta:
            table_name = "person"

    class Entry(Base):
        class Meta:
            table_name = "entry"

    return Person, Entry


class Peewee(Contestant):
    column, label = "peewee", "peewee"

    def open(self, loop=None):
        self.db = self.backend.peewee_database(self.label)
        self.Person, self.Entry = peewee_models(self.db)
        self.db.connect()

    def close(self, loop=None):
        self.db.close()

    def built_entries(self, n):
        self.backend.clear(self.label, "entry")
        return [self.Entry(**dict(zip(COLUMN_NAMES, entry_values(i)))) for i in range(1, n + 1)]

    def prepare_insert_each(self):
        return self.built_entries(self.sizes["insert_each"])

    def insert_each(self, rows):
        with self.db.atomic():
            for row in rows:
                row.save()
        return [row.id for row in rows]

    def prepare_bulk_insert(self):
        return self.built_entries(self.sizes["bulk"])

    def bulk_insert(self, rows):
        with self.db.atomic():
            self.Entry.bulk_create(rows, batch_size=1000)

    def select_all(self, _):
        return sum(row.age for row in list(self.Person.select()))

    def prepare_filtered(self):
        return filter_ages(self.sizes)

    def filtered(self, ages):
        P, total = self.Person, 0
        for age in ages:
            rows = list(P.select().where((P.age > age) & (P.active == True)).limit(20))  # noqa: E712
            total += len(rows) + sum(row.age for row in rows)
        return total

    def prepare_get(self):
        return get_keys(self.sizes, self.sizes["calls"])

    def get(self, keys):
        return sum(self.Person.get_by_id(key).age for key in keys)

    def prepare_count(self):
        return get_keys(self.sizes, self.sizes["calls"])

    def count(self, keys):
        P = self.Person
        return sum(P.select().where(P.id.between(key, key + 19)).count() for key in keys)

    def prepare_update(self):
        self.token += 1
        return list(self.Person.select().where(self.Person.id <= self.sizes["update"])), self.token

    def update(self, state):
        rows, token = state
        with self.db.atomic():
            for row in rows:
                row.score = row.id * 0.5 + token
                row.save()

    def prepare_render(self):
        return render_values(self.sizes)

    def render(self, values):
        P, out = self.Person, None
        for x, y in values:
            out = P.select().where(((P.age > x) & (P.name == y)) | (P.active == 1)).limit(20).sql()
        return out


_SQLALCHEMY = {}


def sqlalchemy_models():
    if not _SQLALCHEMY:
        sa = need("sqlalchemy")
        from sqlalchemy.orm import DeclarativeBase, mapped_column

        class Base(DeclarativeBase):
            pass

        def columns():
            return dict(id=mapped_column(sa.Integer, primary_key=True), name=mapped_column(sa.String(64)),
                        age=mapped_column(sa.Integer), active=mapped_column(sa.Boolean),
                        score=mapped_column(sa.Float), note=mapped_column(sa.Text, nullable=True))

        Person = type("Person", (Base,), dict(__tablename__="person", **columns()))
        Entry = type("Entry", (Base,), dict(__tablename__="entry", **columns()))
        _SQLALCHEMY.update(sa=sa, Person=Person, Entry=Entry)
    return _SQLALCHEMY


class SqlAlchemyCore(Contestant):
    column, label = "SQLAlchemy Core", "sqlalchemy_core"

    def open(self, loop=None):
        m = sqlalchemy_models()
        self.sa = m["sa"]
        self.person, self.entry = m["Person"].__table__, m["Entry"].__table__
        self.engine = self.sa.create_engine(self.backend.sqlalchemy_url(self.label),
                                            connect_args={"timeout": LOCK_WAIT})
        self.con = self.engine.connect()

    def close(self, loop=None):
        self.con.close()
        self.engine.dispose()

    def built_entries(self, n):
        self.backend.clear(self.label, "entry")
        return [dict(zip(COLUMN_NAMES, entry_values(i))) for i in range(1, n + 1)]

    def prepare_insert_each(self):
        return self.built_entries(self.sizes["insert_each"])

    def insert_each(self, rows):
        execute, stmt = self.con.execute, self.sa.insert(self.entry)
        with self.con.begin():
            return [execute(stmt, row).inserted_primary_key[0] for row in rows]

    def prepare_bulk_insert(self):
        return self.built_entries(self.sizes["bulk"])

    def bulk_insert(self, rows):
        with self.con.begin():
            self.con.execute(self.sa.insert(self.entry), rows)

    def select_all(self, _):
        with self.con.begin():
            return sum(row.age for row in self.con.execute(self.sa.select(self.person)).all())

    def prepare_filtered(self):
        return filter_ages(self.sizes)

    def filtered(self, ages):
        sa, t, total = self.sa, self.person, 0
        with self.con.begin():
            for age in ages:
                stmt = sa.select(t).where((t.c.age > age) & (t.c.active == True)).limit(20)  # noqa: E712
                rows = self.con.execute(stmt).all()
                total += len(rows) + sum(row.age for row in rows)
        return total

    def prepare_get(self):
        return get_keys(self.sizes, self.sizes["calls"])

    def get(self, keys):
        sa, t = self.sa, self.person
        with self.con.begin():
            return sum(self.con.execute(sa.select(t).where(t.c.id == key)).first().age for key in keys)

    def prepare_count(self):
        return get_keys(self.sizes, self.sizes["calls"])

    def count(self, keys):
        sa, t = self.sa, self.person
        stmt = sa.select(sa.func.count()).select_from(t)
        with self.con.begin():
            return sum(self.con.execute(stmt.where(t.c.id.between(key, key + 19))).scalar() for key in keys)

    def prepare_update(self):
        self.token += 1
        with self.con.begin():
            rows = self.con.execute(self.sa.select(self.person).where(self.person.c.id <= self.sizes["update"])).all()
        return rows, self.token

    def update(self, state):
        # One statement made once and run per row, as with the inserts.
        rows, token = state
        sa, t = self.sa, self.person
        stmt = sa.update(t).where(t.c.id == sa.bindparam("key")).values(
            {name: sa.bindparam("new_" + name) for name in COLUMN_NAMES})
        execute = self.con.execute
        with self.con.begin():
            for row in rows:
                execute(stmt, dict(key=row.id, new_name=row.name, new_age=row.age, new_active=row.active,
                                   new_score=row.id * 0.5 + token, new_note=row.note))

    def prepare_render(self):
        return render_values(self.sizes)

    def render(self, values):
        sa, t, dialect, out = self.sa, self.person, self.engine.dialect, None
        for x, y in values:
            stmt = sa.select(t).where(((t.c.age > x) & (t.c.name == y)) | (t.c.active == 1)).limit(20)
            compiled = stmt.compile(dialect=dialect)
            out = (str(compiled), tuple(compiled.params[name] for name in compiled.positiontup))
        return out


class SqlAlchemyOrm(SqlAlchemyCore):
    column, label = "SQLAlchemy ORM", "sqlalchemy_orm"

    def open(self, loop=None):
        super().open()
        from sqlalchemy.orm import Session
        self.Session = Session
        self.Person, self.Entry = sqlalchemy_models()["Person"], sqlalchemy_models()["Entry"]

    def built_entries(self, n):
        self.backend.clear(self.label, "entry")
        return [self.Entry(**dict(zip(COLUMN_NAMES, entry_values(i)))) for i in range(1, n + 1)]

    def insert_each(self, rows):
        with self.Session(self.engine) as session, session.begin():
            for row in rows:
                session.add(row)
                session.flush()
            return [row.id for row in rows]

    def bulk_insert(self, rows):
        with self.Session(self.engine) as session, session.begin():
            session.add_all(rows)

    def select_all(self, _):
        with self.Session(self.engine) as session:
            return sum(row.age for row in session.scalars(self.sa.select(self.Person)).all())

    def filtered(self, ages):
        sa, P, total = self.sa, self.Person, 0
        with self.Session(self.engine) as session:
            for age in ages:
                stmt = sa.select(P).where((P.age > age) & (P.active == True)).limit(20)  # noqa: E712
                rows = session.scalars(stmt).all()
                total += len(rows) + sum(row.age for row in rows)
        return total

    def get(self, keys):
        # A new session and distinct keys: every get reads the database.
        with self.Session(self.engine) as session:
            return sum(session.get(self.Person, key).age for key in keys)

    def count(self, keys):
        sa, P = self.sa, self.Person
        with self.Session(self.engine) as session:
            return sum(session.scalar(sa.select(sa.func.count()).select_from(P).where(P.id.between(key, key + 19)))
                       for key in keys)

    def prepare_update(self):
        self.token += 1
        session = self.Session(self.engine)
        rows = session.scalars(self.sa.select(self.Person).where(self.Person.id <= self.sizes["update"])).all()
        return session, rows, self.token

    def update(self, state):
        # The unit of work writes the one changed column of each row.
        session, rows, token = state
        for row in rows:
            row.score = row.id * 0.5 + token
        session.commit()
        session.close()

    def render(self, values):
        sa, P, dialect, out = self.sa, self.Person, self.engine.dialect, None
        for x, y in values:
            stmt = sa.select(P).where(((P.age > x) & (P.name == y)) | (P.active == 1)).limit(20)
            compiled = stmt.compile(dialect=dialect)
            out = (str(compiled), tuple(compiled.params[name] for name in compiled.positiontup))
        return out


_QUILLON = {}


def quillon_models():
    if not _QUILLON:
        from Quillon.Model.Columns import BoolProperty, FloatProperty, IntProperty, StrProperty, auto_increment
        from Quillon.Model.Entity import Entity

        def columns():
            return dict(id=IntProperty(pk=True, default=auto_increment), name=StrProperty(Null=False),
                        age=IntProperty(), active=BoolProperty(), score=FloatProperty(), note=StrProperty())

        _QUILLON.update(Person=type("Person", (Entity,), columns()), Entry=type("Entry", (Entity,), columns()))
    return _QUILLON["Person"], _QUILLON["Entry"]


class QuillonBlocking(Contestant):
    column, label = "Quillon", "quillon"

    def open(self, loop=None):
        from Quillon.DB.DB import DB
        from Quillon.DB.Generator import SqlGenerator
        from Quillon.DB.utils import transaction
        self.SqlGenerator, self.transaction = SqlGenerator, transaction
        self.Person, self.Entry = quillon_models()
        DB.create(connector=self.backend.quillon_connector(self.label))
        self.people, self.entries = self.Person.getExecutor(), self.Entry.getExecutor()

    def built_entries(self, n):
        self.backend.clear(self.label, "entry")
        return [self.Entry(**dict(zip(COLUMN_NAMES, entry_values(i)))) for i in range(1, n + 1)]

    def prepare_insert_each(self):
        return self.built_entries(self.sizes["insert_each"])

    def insert_each(self, rows):
        save = self.entries.save
        with self.transaction():
            return [save(row) for row in rows]

    def prepare_bulk_insert(self):
        return self.built_entries(self.sizes["bulk"])

    def bulk_insert(self, rows):
        self.entries.insertMany(rows)

    def select_all(self, _):
        return sum(row.age for row in self.people.find())

    def prepare_filtered(self):
        return filter_ages(self.sizes)

    def filtered(self, ages):
        P, find, total = self.Person, self.people.find, 0
        for age in ages:
            rows = find((P.age > age) & (P.active == True), limit=20)  # noqa: E712
            total += len(rows) + sum(row.age for row in rows)
        return total

    def prepare_get(self):
        return get_keys(self.sizes, self.sizes["calls"])

    def get(self, keys):
        get = self.people.get
        return sum(get(key).age for key in keys)

    def prepare_count(self):
        return get_keys(self.sizes, self.sizes["calls"])

    def count(self, keys):
        P, count = self.Person, self.people.count
        return sum(count(P.id.between(key, key + 19)) for key in keys)

    def prepare_update(self):
        self.token += 1
        return self.people.find(self.Person.id <= self.sizes["update"]), self.token

    def update(self, state):
        rows, token = state
        update = self.people.update
        with self.transaction():
            for row in rows:
                row.score = row.id * 0.5 + token
                update(row)

    def prepare_render(self):
        return render_values(self.sizes)

    def render(self, values):
        P, SqlGenerator, out = self.Person, self.SqlGenerator, None
        for x, y in values:
            g = SqlGenerator().select(P.id, P.name, P.age, P.active, P.score, P.note)
            g.where(((P.age > x) & (P.name == y)) | (P.active == 1)).From(P)
            g.Limit(20, 0)
            out = g.Build()
        return out


class RawAio(Contestant):
    """aiosqlite on one connection shared by the tasks; a write takes it under a lock, one transaction each."""

    column, label, group = "raw", "aiosqlite", "awaited"

    def open(self, loop=None):
        self.con = loop.run_until_complete(self.backend.aio_connect(self.label))
        p = self.backend.placeholder
        self.get_sql = f"SELECT id, {', '.join(COLUMN_NAMES)} FROM person WHERE id = {p}"
        self.insert_sql = f"INSERT INTO entry (name, age, active, score, note) VALUES ({p}, {p}, {p}, {p}, {p})"

    def close(self, loop=None):
        loop.run_until_complete(self.con.close())

    def prepare_aio_gets(self):
        return get_keys(self.sizes, self.sizes["awaited_gets"])

    async def aio_gets(self, keys):
        fetch, sql, total = self.con.execute_fetchall, self.get_sql, 0
        for key in keys:
            total += (await fetch(sql, (key,)))[0][2]
        return total

    def prepare_aio_concurrent_gets(self):
        return get_keys(self.sizes, self.sizes["tasks"])

    async def one_get(self, key):
        return (await self.con.execute_fetchall(self.get_sql, (key,)))[0][2]

    async def aio_concurrent_gets(self, keys):
        return sum(await asyncio.gather(*(self.one_get(key) for key in keys)))

    def prepare_aio_concurrent_inserts(self):
        self.backend.clear(self.label, "entry")
        return [entry_values(i) for i in range(1, self.sizes["tasks"] + 1)]

    async def one_insert(self, lock, row):
        async with lock:
            await self.con.execute_insert(self.insert_sql, row)
            await self.con.commit()

    async def aio_concurrent_inserts(self, rows):
        lock = asyncio.Lock()
        await asyncio.gather(*(self.one_insert(lock, row) for row in rows))


class RawAioPerTask(RawAio):
    """aiosqlite with a connection of each task's own, opened and closed by it."""

    column, label = "raw per task", "aiosqlite_per_task"
    prepare_aio_gets = aio_gets = None

    async def one_get(self, key):
        con = await self.backend.aio_connect(self.label)
        try:
            return (await con.execute_fetchall(self.get_sql, (key,)))[0][2]
        finally:
            await con.close()

    async def one_insert(self, lock, row):
        con = await self.backend.aio_connect(self.label)
        try:
            await con.execute_insert(self.insert_sql, row)
            await con.commit()
        finally:
            await con.close()


class QuillonAwaited(Contestant):
    column, label, group = "Quillon", "quillon_awaited", "awaited"

    def open(self, loop=None):
        from Quillon.DB.DB import DB
        self.Person, self.Entry = quillon_models()
        DB.create(connector=self.backend.quillon_connector(self.label, loop))
        self.people, self.entries = self.Person.getExecutor(), self.Entry.getExecutor()

    def prepare_aio_gets(self):
        return get_keys(self.sizes, self.sizes["awaited_gets"])

    async def aio_gets(self, keys):
        get, total = self.people.get, 0
        for key in keys:
            total += (await get(key)).age
        return total

    def prepare_aio_concurrent_gets(self):
        return get_keys(self.sizes, self.sizes["tasks"])

    async def aio_concurrent_gets(self, keys):
        get = self.people.get
        return sum(row.age for row in await asyncio.gather(*(get(key) for key in keys)))

    def prepare_aio_concurrent_inserts(self):
        self.backend.clear(self.label, "entry")
        return [self.Entry(**dict(zip(COLUMN_NAMES, entry_values(i)))) for i in range(1, self.sizes["tasks"] + 1)]

    async def aio_concurrent_inserts(self, rows):
        save = self.entries.save
        await asyncio.gather(*(save(row) for row in rows))


CONTESTANTS = [RawTuples, RawDicts, Peewee, SqlAlchemyCore, SqlAlchemyOrm, QuillonBlocking,
               RawAio, RawAioPerTask, QuillonAwaited]


# ---------------------------------------------------------------------------
# Running one group in this process
# ---------------------------------------------------------------------------

def log(text):
    print(text, file=sys.stderr, flush=True)


def run_group(group, backend_name, sizes, where=None):
    folder = tempfile.mkdtemp(prefix="quillon-peers-", dir=where)
    loop = None
    try:
        backend = BACKENDS[backend_name](folder, sizes)
        if group == "awaited":
            loop = asyncio.new_event_loop()
            asyncio.set_event_loop(loop)
        contestants, notes = [], []
        for cls in CONTESTANTS:
            if cls.group != group:
                continue
            contestant = cls(backend, sizes)
            backend.prepare(contestant.label)
            try:
                contestant.open(loop)
            except Missing as e:
                notes.append(f"{HEADINGS[cls.column]} ({cls.label}) left out: {e}")
                log("note: " + notes[-1])
                continue
            contestants.append(contestant)

        def call(contestant, key):
            prepare = getattr(contestant, "prepare_" + key, None)
            state = prepare() if prepare else None
            body = getattr(contestant, key)
            gc.collect()
            if loop is None:
                start = time.perf_counter()
                result = body(state)
                return time.perf_counter() - start, result
            start = time.perf_counter()
            result = loop.run_until_complete(loop.create_task(body(state)))
            return time.perf_counter() - start, result

        results = {}
        for key, wgroup, title, units, unit, scale, check in WORKLOADS:
            if wgroup != group:
                continue
            runners = [c for c in contestants if getattr(c, key, None) is not None]
            sums = {}
            for contestant in runners:
                _, result = call(contestant, key)
                sums[contestant.column] = checksum(backend, contestant, check, result)
            base = sums.get("raw")
            wrong = {column: value for column, value in sums.items() if value != base}
            if wrong:
                raise SystemExit(f"{key}: checksums differ from the raw driver's {base!r}: {wrong!r}")
            log(f"{key}: {len(runners)} contestants agree on checksum {base}")
            times = {c.column: [] for c in runners}
            started = time.perf_counter()
            for round_ in range(sizes["repeat"]):
                shift = round_ % len(runners)
                for contestant in runners[shift:] + runners[:shift]:
                    times[contestant.column].append(call(contestant, key)[0])
            count = sizes[units] if units else 1
            results[key] = {column: statistics.median(values) / count for column, values in times.items()}
            log(f"{key}: {sizes['repeat']} rounds in {time.perf_counter() - started:.1f} s; medians "
                + ", ".join(f"{column} {statistics.median(values) * 1e3:.1f} ms" for column, values in times.items()))
        for contestant in contestants:
            contestant.close(loop)
        return {"results": results, "notes": notes}
    finally:
        if loop is not None:
            loop.close()
        shutil.rmtree(folder, ignore_errors=True)


def checksum(backend, contestant, check, result):
    if check.startswith("table:"):
        return backend.checksum(contestant.label, check.split(":", 1)[1])
    if check == "render":
        # The rendered statement must select what the raw driver's selects.
        sql, args = result
        con = backend.connect(contestant.label)
        rows = con.execute(contestant.sql(sql), tuple(args)).fetchall()
        con.close()
        return repr(sorted(row[0] for row in rows))
    return repr(result)


# ---------------------------------------------------------------------------
# The whole comparison: both groups, the table, the chart, the README
# ---------------------------------------------------------------------------

def versions(backend_name):
    found = {"Python": platform.python_version()}
    if backend_name == "sqlite":
        found["SQLite"] = sqlite3.sqlite_version
    for label, module in (("peewee", "peewee"), ("SQLAlchemy", "sqlalchemy"), ("aiosqlite", "aiosqlite")):
        try:
            found[label] = __import__(module).__version__
        except ImportError:
            pass
    try:
        commit = subprocess.run(["git", "-C", REPO, "describe", "--always", "--dirty"], capture_output=True,
                                text=True).stdout.strip()
    except OSError:
        commit = ""
    found["Quillon"] = commit or "this tree"
    return found


def cpu_model():
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def run_all(args, sizes):
    collected, notes = {}, []
    for group in ("blocking", "awaited"):
        with tempfile.NamedTemporaryFile("r", suffix=".json") as out:
            command = [sys.executable, SCRIPT, "--group", group, "--json", out.name, "--backend", args.backend,
                       "--folder", args.folder]
            if args.quick:
                command.append("--quick")
            if args.repeat:
                command += ["--repeat", str(args.repeat)]
            proc = subprocess.run(command)
            if proc.returncode:
                raise SystemExit(f"the {group} workloads failed (exit {proc.returncode})")
            data = json.load(out)
        collected.update(data["results"])
        notes += data["notes"]
    return collected, notes


def cell(seconds, scale):
    value = seconds * (1e6 if scale == "us" else 1e3)
    return f"{value:.3g} {scale}" if value < 100 else f"{value:.0f} {scale}"


def ratio(value):
    # Three significant digits, decided after rounding (9.999 is "10.0x").
    return f"{value:.2f}x" if value < 9.995 else f"{value:.1f}x" if value < 99.95 else f"{value:.0f}x"


def table(collected, sizes):
    present = [c for c in COLUMNS if any(c in row for row in collected.values())]
    lines = ["| workload | " + " | ".join(HEADINGS[c] for c in present) + " |",
             "|---" * (len(present) + 1) + "|"]
    for key, group, title, units, unit, scale, check in WORKLOADS:
        row = collected.get(key)
        if not row:
            continue
        base = row["raw"]
        cells = []
        for column in present:
            if column not in row:
                cells.append("")
            elif column == "raw":
                cells.append(cell(base, scale) + ("" if unit == "run" else "/" + unit))
            else:
                cells.append(ratio(row[column] / base))
        lines.append(f"| {title.format(**sizes).replace('|', chr(92) + '|')} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def describe(args, sizes, found):
    where = f"{cpu_model()}, {os.cpu_count()} cores"
    peers = ", ".join(f"{name} {version}" for name, version in found.items())
    blocking, awaited = BACKENDS[args.backend].raw_drivers
    return (f"Measured on {where}; {peers}. Medians of {sizes['repeat']} interleaved runs; the raw driver is "
            f"`{blocking}` (tuples) for the blocking rows and `{awaited}` on one shared connection for the awaited "
            f"ones, every other cell its time as a multiple of the raw driver's (lower is faster).")


def chart(collected, sizes, path):
    try:
        import matplotlib
    except ImportError:
        log("note: matplotlib is not installed, no chart written")
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    colors = dict(zip(COLUMNS[1:], ("#9ecae1", "#c6dbef", "#74c476", "#fd8d3c", "#e6550d", "#3f007d")))
    bars, ticks, labels, y = [], [], [], 0.0
    for key, group, title, *_ in WORKLOADS:
        row = collected.get(key)
        if not row:
            continue
        columns = [c for c in COLUMNS[1:] if c in row]
        ticks.append(y + (len(columns) - 1) / 2)
        short = title.format(**sizes).replace("`", "").split(" select,")[0].replace(", each its own transaction", "")
        labels.append(short if len(short) < 58 else short[:55] + "...")
        for column in columns:
            bars.append((y, row[column] / row["raw"], column))
            y += 1
        y += 0.8
    fig, ax = plt.subplots(figsize=(10, 0.19 * y + 1.2))
    for column in COLUMNS[1:]:
        mine = [(yy, value) for yy, value, c in bars if c == column]
        if mine:
            # Bars start at the raw driver's time: to the right slower, to the left faster.
            ax.barh([yy for yy, _ in mine], [value - 1 for _, value in mine], left=1, height=0.85,
                    color=colors[column], label=HEADINGS[column])
    for yy, value, _ in bars:
        ax.text(max(value, 1) * 1.04, yy, ratio(value), va="center", fontsize=6)
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.set_xscale("log")
    ax.set_yticks(ticks)
    ax.set_yticklabels(labels, fontsize=7)
    ax.set_ylim(y - 0.3, -0.7)
    ax.set_xlabel("time as a multiple of the raw driver's (log scale; lower is faster)")
    ax.legend(fontsize=7, loc="lower center", bbox_to_anchor=(0.5, 1.0), ncol=3, frameon=False)
    fig.tight_layout()
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True


def update_readme(text):
    path = os.path.join(REPO, "README.md")
    with open(path, encoding="utf-8") as f:
        readme = f.read()
    start, end = readme.find(README_BEGIN), readme.find(README_END)
    if start < 0 or end < start:
        raise SystemExit(f"README.md has no region between {README_BEGIN!r} and {README_END!r}")
    readme = readme[:start + len(README_BEGIN)] + "\n" + text + "\n" + readme[end:]
    with open(path, "w", encoding="utf-8") as f:
        f.write(readme)


# ---------------------------------------------------------------------------
# The throw-away environment
# ---------------------------------------------------------------------------

def enter_venv(args, argv):
    venv = os.path.abspath(args.venv)
    python = os.path.join(venv, "bin", "python")
    if os.path.realpath(sys.prefix) == os.path.realpath(venv):
        return
    if not os.path.exists(python):
        log(f"making the virtual environment {venv}")
        subprocess.run([sys.executable, "-m", "venv", venv], check=True)
    pip = [python, "-m", "pip", "install", "--quiet", "--disable-pip-version-check"]
    env = dict(os.environ)
    if args.in_place:
        # The tree's modules need the package's own dependencies beside them.
        needs = PEERS + package_dependencies()
        log("installing the peers and the package's dependencies: " + ", ".join(needs))
        subprocess.run(pip + needs, check=True)
        env["PYTHONPATH"] = REPO + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
    else:
        # pip builds and reinstalls a local folder every time, so the tree's current code is measured.
        log("installing the peers, and Quillon from this working tree (pip install .)")
        subprocess.run(pip + PEERS + [REPO], check=True)
        env.pop("PYTHONPATH", None)
    os.execve(python, [python, SCRIPT] + argv, env)


def package_dependencies():
    """The runtime dependencies pyproject.toml declares."""
    import tomllib

    with open(os.path.join(REPO, "pyproject.toml"), "rb") as f:
        return list(tomllib.load(f)["project"]["dependencies"])


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true",
                        help="tiny counts, one round, this interpreter and the peers it has (a smoke test)")
    parser.add_argument("--in-place", action="store_true",
                        help="use the modules scripts/dev-build compiled into this tree instead of pip install .")
    parser.add_argument("--venv", default=DEFAULT_VENV, help="the throw-away environment (default: %(default)s)")
    parser.add_argument("--backend", default="sqlite", choices=sorted(BACKENDS))
    parser.add_argument("--folder", default=DEFAULT_FOLDER,
                        help="where the database files go (default: %(default)s, so that no disk's flushes are timed)")
    parser.add_argument("--repeat", type=int, default=0, help="rounds per workload (default 7, 1 with --quick)")
    parser.add_argument("--chart", default=None, help="where the PNG goes (default docs/peers.png; none with --quick)")
    parser.add_argument("--update-readme", action="store_true", help="rewrite the README's table and machine line")
    parser.add_argument("--group", choices=("blocking", "awaited"), help=argparse.SUPPRESS)
    parser.add_argument("--json", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    sizes = dict(QUICK if args.quick else FULL)
    if args.repeat:
        sizes["repeat"] = args.repeat

    if args.group:
        data = run_group(args.group, args.backend, sizes, args.folder)
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(data, f)
        return
    if not args.quick:
        enter_venv(args, argv)
    started = time.perf_counter()
    collected, notes = run_all(args, sizes)
    found = versions(args.backend)
    text = describe(args, sizes, found) + "\n\n" + table(collected, sizes)
    print(text)
    for note in notes:
        print("note: " + note)
    chart_path = args.chart or (None if args.quick else os.path.join(REPO, "docs", "peers.png"))
    if chart_path and chart(collected, sizes, chart_path):
        print(f"chart: {chart_path}")
    if args.update_readme:
        update_readme(text + "\n\n![Time as a multiple of the raw driver's, per workload](docs/peers.png)")
        print("README.md updated")
    log(f"done in {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
