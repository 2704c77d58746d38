"""The executor API on SQLite, blocking and awaited: every scenario of
executor_scenarios.py runs in a fresh interpreter with each connector."""

import pytest

import executor_scenarios
from conftest import run_scenario

BOTH = ["roundtrip", "queries", "writes", "relations", "concurrent", "values", "keyword_names", "defaults", "links",
        "subclass", "keyword_statements", "keywords", "mutations", "nested_relations", "locking", "upserts",
        "upserts_without_returning", "blocks", "filters", "aggregates", "across", "counter", "streaming"]
BLOCKING_ONLY = ["transactions", "block_threads"]
ASYNC_ONLY = ["block_tasks", "block_cancel_points"]


@pytest.mark.parametrize("kind", ["blocking", "async"])
@pytest.mark.parametrize("name", BOTH)
def test_scenario(name, kind, tmp_path):
    run_scenario("executor_scenarios.py", name, kind, tmp_path)


@pytest.mark.parametrize("name", BLOCKING_ONLY)
def test_blocking_scenario(name, tmp_path):
    run_scenario("executor_scenarios.py", name, "blocking", tmp_path)


@pytest.mark.parametrize("name", ASYNC_ONLY)
def test_async_scenario(name, tmp_path):
    run_scenario("executor_scenarios.py", name, "async", tmp_path)


def test_every_scenario_is_run():
    assert set(executor_scenarios.SCENARIOS) == set(BOTH) | set(BLOCKING_ONLY) | set(ASYNC_ONLY)
