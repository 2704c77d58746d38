"""The example application that the README's first command runs, on SQLite."""

import os
import sqlite3
import subprocess
import sys

EXAMPLE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "app.py")


def test_example_application_runs_on_sqlite(tmp_path):
    path = str(tmp_path / "example.db")
    proc = subprocess.run([sys.executable, EXAMPLE, path], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    out = proc.stdout
    assert "badges: ['founder', 'writer']" in out
    assert "rolled-back transaction left 0 rows named Temp" in out
    assert "awaited: total members: 6" in out
    con = sqlite3.connect(path)
    try:
        names = [r[0] for r in con.execute("select name from member order by id")]
        tables = {r[0] for r in con.execute("select name from sqlite_master where type = 'table'")}
    finally:
        con.close()
    # Blocking and awaited halves both committed their rows; Di was deleted.
    assert names[:3] == ["Ann", "Bob", "Cy"] and "Di" not in names and {"Eve", "Fay", "Gus"} <= set(names)
    assert {"member", "post", "profile", "badge", "member_badge"} <= tables
