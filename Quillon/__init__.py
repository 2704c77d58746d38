"""Quillon: an ORM whose core is native C++.

Declare tables as classes derived from ``Quillon.Model.Entity.Entity``, write
filters as Python comparisons on their properties, and read and write rows
blocking or with asyncio, on SQLite or MySQL/MariaDB.
"""

__version__ = "0.1.0"
