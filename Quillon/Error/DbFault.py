"""Errors of the database facade and the connectors."""

from Quillon.Error import QuillonError


class DbFault(QuillonError):
    """Base class of database-side errors."""


class DBInstanceError(DbFault):
    default_message = (
        "the database facade already exists: DB.create() may be called once per process; "
        "use DB.getInstance() to reach it"
    )


class DBInstanceCreateError(DbFault):
    default_message = "the database facade is made with DB.create(connector=...), not by calling DB directly"


class DBInstanceMissingError(DBInstanceError):
    default_message = "no database facade exists yet: call DB.create(connector=...) first"


class ConnectorMissingError(DbFault):
    default_message = "the database facade has no connector: pass connector=... to DB.create()"


class WriteOperateNotInAffairs(DbFault):
    default_message = "a write operation was attempted outside a transaction"


class TransactionError(DbFault):
    default_message = "transaction misuse"


class DeadlockError(TransactionError):
    """A wait that could never end, refused at once: a statement or a pool
    acquisition that would wait for a transaction or a connection held by
    its own task, its own thread, or a task that waits for it."""

    default_message = "a wait that could never end was refused"


class PoolTimeoutError(DbFault, TimeoutError):
    """No connection of a full pool came free within the connector's
    ``acquire_timeout``."""

    default_message = "no connection of the pool came free in time"


class TableCreationError(DbFault):
    """Creating the table of a model failed; the driver's error is the cause.

    ``model`` and ``table`` name what failed; the tables of the models
    before it stay created.
    """

    default_message = "creating a model's table failed"

    def __init__(self, model=None, table=None, error=None):
        given = (model, table, error) != (None, None, None)
        super().__init__(*((model, table, error) if given else ()))
        self.model = model
        self.table = table

    def describe(self, model, table, error):
        name = getattr(model, "__name__", model)
        text = f"creating the table {table!r} of model {name} failed"
        return text if error is None else f"{text}: {error}"
