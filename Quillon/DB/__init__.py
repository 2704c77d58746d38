"""Database access: the facade (``DB``), the connectors and the SQL generators."""
