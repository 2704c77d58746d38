"""The connectors' native coroutines under asyncio: tasks, gather, wait_for
time-outs and cancellation, which must unwind the C++ state and leave no
connection behind."""

import asyncio
import gc
import sys
import time

import pytest

from conftest import fresh_rows, settled_worker_threads, worker_threads
from Quillon.DB.Connector import AioSqliteConnector
from Quillon.Error.DbFault import TransactionError


def run(main):
    before = worker_threads()
    result = asyncio.run(main())
    assert settled_worker_threads(before) == before, "an awaitable connection was left open"
    return result


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


def test_wait_for_timeout_cancels_and_rolls_back(db_path):
    async def main():
        c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path)

        async def slow():
            await c.execute("insert into item(name) values ('slow')")
            await asyncio.sleep(10)

        # A task of its own: since Python 3.12 wait_for would run a bare
        # coroutine in this task, whose transaction then goes on.
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(asyncio.create_task(slow()), timeout=0.2)

    run(main)
    assert fresh_rows(db_path, "select count(*) from item") == [(0,)]


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
