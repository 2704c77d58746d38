"""Helpers around the database connectors."""


class SqliteContextManager:
    """Runs the statements of a block as one transaction on the blocking SQLite connector."""
