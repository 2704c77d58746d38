"""Helpers around the database connectors."""


def _active_connector():
    from Quillon.DB.DB import DB

    db = DB.getInstanceWithCheck()
    return db.connector


class SqliteContextManager:
    """Makes the statements inside a ``with`` block one transaction.

    On the blocking SQLite connector every prepared statement is otherwise
    committed on its own.  Inside the block nothing is committed until the
    block ends: a normal exit commits, an exception rolls everything back.
    Blocks nest; an inner block is a savepoint, so an exception inside it
    rolls back only its own statements (and the exception still propagates
    through the outer block unless caught there)::

        with SqliteContextManager():
            ex = User.getExecutor()
            ex.save(User(name="a"))
            ex.save(User(name="b"))      # both rows, or neither

    The transaction belongs to the connector's shared connection: use a block
    from one thread at a time.  The asyncio connectors need no such block:
    each asyncio task already runs on a connection of its own that is
    committed when the task ends normally and rolled back when it raises or
    is cancelled.
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
