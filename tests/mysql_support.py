"""Connection settings and helpers for the tests against a real MySQL/MariaDB
server (started by scripts/mariadb; scripts/test exports its settings).

The settings come from QUILLON_MYSQL_HOST, QUILLON_MYSQL_PORT,
QUILLON_MYSQL_USER, QUILLON_MYSQL_PASSWORD and QUILLON_MYSQL_DB.  Without
them the MySQL tests are skipped, except in CI (CI=true), where a missing
server is a failure: the suite must never pass there without having run them.
The user must be allowed to create and drop databases whose names start with
"quillon": every test works in a database of its own.
"""

import os
import uuid

import pytest

VARIABLES = ("QUILLON_MYSQL_HOST", "QUILLON_MYSQL_PORT", "QUILLON_MYSQL_USER", "QUILLON_MYSQL_PASSWORD", "QUILLON_MYSQL_DB")


def settings():
    """The pool keywords of the configured server, or skip/fail without one."""
    missing = [name for name in VARIABLES if not os.environ.get(name)]
    if missing:
        reason = "no MySQL server configured (missing " + ", ".join(missing) + "; run `eval \"$(bash scripts/mariadb start)\"`)"
        if os.environ.get("CI") == "true":
            pytest.fail("CI must run the MySQL tests: " + reason, pytrace=False)
        pytest.skip(reason)
    return {
        "host": os.environ["QUILLON_MYSQL_HOST"],
        "port": int(os.environ["QUILLON_MYSQL_PORT"]),
        "user": os.environ["QUILLON_MYSQL_USER"],
        "password": os.environ["QUILLON_MYSQL_PASSWORD"],
        "db": os.environ["QUILLON_MYSQL_DB"],
    }


def connect(config, db=None):
    """A blocking pymysql connection of its own (autocommit, so every read
    sees what other connections have committed and nothing else)."""
    import pymysql

    return pymysql.connect(
        host=config["host"],
        port=config["port"],
        user=config["user"],
        password=config["password"],
        database=db if db is not None else config["db"],
        autocommit=True,
        charset="utf8mb4",
    )


def query(config, db, sql, args=None):
    """Rows of `sql` read through a fresh connection."""
    con = connect(config, db)
    try:
        with con.cursor() as cur:
            cur.execute(sql, args)
            return list(cur.fetchall())
    finally:
        con.close()


def quote_name(name):
    return "`" + name.replace("`", "``") + "`"


class Database:
    """A database created for one test and dropped after it."""

    def __init__(self, config, name=None):
        self.config = config
        self.name = name or "quillon_t" + uuid.uuid4().hex[:12]
        query(config, config["db"], "CREATE DATABASE " + quote_name(self.name) + " CHARACTER SET utf8mb4")

    def rows(self, sql, args=None):
        return query(self.config, self.name, sql, args)

    def run(self, sql, args=None):
        self.rows(sql, args)

    def pool_settings(self, **extra):
        out = dict(self.config, db=self.name)
        out.update(extra)
        return out

    def drop(self):
        query(self.config, self.config["db"], "DROP DATABASE IF EXISTS " + quote_name(self.name))
