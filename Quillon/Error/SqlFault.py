"""Errors of the SQL statement builder and the filter renderer."""

from Quillon.Error import QuillonError

_KINDS = {0: "SELECT", 1: "INSERT", 2: "DELETE", 3: "UPDATE", 4: "NONE"}


def _kind(value):
    try:
        return _KINDS.get(int(value), str(value))
    except (TypeError, ValueError):
        return str(value)


class SqlFault(QuillonError):
    """Base class of statement-building errors."""


class SqlInStanceError(SqlFault):
    default_message = "a filter needs at least a column cell and an operand cell"

    def describe(self, current=None, requested=None, *rest):
        return (
            f"the builder already holds a {_kind(current)} statement and cannot start a "
            f"{_kind(requested)} statement; use a new builder for each statement"
        )


class SetSqlFault(SqlFault):
    default_message = "set() needs a statement kind first: call update(...) before set(...)"


class WhereSqlFault(SqlFault):
    default_message = "where() needs a statement kind first: call select/update/delete before where(...)"


class SqlMissingRelationshipError(SqlFault):
    default_message = "a filter cell is followed by another cell without a relationship"

    def describe(self, value=None, following=None, *rest):
        return f"filter cell {value!r} is followed by {following} without an operator or connective between them"
