"""The connection pool of AioPostgresConnector.

psycopg_pool's AsyncConnectionPool, seen through the operations the
per-task connection lifecycle asks of every asyncio pool: ``acquire()``,
``release(con)``, ``size``, ``freesize``, ``maxsize``, ``close()`` and
``wait_closed()``.  A connection is acquired once per task (or transaction
block), so this layer is off the per-statement path.
"""

import asyncio

__all__ = ["TaskPool", "open_pool", "text_json_context"]

_context = None


def text_json_context():
    """The adaptation context of the connectors' connections: psycopg's own,
    except that json and jsonb columns read as their text, which the JSON
    properties decode (as they do on the other databases: a str value stays
    a str)."""
    global _context
    if _context is None:
        import psycopg
        from psycopg.adapt import AdaptersMap
        from psycopg.types.string import TextLoader

        adapters = AdaptersMap(psycopg.adapters)
        adapters.register_loader("json", TextLoader)
        adapters.register_loader("jsonb", TextLoader)
        _context = adapters
    return _context


class TaskPool:
    """A psycopg_pool.AsyncConnectionPool as the task lifecycle uses it."""

    def __init__(self, pool):
        self.pool = pool
        self._closing = None

    def acquire(self):
        """Awaitable of a connection of the pool."""
        return self.pool.getconn()

    def release(self, con):
        """Gives `con` back (a task: awaiting it is optional, so a done-callback may call it)."""
        return asyncio.ensure_future(self.pool.putconn(con))

    @property
    def size(self):
        return self.pool.get_stats().get("pool_size", 0)

    @property
    def freesize(self):
        return self.pool.get_stats().get("pool_available", 0)

    @property
    def maxsize(self):
        return self.pool.max_size

    def close(self):
        if self._closing is None:
            self._closing = asyncio.ensure_future(self.pool.close())

    async def wait_closed(self):
        self.close()
        await self._closing


async def open_pool(settings, min_size, max_size):
    """A TaskPool over new connections with `settings` (psycopg's connection
    keywords; `conninfo` a connection string), opened and filled to
    `min_size` before it is returned."""
    from psycopg_pool import AsyncConnectionPool

    kwargs = dict(settings)
    kwargs.setdefault("context", text_json_context())
    conninfo = kwargs.pop("conninfo", "")
    pool = AsyncConnectionPool(conninfo, kwargs=kwargs, min_size=min_size, max_size=max_size, open=False)
    await pool.open(wait=True)
    return TaskPool(pool)
