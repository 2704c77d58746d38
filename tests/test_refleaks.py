"""Thousands of blocking and awaited statements must not leak references:
the live-object count and the reference counts of the objects every call
shares (the connector, the SQL text, the argument tuple) stay flat."""

import asyncio
import gc
import sys

from Quillon.DB.Connector import AioSqliteConnector, Sqlite3Connector, dict_factory


def live_objects():
    gc.collect()
    gc.collect()
    return len(gc.get_objects())


def test_blocking_statements_do_not_leak(db_path):
    c = Sqlite3Connector(db_path, showLog=False)
    c.execute("insert into item(name) values ('a'), ('b')")
    sql = "select id, name from item where id > %s"
    args = (0,)
    bad_args = [0]

    def batch(n):
        for _ in range(n):
            c.execute(sql, args=args)
            list(c.execute(sql, dictCur=True, args=args))
            c.execute(sql, dictCur=True, args=args)  # never iterated
            try:
                c.execute(sql, args=bad_args)
            except TypeError:
                pass
            try:
                c.process(None)
            except TypeError:
                pass
            dict_factory(c.con.execute("select 1 as x"), (1,))

    batch(200)  # warm caches
    refs = (sys.getrefcount(c), sys.getrefcount(sql), sys.getrefcount(args), sys.getrefcount(bad_args))
    before = live_objects()
    batch(2000)
    after = live_objects()
    assert (sys.getrefcount(c), sys.getrefcount(sql), sys.getrefcount(args), sys.getrefcount(bad_args)) == refs
    assert after - before < 50, f"{after - before} objects left behind"


def test_awaited_statements_do_not_leak(db_path):
    sql = "select id, name from item where name = %s"
    args = ("a",)
    counts = {}

    async def main():
        c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path)

        async def batch(n):
            for _ in range(n):
                await c.execute(sql, args=args)
                await c.execute(sql, dictCur=True, args=args)
                try:
                    await c.asyncProcess(executor=None)
                except AssertionError:
                    pass

        await asyncio.create_task(batch(100))
        await asyncio.sleep(0.05)
        counts["refs"] = (sys.getrefcount(c), sys.getrefcount(sql), sys.getrefcount(args))
        counts["before"] = live_objects()
        for _ in range(3):
            await asyncio.create_task(batch(300))
        await asyncio.sleep(0.1)
        counts["after"] = live_objects()
        assert (sys.getrefcount(c), sys.getrefcount(sql), sys.getrefcount(args)) == counts["refs"]

    asyncio.run(main())
    assert counts["after"] - counts["before"] < 100, counts
