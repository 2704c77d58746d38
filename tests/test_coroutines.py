"""The connectors' native coroutines under asyncio: tasks, gather, wait_for
time-outs and cancellation, which must unwind the C++ state and leave no
connection behind; the coroutine protocol (send, throw, close) at each await
point of an operation; the garbage collector seeing what a suspended
coroutine holds."""

import asyncio
import gc
import sys
import time
import json
import weakref

import pytest

from conftest import HERE, fresh_rows, run_python, settled_worker_threads, worker_threads
from Quillon.DB.Connector import AioSqliteConnector
from Quillon.Error.DbFault import TransactionError


def run(main):
    before = worker_threads()
    result = asyncio.run(main())
    assert settled_worker_threads(before) == before, "an awaitable connection was left open"
    return result


async def settle(yielded):
    """Waits, as a task would, for what a coroutine yielded (a future, or
    None for a bare yield)."""
    if yielded is None:
        await asyncio.sleep(0)
    else:
        await asyncio.wait([yielded])


async def step_to(it, k):
    """Drives the coroutine iterator ``it`` as a task would, to its k-th
    suspension (0: the first); returns what it yields there, or raises
    LookupError when it ends before."""
    yielded = it.send(None)
    for _ in range(k):
        await settle(yielded)
        try:
            yielded = it.send(None)
        except StopIteration:
            raise LookupError(k) from None
    return yielded


async def run_out(it, yielded):
    """Drives ``it`` from a suspension where it yielded ``yielded`` to its end."""
    while True:
        await settle(yielded)
        try:
            yielded = it.send(None)
        except StopIteration as e:
            return e.value


def test_native_coroutine_protocol(db_path):
    async def main():
        c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path)
        coro = c.execute("select 1")
        assert type(coro).__name__ == "coroutine" and coro.__name__ == "AioSqliteConnector.execute"
        assert await coro == ((1,),)
        with pytest.raises(RuntimeError, match="already awaited"):
            await coro

    run(main)


def test_never_awaited_coroutine_warns_and_opens_nothing():
    c = AioSqliteConnector(None, path=":memory:")
    before = worker_threads()
    with pytest.warns(RuntimeWarning, match="was never awaited"):
        c.execute("select 1")
        gc.collect()
    assert settled_worker_threads(before) == before


def test_create_task_and_gather(db_path):
    async def main():
        c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path)

        async def writer(i):
            await c.execute("insert into item(name) values (%s)", args=(f"w{i}",))
            return (await c.execute("select count(*) from item where name = %s", args=(f"w{i}",)))[0][0]

        counts = await asyncio.gather(*(writer(i) for i in range(8)))
        direct = await asyncio.gather(*(c.execute("select %s", args=(i,)) for i in range(5)))
        await asyncio.sleep(0.05)
        return counts, direct

    counts, direct = run(main)
    assert counts == [1] * 8
    assert direct == [((i,),) for i in range(5)]
    assert sorted(r[0] for r in fresh_rows(db_path, "select name from item")) == [f"w{i}" for i in range(8)]


def test_gather_with_a_failing_task_rolls_back_only_that_task(db_path):
    async def main():
        c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path)

        async def writer(name, fail):
            await c.execute("insert into item(name) values (%s)", args=(name,))
            if fail:
                raise KeyError(name)

        results = await asyncio.gather(writer("kept", False), writer("lost", True), return_exceptions=True)
        await asyncio.sleep(0.05)
        return results

    results = run(main)
    assert results[0] is None and isinstance(results[1], KeyError)
    assert fresh_rows(db_path, "select name from item") == [("kept",)]


def test_wait_for_timeout_cuts_off_an_operation_and_the_task_goes_on(db_path):
    # Before 3.12 wait_for runs the operation in a task of its own (whose
    # connection is rolled back); since then in the caller's task, whose
    # connection goes on.  Either way the cut-off statement leaves nothing and
    # the caller's other work commits when its task ends.
    async def main():
        c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path)
        await c.execute("insert into item(name) values ('kept')")
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(c.execute("insert into item(name) values ('a'), ('b'), ('c')"), timeout=0)
        await c.execute("insert into item(name) values ('after')")
        await asyncio.sleep(0.05)

    run(main)
    assert fresh_rows(db_path, "select name from item order by id") == [("kept",), ("after",)]


def test_cancel_while_native_coroutine_awaits_the_driver(db_path):
    # The task is cancelled while the C++ coroutine is suspended inside the
    # driver call; the CancelledError unwinds the C++ frames and the task's
    # connection is rolled back and closed.
    async def main():
        c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path)

        async def work():
            await c.execute("insert into item(name) values ('partial')")
            while True:
                await c.execute("select count(*) from item")

        task = asyncio.create_task(work())
        await asyncio.sleep(0.1)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert task.cancelled()
        await asyncio.sleep(0.05)

    run(main)
    assert fresh_rows(db_path, "select count(*) from item") == [(0,)]


@pytest.mark.parametrize("rounds", [1, 20])
def test_cancelled_native_coroutine_directly_under_wait_for(db_path, rounds):
    async def main():
        c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path)
        for _ in range(rounds):
            try:
                await asyncio.wait_for(c.execute("select 1"), timeout=0)
            except asyncio.TimeoutError:
                pass
        await asyncio.sleep(0.1)

    run(main)


def test_waiting_for_ready_is_cancellable(db_path):
    class NeverReady(AioSqliteConnector):
        def init_sqlite(self, path, showLog=True):
            super().init_sqlite(path)
            self.isReady = False

    async def main():
        c = NeverReady(asyncio.get_running_loop(), path=db_path)
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(c.execute("select 1"), timeout=0.1)

    run(main)


@pytest.mark.parametrize("child", ["wait_for", "gather", "create_task"])
def test_a_write_waiting_for_the_write_of_the_task_that_waits_for_it(db_path, child):
    # The child task's connection would wait for the open write of the task
    # that created it, while that task waits for the child: refused at once
    # (SQLite would give up after its busy timeout).  Since Python 3.12
    # wait_for runs the coroutine in the caller's own task: no child task.
    inline = child == "wait_for" and sys.version_info >= (3, 12)

    async def main():
        c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path)

        async def parent():
            await c.execute("insert into item(name) values ('parent')")
            # Reads beside the open write are fine in a child task.
            assert await asyncio.create_task(c.execute("select count(*) from item")) == ((0,),)
            write = c.execute("insert into item(name) values ('child')")
            started = time.monotonic()
            try:
                if child == "wait_for":
                    await asyncio.wait_for(write, 30)
                elif child == "gather":
                    await asyncio.gather(write)
                else:
                    await asyncio.create_task(write)
            except TransactionError as e:
                assert "created it" in str(e) and "await asyncio.create_task" in str(e), str(e)
                assert not inline
            else:
                assert inline
            assert time.monotonic() - started < 2

        await asyncio.create_task(parent())

    run(main)
    expected = [("parent",), ("child",)] if inline else [("parent",)]
    assert fresh_rows(db_path, "select name from item order by id") == expected


# ---------------------------------------------------------------------------
# An operation cut off at each of its await points
# ---------------------------------------------------------------------------

# Runs in a fresh interpreter (the facade): one task per await point k of a
# bulk insert, in a task whose transaction is open (a row saved first).  The
# batch is one statement run ("same": every row writes the same columns) or
# several ("mixed": rows that leave different columns to the database).  At
# point k the insert is cut off by the action (in the caller's task, as
# wait_for and asyncio.timeout do since 3.12); the task then saves one more
# row and ends, which commits.  Prints, per point, what came out of the cut
# insert, how many of its rows were committed and whether its body suspended
# again after the cut (to clean up).
CUT_OFF = """
import asyncio, json, sys
sys.path.insert(0, {here!r})
from scenario_support import fresh_rows, setup
from test_coroutines import run_out, settle, step_to
from Quillon.Ext import generate_table
from Quillon.Model.Columns import IntProperty, StrProperty, auto_increment
from Quillon.Model.Entity import Entity

path, action, batch = {path!r}, {action!r}, {batch!r}
loop = setup("async", path)

class Note(Entity):
    id = IntProperty(pk=True, default=auto_increment)
    text = StrProperty()
    extra = StrProperty()

loop.run_until_complete(generate_table())
ex = Note.getExecutor()

def throw(it, exc):
    try:
        return "yielded", it.throw(exc)
    except BaseException as e:
        return "raised", e

async def cut(k, tag):
    await ex.save(Note(text="kept " + tag))
    if batch == "same":
        rows = [Note(text=tag) for _ in range(3)]
    else:
        rows = [Note(text=tag, extra="x"), Note(text=tag), Note(text=tag, extra="y")]
    it = ex.insertMany(rows).__await__()
    try:
        await step_to(it, k)
    except LookupError:
        return None
    again = False
    if action == "close":
        outcome = "closed" if it.close() is None else "close returned a value"
        try:
            it.send(None)
        except RuntimeError as e:
            assert "cannot reuse already awaited coroutine" in str(e), e
    else:
        first = asyncio.CancelledError() if action == "cancel" else ValueError("cut")
        how, what = throw(it, first)
        if how == "yielded":
            again = True
            if action == "error then cancel":
                how, what = throw(it, asyncio.CancelledError())
            if how == "yielded":
                try:
                    await run_out(it, what)
                    how, what = "returned", None
                except BaseException as e:
                    how, what = "raised", e
        outcome = type(what).__name__ if how == "raised" else how
    await ex.save(Note(text="after " + tag))
    return outcome, again

points = []
while True:
    tag = "point %d" % len(points)
    result = loop.run_until_complete(loop.create_task(cut(len(points), tag)))
    if result is None:
        break
    loop.run_until_complete(asyncio.sleep(0.05))
    count = lambda text: fresh_rows(path, "select count(*) from note where text = ?", (text,))[0][0]
    points.append({{"outcome": result[0], "suspended_again": result[1], "rows": count(tag),
                   "others": count("kept " + tag) + count("after " + tag)}})
loop.run_until_complete(asyncio.sleep(0.05))
print(json.dumps(points))
"""


def cut_off_bulk_insert(action, tmp_path, batch="same"):
    code = CUT_OFF.format(here=HERE, path=str(tmp_path / "cut.db"), action=action, batch=batch)
    proc = run_python(code, check=False)
    assert proc.returncode == 0, proc.stderr
    # Nothing was reported as ignored or unraisable (an await during close()
    # would be "coroutine ignored GeneratorExit").
    assert "Exception ignored" not in proc.stderr and "Traceback" not in proc.stderr, proc.stderr
    points = json.loads(proc.stdout.strip().splitlines()[-1])
    # SAVEPOINT and the statement (its cursor made with it) at least; every
    # task's own rows were committed.
    assert len(points) >= 2 and {p["others"] for p in points} == {2}, points
    return points


@pytest.mark.parametrize("batch", ["same", "mixed"])
@pytest.mark.parametrize("action", ["cancel", "error", "close"])
def test_bulk_insert_cut_off_at_each_await_point(action, batch, tmp_path):
    points = cut_off_bulk_insert(action, tmp_path, batch)
    if action == "close":
        assert {p["outcome"] for p in points} == {"closed"}
        return
    assert {p["outcome"] for p in points} == {"CancelledError" if action == "cancel" else "ValueError"}
    # Atomic: none of the batch survives a cut before its last step, and all
    # or none of it one at its last step.
    assert [p["rows"] for p in points[:-1]] == [0] * (len(points) - 1)
    assert points[-1]["rows"] in (0, 3)


def test_bulk_insert_cancelled_as_it_completes_leaves_none_of_it(tmp_path):
    assert cut_off_bulk_insert("cancel", tmp_path)[-1]["rows"] == 0


def test_bulk_insert_of_several_statements_cancelled_as_it_completes_leaves_none_of_it(tmp_path):
    assert cut_off_bulk_insert("cancel", tmp_path, "mixed")[-1]["rows"] == 0


@pytest.mark.parametrize("batch", ["same", "mixed"])
def test_cancellation_during_the_cleanup_of_a_failed_batch_is_not_swallowed(batch, tmp_path):
    points = cut_off_bulk_insert("error then cancel", tmp_path, batch)
    assert any(p["suspended_again"] for p in points)
    assert all(p["outcome"] == "CancelledError" for p in points if p["suspended_again"])


# ---------------------------------------------------------------------------
# The garbage collector and suspended coroutines
# ---------------------------------------------------------------------------


def test_a_cycle_through_a_suspended_coroutine_is_collected(db_path):
    # The coroutine is suspended on the driver's queued call for its
    # statement, its body holding that awaitable; the queued function
    # refers back to the coroutine.  Unreachable, the cycle must be
    # collected (closing the coroutine), which needs the collector to see
    # what the body holds.
    class Marker:
        pass

    async def main():
        c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path)
        con = await c.getCon()  # the task's connection is open
        it = c.execute("select 1").__await__()
        yielded = await step_to(it, 0)
        queued = it.cr_await.cr_frame.f_locals["function"]
        marker = Marker()
        gone = weakref.ref(marker)
        queued.cycle = (it, marker)
        await settle(yielded)
        await con._execute(lambda: None)  # the driver thread lets go of the call it ran
        del it, queued, marker
        gc.collect()
        return gone

    gone = run(main)
    assert gone() is None
