"""Transaction blocks: ``transaction()`` for every connector, and the blocking
SQLite connector's ``SqliteContextManager``."""


def _active_connector():
    from Quillon.DB.DB import DB

    db = DB.getInstanceWithCheck()
    return db.connector


def transaction(connector=None):
    """One transaction block on ``connector`` (the facade's by default).

    ``with transaction() as t:`` on a blocking connector, ``async with
    transaction() as t:`` on an asyncio one.  The block commits when it ends
    normally and rolls back when it raises (or its task is cancelled); a
    block inside another is a savepoint, rolled back alone when it raises.
    ``t.onCommit(callback)`` calls ``callback()`` after the outermost block
    has committed, never after a rollback (inside ``async with`` an awaitable
    it returns is awaited).

    A blocking block belongs to the thread that opens it: other threads'
    statements never join it.  An awaited block runs on its task's
    connection, and the tasks created inside it (``gather``, ``create_task``,
    ``TaskGroup``, ``wait_for``) run their statements in it too, one statement
    at a time; a block whose tasks still run when it ends fails with
    TransactionError and is rolled back::

        async with transaction() as t:
            await asyncio.gather(ex.save(a), ex.save(b))   # both rows, or neither
            t.onCommit(lambda: print("stored"))
    """
    from Quillon.DB.Connector import Transaction

    return Transaction(connector)


class SqliteContextManager:
    """Makes the statements inside a ``with`` block one transaction.

    The blocking connectors' block, kept for existing programs:
    ``with SqliteContextManager():`` is ``with transaction():`` on a blocking
    connector.  On the blocking SQLite connector every statement is otherwise
    committed on its own.  Inside the block nothing is committed until the
    block ends: a normal exit commits, an exception rolls everything back.
    Blocks nest; an inner block is a savepoint, so an exception inside it
    rolls back only its own statements (and the exception still propagates
    through the outer block unless caught there)::

        with SqliteContextManager():
            ex = User.getExecutor()
            ex.save(User(name="a"))
            ex.save(User(name="b"))      # both rows, or neither

    A block belongs to the thread that opens it: the main thread runs on the
    connector's own connection, every other thread on a connection of its
    own, so other threads' statements are never part of the block.  The
    outermost block takes the database's write lock when it begins; another
    thread's write waits for the block to end (up to the connector's
    ``timeout``).  The asyncio connectors use ``async with transaction()``;
    outside a block each asyncio task already runs on a connection of its own
    that is committed when the task ends normally and rolled back when it
    raises or is cancelled.
    """

    def __init__(self, connector=None):
        self._connector = connector
        self._block = None

    def __enter__(self):
        connector = self._connector if self._connector is not None else _active_connector()
        if getattr(connector, "_beginTransaction", None) is None:
            from Quillon.Error.DbFault import TransactionError

            raise TransactionError(
                f"{type(connector).__name__} has no blocking transactions; "
                "asyncio connectors give each task its own transaction (or use `async with transaction()`)"
            )
        block = transaction(connector)
        block.__enter__()
        self._block = block
        return self

    def __exit__(self, exc_type, exc, tb):
        block, self._block = self._block, None
        return block.__exit__(exc_type, exc, tb)

    def onCommit(self, callback):
        """Calls ``callback()`` after the outermost block has committed."""
        return self._block.onCommit(callback)
