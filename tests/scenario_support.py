"""What the scenario scripts (executor_scenarios.py, paging_scenarios.py,
seeder_scenarios.py) share.

The facade is made once per process, so each scenario runs in a fresh
interpreter (``conftest.run_scenario``), once per connector kind: "blocking"
(the SQLite connector) or "async" (the asyncio SQLite connector on a new
loop).  A scenario is an ``async def`` registered with ``@scenario``; it
awaits each operation through ``q()``, so one scenario checks both forms of
the same API.
"""

import asyncio
import inspect
import os
import sqlite3
import sys
import traceback


async def q(value):
    """The result of an operation: awaited when the asyncio form returned an
    awaitable, passed through when the blocking form returned it directly."""
    if inspect.isawaitable(value):
        return await value
    return value


def fresh_rows(path, sql, args=()):
    """Rows read through a new sqlite3 connection, so only committed data is seen."""
    con = sqlite3.connect(path)
    try:
        return con.execute(sql, args).fetchall()
    finally:
        con.close()


def setup(kind, path, **blocking_options):
    """Makes the facade over a connector of ``kind`` on ``path`` and returns
    the event loop (set as the current one for both kinds)."""
    from Quillon.DB.Connector import AioSqliteConnector, Sqlite3Connector
    from Quillon.DB.DB import DB

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    if kind == "blocking":
        DB.create(connector=Sqlite3Connector(path, **blocking_options))
    else:
        DB.create(connector=AioSqliteConnector(loop, path=path))
    return loop


def registry():
    """A scenario table and the decorator that fills it by function name."""
    scenarios = {}

    def scenario(fn):
        scenarios[fn.__name__] = fn
        return fn

    return scenarios, scenario


def arguments():
    """The scenario name, connector kind and database path the runner passes."""
    name, kind, path = sys.argv[1:4]
    return name, kind, path


def finish(loop, coroutine, settle=0.05):
    """Runs a scenario to its end as a task on ``loop`` and reports
    "scenario ok".  A failure prints its traceback and leaves at once: open
    asyncio connections would keep the interpreter alive."""
    try:
        loop.run_until_complete(loop.create_task(coroutine))
    except BaseException:
        traceback.print_exc()
        sys.stderr.flush()
        os._exit(1)
    # Let the end of the task roll back or commit and close its connection.
    loop.run_until_complete(asyncio.sleep(settle))
    loop.close()
    print("scenario ok")
