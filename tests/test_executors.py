"""The executor API on SQLite, blocking and awaited: every scenario of
executor_scenarios.py runs in a fresh interpreter with each connector."""

import os
import subprocess
import sys

import pytest

import executor_scenarios

HERE = os.path.dirname(os.path.abspath(__file__))

BOTH = ["roundtrip", "queries", "writes", "relations", "concurrent"]
BLOCKING_ONLY = ["transactions"]


def run_scenario(name, kind, tmp_path):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [HERE, env.get("PYTHONPATH", "")] if p)
    proc = subprocess.run(
        [sys.executable, os.path.join(HERE, "executor_scenarios.py"), name, kind, str(tmp_path / "db.sqlite")],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0 and "scenario ok" in proc.stdout, proc.stdout[-3000:] + proc.stderr[-6000:]


@pytest.mark.parametrize("kind", ["blocking", "async"])
@pytest.mark.parametrize("name", BOTH)
def test_scenario(name, kind, tmp_path):
    run_scenario(name, kind, tmp_path)


@pytest.mark.parametrize("name", BLOCKING_ONLY)
def test_blocking_scenario(name, tmp_path):
    run_scenario(name, "blocking", tmp_path)


def test_every_scenario_is_run():
    assert set(executor_scenarios.SCENARIOS) == set(BOTH) | set(BLOCKING_ONLY)
