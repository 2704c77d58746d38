"""Scenarios of the test-data runner, each run in a fresh interpreter.

Registrations live as long as the process and the facade is made once per
process, so tests/test_seeder.py runs every scenario here in its own
interpreter, with the blocking SQLite connector and with the asyncio one.
``run(runner)`` drives the runner the way an application does: blocking,
``run()`` returns when the rows are stored; with the asyncio connector the
scenario awaits ``arun()`` on the loop.  What ends up stored is always read
back through a fresh sqlite3 connection, so only committed rows count.
"""

import asyncio
import inspect
import io
import sqlite3
import sys
import time as clock

from scenario_support import arguments, finish, fresh_rows, registry, setup


def create_tables(path):
    con = sqlite3.connect(path)
    con.execute("create table user(id integer primary key autoincrement, name text, age int)")
    con.execute("create table note(id integer primary key autoincrement, body text)")
    con.execute("create table tally(label text, amount int)")
    con.commit()
    con.close()


def declare_models():
    from Quillon.Model.Columns import IntProperty, StrProperty, auto_increment
    from Quillon.Model.Entity import Entity

    class User(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        name = StrProperty()
        age = IntProperty()

    class Note(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        body = StrProperty()

    class Tally(Entity):
        label = StrProperty()
        amount = IntProperty()

    return User, Note, Tally


async def run(kind, runner, group=None):
    """One run of the runner (or of one group) to its end."""
    if kind == "blocking":
        assert (runner.run() if group is None else runner.run_group(group)) is None
        return
    if group is None:
        await runner.arun()
        return
    # Inside the running loop run_group gives the coroutine that runs the group.
    await runner.run_group(group)


SCENARIOS, scenario = registry()


@scenario
async def generates(kind, path, loop, User, Note, Tally):
    """Generators are called with time 1..count and every row is stored."""
    from Quillon.Ext.Seeder import GeneratorRunner, create_task, data_task

    times = []

    @data_task(User, count=3)
    def users(time):
        times.append(time)
        return User(name="u%d" % time, age=20 + time)

    assert callable(users) and users.__name__ == "users"  # returned unchanged

    never = []
    create_task(lambda time: never.append(time), Note, 0)
    create_task(lambda time: never.append(time), Note, -2)

    await run(kind, GeneratorRunner(loop))
    assert times == [1, 2, 3]
    assert never == []
    assert fresh_rows(path, "select id, name, age from user order by id") == [(1, "u1", 21), (2, "u2", 22), (3, "u3", 23)]
    assert fresh_rows(path, "select count(*) from note") == [(0,)]

    # The awaited run commits each task itself: rows are visible to other
    # connections as soon as arun() returns, before the asyncio task ends.
    if kind == "async":
        await GeneratorRunner(loop).arun()
        assert fresh_rows(path, "select count(*) from user") == [(6,)]


@scenario
async def groups(kind, path, loop, User, Note, Tally):
    """Grouped tasks run with run() and alone with run_group(); runs repeat."""
    from Quillon.Ext.Seeder import GeneratorRunner, create_task, data_task

    order = []

    def maker(tag, model, field):
        def generate(time):
            order.append((tag, time))
            return model(**{field: "%s%d" % (tag, time)})

        return generate

    create_task(maker("a", User, "name"), User, 2, "first")
    create_task(maker("b", Note, "body"), Note, 1)
    data_task(Note, 2, group="first")(maker("c", Note, "body"))
    create_task(maker("d", Note, "body"), Note, 1, "second")
    create_task(maker("e", Note, "body"), Note, 1, "")  # a false group registers no group

    runner = GeneratorRunner(loop)
    await run(kind, runner, "first")
    assert order == [("a", 1), ("a", 2), ("c", 1), ("c", 2)]
    assert fresh_rows(path, "select body from note order by id") == [("c1",), ("c2",)]

    order.clear()
    await run(kind, runner, "nobody")
    await run(kind, runner, "")
    assert order == []

    await run(kind, runner)
    assert order == [("a", 1), ("a", 2), ("b", 1), ("c", 1), ("c", 2), ("d", 1), ("e", 1)]
    order.clear()
    await run(kind, runner)  # every task again
    assert len(order) == 7
    assert fresh_rows(path, "select count(*) from user") == [(6,)]
    assert fresh_rows(path, "select body from note order by id")[2:] == [
        ("b1",), ("c1",), ("c2",), ("d1",), ("e1",), ("b1",), ("c1",), ("c2",), ("d1",), ("e1",)
    ]


@scenario
async def learned(kind, path, loop, User, Note, Tally):
    """A task without a model learns it from one extra row, not stored."""
    from Quillon.Ext.Seeder import GeneratorRunner, create_task

    times = []

    def notes(time):
        times.append(time)
        return Note(body="n%d" % time)

    create_task(notes, count=2)
    await run(kind, GeneratorRunner(loop))
    assert times == [1, 1, 2]
    assert fresh_rows(path, "select body from note order by id") == [("n1",), ("n2",)]
    await run(kind, GeneratorRunner(loop))  # the model is known now
    assert times == [1, 1, 2, 1, 2]


@scenario
async def nokey(kind, path, loop, User, Note, Tally):
    """Rows of a model without a primary key are stored as generated."""
    from Quillon.Ext.Seeder import GeneratorRunner, data_task

    @data_task(Tally, count=4)
    def tallies(time):
        return Tally(label="t%d" % time, amount=time * time)

    await run(kind, GeneratorRunner(loop))
    assert fresh_rows(path, "select label, amount from tally") == [("t1", 1), ("t2", 4), ("t3", 9), ("t4", 16)]


@scenario
async def failures(kind, path, loop, User, Note, Tally):
    """Errors stop the run; rows saved before them stay saved when blocking."""
    from Quillon.Ext.Seeder import GeneratorRunner, create_task

    def users(time):
        if time == 3:
            raise ValueError("generator broke at 3")
        return User(name="u%d" % time, age=time)

    create_task(users, User, 5)
    runner = GeneratorRunner(loop)
    try:
        await run(kind, runner)
    except ValueError as e:
        assert str(e) == "generator broke at 3"
    else:
        raise AssertionError("the generator's error was swallowed")
    if kind == "blocking":
        assert fresh_rows(path, "select name from user order by id") == [("u1",), ("u2",)]
        # The connection is out of the task's transaction: later statements commit.
        from Quillon.DB.DB import DB

        assert not DB.getInstance().connector.con.in_transaction
        User.getExecutor().save(User(name="after", age=1))
        assert fresh_rows(path, "select name from user order by id")[-1] == ("after",)
    else:
        # The runner did not reach the task's commit: nothing is committed.
        assert fresh_rows(path, "select count(*) from user") == [(0,)]


@scenario
async def wrong_rows(kind, path, loop, User, Note, Tally):
    """A generator must return model rows."""
    from Quillon.Ext.Seeder import GeneratorRunner, create_task

    create_task(lambda time: {"name": "x"}, User, 1)
    try:
        await run(kind, GeneratorRunner(loop))
    except TypeError as e:
        assert str(e) == "Cannot convert dict to ModelInstance", e
    else:
        raise AssertionError("a dict was saved as a row")


@scenario
async def transaction(kind, path, loop, User, Note, Tally):
    """Each task is one transaction, not one per row; inside an application's
    own block the tasks are part of its transaction, blocking and awaited."""
    from Quillon.Ext.Seeder import GeneratorRunner, create_task
    from Quillon.DB.utils import SqliteContextManager, transaction

    create_task(lambda time: User(name="u%d" % time, age=time), User, 40)
    create_task(lambda time: Note(body="n%d" % time), Note, 10)
    if kind == "blocking":
        from Quillon.DB.DB import DB

        statements = []
        DB.getInstance().connector.con.set_trace_callback(statements.append)
        GeneratorRunner().run()
        commits = [s for s in statements if s.strip().upper() == "COMMIT"]
        inserts = [s for s in statements if s.upper().startswith("INSERT")]
        assert len(inserts) == 50 and len(commits) == 2, (len(inserts), commits)
        for block in (SqliteContextManager, transaction):
            try:
                with block():
                    GeneratorRunner().run()
                    raise RuntimeError("undo")
            except RuntimeError:
                pass
    else:
        await GeneratorRunner(loop).arun()
        try:
            async with transaction():
                await GeneratorRunner(loop).arun()
                assert fresh_rows(path, "select count(*) from user") == [(40,)]  # nothing committed part-way
                raise RuntimeError("undo")
        except RuntimeError:
            pass
    assert fresh_rows(path, "select count(*) from user") == [(40,)]
    assert fresh_rows(path, "select count(*) from note") == [(10,)]


@scenario
async def ready(kind, path, loop, User, Note, Tally):
    """The awaited run waits for the connector to become ready."""
    from Quillon.DB.DB import DB
    from Quillon.Ext.Seeder import GeneratorRunner, create_task

    connector = DB.getInstance().connector
    create_task(lambda time: Note(body="n%d" % time), Note, 2)
    connector.isReady = False
    loop.call_later(0.5, setattr, connector, "isReady", True)
    started = clock.monotonic()
    await GeneratorRunner(loop).arun()
    waited = clock.monotonic() - started
    assert 0.5 <= waited < 2.0, waited
    assert fresh_rows(path, "select body from note order by id") == [("n1",), ("n2",)]


@scenario
async def scheduling(kind, path, loop, User, Note, Tally):
    """run() inside the running loop gives the coroutine that does the run
    (it cannot block there): awaited, every row is stored; a runner without a
    loop cannot run with an asyncio connector."""
    from Quillon.Ext.Seeder import GeneratorRunner, create_task

    create_task(lambda time: Note(body="n%d" % time), Note, 3)
    pending = GeneratorRunner(loop).run()
    assert inspect.iscoroutine(pending) or inspect.isawaitable(pending), pending
    await pending
    assert fresh_rows(path, "select count(*) from note") == [(3,)]

    try:
        GeneratorRunner().run()
    except AttributeError:
        pass
    else:
        raise AssertionError("a runner without a loop ran")


@scenario
async def progress(kind, path, loop, User, Note, Tally):
    """The progress display is off by default and counts rows per task."""
    from Quillon.Ext.Seeder import GeneratorRunner, create_task

    create_task(lambda time: User(name="u%d" % time, age=time), User, 25)
    create_task(lambda time: Note(body="n%d" % time), Note, 3)

    captured = io.StringIO()
    sys.stderr, saved = captured, sys.stderr
    try:
        await run(kind, GeneratorRunner(loop))
        assert captured.getvalue() == ""
        await run(kind, GeneratorRunner(loop, progress=True))
    finally:
        sys.stderr = saved
    lines = captured.getvalue().splitlines()
    users = [line for line in lines if line.startswith("seeding User: ")]
    notes = [line for line in lines if line.startswith("seeding Note: ")]
    assert users[0] == "seeding User: 0/25 rows" and users[-1] == "seeding User: 25/25 rows", lines
    assert notes == ["seeding Note: %d/3 rows" % n for n in range(4)], lines
    done = [int(line.split(": ")[1].split("/")[0]) for line in users]
    assert done == sorted(done) and len(done) <= 12, done
    assert lines.index(users[-1]) < lines.index(notes[0])
    assert fresh_rows(path, "select count(*) from user") == [(50,)]


def main():
    name, kind, path = arguments()
    create_tables(path)
    loop = setup(kind, path, showLog=False)
    models = declare_models()
    finish(loop, SCENARIOS[name](kind, path, loop, *models))


if __name__ == "__main__":
    main()
