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
