"""Errors of column properties and foreign keys."""

from Quillon.Error import QuillonError


class ColumnFault(QuillonError):
    """Base class of property and relation errors."""


class PropertyVerifyError(ColumnFault):
    default_message = "value does not fit the property"

    def describe(self, value=None, expected=None, *rest):
        name = getattr(expected, "__name__", expected)
        return f"value {value!r} cannot be converted to {name}"


class PrimaryKeyOverLimitError(ColumnFault):
    default_message = "a model may declare only one primary-key property (pk=True)"


class PropertyUsageError(ColumnFault):
    default_message = "properties may only be declared in classes derived from Entity"

    def describe(self, owner=None, *rest):
        name = getattr(owner, "__qualname__", owner)
        return f"property declared in {name}, which does not derive from Entity; declare columns on Entity subclasses"


class ForeignKeyDependError(ColumnFault):
    default_message = "a ForeignKey may only be declared in a class derived from Entity"


class EmptyFilterValueError(ColumnFault, ValueError):
    default_message = "a filter cell cannot hold the empty string; compare with a non-empty value"
