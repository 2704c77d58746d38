"""Per-statement and per-task costs of the connection lifecycles.

    PYTHONPATH=. python benchmarks/bench_transactions.py blocking|awaited [n] [pool_size]

blocking: a get by key on the blocking SQLite connector (one statement,
committed on its own), and the same inside ``with transaction()``.
awaited: a get by key awaited inside one task; a task made and awaited that
runs nothing; a task made and awaited that runs one get (its connection
opened, committed and closed); and ``async with transaction()`` around a get.
Then beside raw aiosqlite: 2,000 sequential gets by key in one task (raw: one
connection), 200 concurrent tasks with one get each (raw: the tasks share one
connection), 200 concurrent tasks with one insert each, each its own
transaction (raw: a connection per task).
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
    settings = {"pool_size": int(sys.argv[3])} if len(sys.argv) > 3 else {}
    DB.create(connector=AioSqliteConnector(loop, path=path, timeout=60.0, **settings))
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
    beside_raw_aiosqlite(loop, path, ex, key)
    loop.close()


def beside_raw_aiosqlite(loop, path, ex, key):
    import aiosqlite

    get_sql = "SELECT item.id,item.name FROM item WHERE item.id = ?"

    async def raw_get(db):
        cursor = await db.execute(get_sql, (key,))
        rows = await cursor.fetchall()
        await cursor.close()
        return rows

    async def sequential(n):
        for _ in range(n):
            await ex.get(key)

    async def raw_sequential(n):
        async with aiosqlite.connect(path) as db:
            for _ in range(n):
                await raw_get(db)

    async def concurrent_gets(n):
        await asyncio.gather(*(asyncio.create_task(ex.get(key)) for _ in range(n)))

    async def raw_concurrent_gets(n):
        async with aiosqlite.connect(path) as db:
            await asyncio.gather(*(asyncio.create_task(raw_get(db)) for _ in range(n)))

    async def concurrent_inserts(n):
        await asyncio.gather(*(asyncio.create_task(ex.save(Item(name="c"))) for _ in range(n)))

    async def raw_insert():
        async with aiosqlite.connect(path, timeout=60.0) as db:
            await db.execute("INSERT INTO item (name) VALUES (?)", ("c",))
            await db.commit()

    async def raw_concurrent_inserts(n):
        await asyncio.gather(*(asyncio.create_task(raw_insert()) for _ in range(n)))

    def timed(body, n):
        return best(lambda n: loop.run_until_complete(loop.create_task(body(n))), n)

    for label, ours, raw, n, unit in [
            ("2,000 sequential gets (per get)", sequential, raw_sequential, 2000, 1e6),
            ("200 concurrent tasks, one get each (total)", concurrent_gets, raw_concurrent_gets, 200, 1e3),
            ("200 concurrent tasks, one insert each (total)", concurrent_inserts, raw_concurrent_inserts, 200, 1e3)]:
        t_ours, t_raw = timed(ours, n), timed(raw, n)
        if unit == 1e6:
            t_ours, t_raw = t_ours / n, t_raw / n
        name = "us" if unit == 1e6 else "ms"
        print(f"{label:<46} {t_ours * unit:9.2f} {name} vs raw aiosqlite {t_raw * unit:9.2f} {name} "
              f"({t_ours / t_raw:.2f}x)")


def main():
    kind = sys.argv[1]
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 20000
    path = os.path.join(tempfile.mkdtemp(), "bench.db")
    (blocking if kind == "blocking" else awaited)(path, n)


if __name__ == "__main__":
    main()
