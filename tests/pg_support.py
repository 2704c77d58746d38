"""Connection settings and helpers for the tests against a real PostgreSQL
server (started by scripts/pg; scripts/test exports its settings).

The settings come from QUILLON_PG_HOST, QUILLON_PG_PORT, QUILLON_PG_USER,
QUILLON_PG_PASSWORD and QUILLON_PG_DB.  Without them the PostgreSQL tests
are skipped, except in CI (CI=true), where a missing server is a failure:
the suite must never pass there without having run them.  The user must be
allowed to create databases: every test works in a database of its own.
"""

import os
import uuid

import pytest

VARIABLES = ("QUILLON_PG_HOST", "QUILLON_PG_PORT", "QUILLON_PG_USER", "QUILLON_PG_PASSWORD", "QUILLON_PG_DB")


def settings():
    """psycopg's connection keywords of the configured server, or skip/fail without one."""
    missing = [name for name in VARIABLES if not os.environ.get(name)]
    if missing:
        reason = "no PostgreSQL server configured (missing " + ", ".join(missing) + "; run `eval \"$(bash scripts/pg start)\"`)"
        if os.environ.get("CI") == "true":
            pytest.fail("CI must run the PostgreSQL tests: " + reason, pytrace=False)
        pytest.skip(reason)
    return {
        "host": os.environ["QUILLON_PG_HOST"],
        "port": int(os.environ["QUILLON_PG_PORT"]),
        "user": os.environ["QUILLON_PG_USER"],
        "password": os.environ["QUILLON_PG_PASSWORD"],
        "dbname": os.environ["QUILLON_PG_DB"],
    }


def connect(config, db=None):
    """A blocking psycopg connection of its own (autocommit, so every read
    sees what other connections have committed and nothing else)."""
    import psycopg

    from Quillon.DB.postgres_pool import text_json_context

    # JSON columns read as their text, as the other servers' drivers give them.
    return psycopg.connect(**dict(config, dbname=db if db is not None else config["dbname"]), autocommit=True,
                           context=text_json_context())


def query(config, db, sql, args=None):
    """Rows of `sql` read through a fresh connection (tuples; none for a statement without rows)."""
    with connect(config, db) as con:
        cur = con.execute(sql, args)
        return [tuple(r) for r in cur.fetchall()] if cur.description else []


def quote_name(name):
    return '"' + name.replace('"', '""') + '"'


class Database:
    """A database created for one test and dropped after it."""

    def __init__(self, config, name=None):
        self.config = config
        self.name = name or "quillon_t" + uuid.uuid4().hex[:12]
        query(config, config["dbname"], "CREATE DATABASE " + quote_name(self.name))

    def rows(self, sql, args=None):
        return query(self.config, self.name, sql, args)

    def run(self, sql, args=None):
        self.rows(sql, args)

    def settings(self, **extra):
        out = dict(self.config, dbname=self.name)
        out.update(extra)
        return out

    def drop(self):
        query(self.config, self.config["dbname"], "DROP DATABASE IF EXISTS " + quote_name(self.name) + " WITH (FORCE)")
