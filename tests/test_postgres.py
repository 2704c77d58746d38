"""The PostgreSQL connectors against a real server (scripts/pg).

The scenarios of tests/mysql_scenarios.py that are not particular to MySQL
run here on PostgreSQL, blocking and awaited, each in a fresh interpreter
and a database of its own; what they committed is read back through a
connection of their own.
"""

import os
import subprocess
import sys

import pytest

import pg_support

HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(scope="module")
def config():
    return pg_support.settings()


def run_scenario(name, database, tmp_path, kind="awaited"):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [HERE, env.get("PYTHONPATH", "")] if p)
    env["QUILLON_PG_SCENARIO_DB"] = database.name
    proc = subprocess.run(
        [sys.executable, os.path.join(HERE, "mysql_scenarios.py"), name, kind, "postgres"],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert proc.returncode == 0 and "scenario ok" in proc.stdout, proc.stdout[-3000:] + proc.stderr[-6000:]
    return proc.stdout


def scenario_runs():
    import mysql_scenarios

    runs = [(n, "awaited") for n in sorted(mysql_scenarios.POSTGRES) if n not in mysql_scenarios.BLOCKING_ONLY]
    return runs + [(n, "blocking") for n in sorted(mysql_scenarios.POSTGRES & mysql_scenarios.BLOCKING)]


@pytest.mark.parametrize("name, kind", scenario_runs())
def test_postgres_scenario(name, kind, config, tmp_path):
    db = pg_support.Database(config)
    try:
        run_scenario(name, db, tmp_path, kind)
    finally:
        db.drop()
