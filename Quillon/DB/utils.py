"""Helpers around the database connectors."""


def _active_connector():
    from Quillon.DB.DB import DB

    db = DB.getInstanceWithCheck()
    return db.connector


class SqliteContextManager:
    """Makes the statements inside a ``with`` block one transaction.

    On the blocking SQLite connector every statement is otherwise committed
    on its own.  Inside the block nothing is committed until the block ends:
    a normal exit commits, an exception rolls everything back.  Blocks nest;
    an inner block is a savepoint, so an exception inside it rolls back only
    its own statements (and the exception still propagates through the outer
    block unless caught there)::

        with SqliteContextManager():
            ex = User.getExecutor()
            ex.save(User(name="a"))
            ex.save(User(name="b"))      # both rows, or neither

    A block belongs to the thread that opens it: the main thread runs on the
    connector's own connection, every other thread on a connection of its
    own, so other threads' statements are never part of the block.  The
    outermost block takes the database's write lock when it begins; another
    thread's write waits for the block to end (up to the connector's
    ``timeout``).  The asyncio connectors need no such block: each asyncio
    task already runs on a connection of its own that is committed when the
    task ends normally and rolled back when it raises or is cancelled.
    """

    def __init__(self, connector=None):
        self._connector = connector
        self._active = None

    def __enter__(self):
        connector = self._connector if self._connector is not None else _active_connector()
        begin = getattr(connector, "_beginTransaction", None)
        if begin is None:
            from Quillon.Error.DbFault import TransactionError

            raise TransactionError(
                f"{type(connector).__name__} has no blocking transactions; "
                "asyncio connectors give each task its own transaction"
            )
        begin()
        self._active = connector
        return self

    def __exit__(self, exc_type, exc, tb):
        connector, self._active = self._active, None
        connector._endTransaction(exc_type is None)
        return False


async def _run_task(coro, ending):
    """The body of every task made on an asyncio connector's loop.

    The connector's task factory runs a task's coroutine through this body:
    after the coroutine, ``ending(failed)`` starts the end of the database
    connections the task opened (commit, or rollback when the coroutine
    raised or was cancelled) and returns an awaitable of it, or None when the
    task opened none.  The task is therefore done only once its work is
    committed and its connections are closed, and a failed commit is the
    task's exception.
    """
    try:
        result = await coro
    except GeneratorExit:
        # The coroutine is being closed: nothing may be awaited any more.
        raise
    except BaseException:
        pending = ending(True)
        if pending is not None:
            await pending
        raise
    pending = ending(False)
    if pending is not None:
        await pending
    return result
