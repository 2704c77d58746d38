"""Shared test helpers.

- ``run_python(code)``: runs ``code`` in a fresh interpreter (same
  interpreter binary, same environment) and returns its stdout; the run must
  exit with status 0.  Tests that need ``DB.create`` (once per process) use it.
- ``run_scenario(script, name, kind, tmp_path)``: runs one scenario of a
  scenario script (executor_scenarios.py, ...) in a fresh interpreter with a
  connector of ``kind``; it must end with "scenario ok".
- ``fresh_rows(path, sql)``: reads an SQLite file through a new sqlite3
  connection, so only committed data is seen.
- ``worker_threads()``: the number of live aiosqlite connection threads (one
  per open awaitable connection), for leak checks; ``settled_worker_threads``
  waits for closing ones to end.
"""

import os
import sqlite3
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from scenario_support import fresh_rows

HERE = os.path.dirname(os.path.abspath(__file__))

# For tests of the texts of checks that the design writes as assertions,
# which the interpreter's -O turns off.
needs_assertions = pytest.mark.skipif(sys.flags.optimize > 0, reason="assertions are off (-O)")


def run_python(code, timeout=120, check=True):
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    if check:
        assert proc.returncode == 0, f"exit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
        return proc.stdout
    return proc


def run_scenario(script, name, kind, tmp_path):
    """Runs scenario ``name`` of ``script`` (a file beside this one) in a fresh
    interpreter with the ``kind`` connector on a database in ``tmp_path``;
    returns its stdout."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [HERE, env.get("PYTHONPATH", "")] if p)
    proc = subprocess.run(
        [sys.executable, os.path.join(HERE, script), name, kind, str(tmp_path / "db.sqlite")],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0 and "scenario ok" in proc.stdout, proc.stdout[-3000:] + proc.stderr[-6000:]
    return proc.stdout


def worker_threads():
    return sum(1 for t in threading.enumerate() if "_connection_worker_thread" in t.name)


def settled_worker_threads(expected, timeout=3.0):
    """The worker-thread count once it has dropped to ``expected`` (a closed
    connection's thread ends a moment after the close completes), or the
    count still alive after ``timeout`` seconds."""
    deadline = time.monotonic() + timeout
    while worker_threads() > expected and time.monotonic() < deadline:
        time.sleep(0.01)
    return worker_threads()


@pytest.fixture
def db_path(tmp_path):
    """An SQLite file with the table item(id integer primary key, name text)."""
    path = str(tmp_path / "test.db")
    con = sqlite3.connect(path)
    con.execute("create table item(id integer primary key, name text)")
    con.commit()
    con.close()
    return path
