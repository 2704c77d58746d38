"""Per-statement and per-task costs of the connection lifecycles.

    PYTHONPATH=. python benchmarks/bench_transactions.py blocking|awaited [n]

blocking: a get by key on the blocking SQLite connector (one statement,
committed on its own), and the same inside ``with transaction()``.
awaited: a get by key awaited inside one task; a task made and awaited that
runs nothing; a task made and awaited that runs one get (its connection
opened, committed and closed); and ``async with transaction()`` around a get.
The facade is made once per process, hence one kind per run.  Timing
script, not a test.
"""

import asyncio
import os
import sys
import tempfile
import time

from Quillon.DB.DB import DB
from Quillon.Model.Columns import IntProperty, StrProperty, auto_increment
from Quillon.Model.Entity import Entity


class Item(Entity):
    id = IntProperty(pk=True, default=auto_increment)
    name = StrProperty()


def report(label, seconds, n):
    print(f"{label:<42} {seconds / n * 1e6:8.2f} us")


def best(fn, n, repeat=5):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn(n)
        times.append(time.perf_counter() - t)
    return min(times)


def blocking(path, n):
    from Quillon.DB.Connector import Sqlite3Connector

    DB.create(connector=Sqlite3Connector(path, showLog=False)).GenerateTable()
    ex = Item.getExecutor()
    key = ex.save(Item(name="x"))

    def gets(n):
        for _ in range(n):
            ex.get(key)

    report("blocking get by key", best(gets, n), n)
    try:
        from Quillon.DB.utils import transaction
    except ImportError:
        return

    def blocks(n):
        for _ in range(n):
            with transaction():
                ex.get(key)

    report("blocking get inside with transaction()", best(blocks, n), n)


def awaited(path, n):
    from Quillon.DB.Connector import AioSqliteConnector

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    DB.create(connector=AioSqliteConnector(loop, path=path))
    DB.getInstance().GenerateTable()
    ex = Item.getExecutor()
    key = loop.run_until_complete(loop.create_task(ex.save(Item(name="x"))))

    async def gets(n):
        for _ in range(n):
            await ex.get(key)

    async def nothing():
        return None

    async def tasks(n):
        for _ in range(n):
            await asyncio.create_task(nothing())

    async def one_get():
        return await ex.get(key)

    async def tasks_with_get(n):
        for _ in range(n):
            await asyncio.create_task(one_get())

    def timed(body):
        return lambda n: loop.run_until_complete(loop.create_task(body(n)))

    report("awaited get in a task", best(timed(gets), n), n)
    report("task create+await (no statement)", best(timed(tasks), n), n)
    report("task create+await with one get", best(timed(tasks_with_get), max(n // 10, 1)), max(n // 10, 1))
    try:
        from Quillon.DB.utils import transaction
    except ImportError:
        loop.close()
        return

    async def blocks(n):
        for _ in range(n):
            async with transaction():
                await ex.get(key)

    report("awaited get inside async with transaction()", best(timed(blocks), n), n)
    loop.close()


def main():
    kind = sys.argv[1]
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 20000
    path = os.path.join(tempfile.mkdtemp(), "bench.db")
    (blocking if kind == "blocking" else awaited)(path, n)


if __name__ == "__main__":
    main()
