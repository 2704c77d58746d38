"""The executor API on SQLite, blocking and awaited: every scenario of
executor_scenarios.py runs in a fresh interpreter with each connector."""

import pytest

import executor_scenarios
from conftest import run_python, run_scenario

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


def test_iterate_holds_a_few_batches_where_find_holds_every_row(tmp_path):
    """Streaming 200,000 rows keeps peak memory to a few batches; find() holds them all."""
    out = run_python(f"""
        import sqlite3, tracemalloc
        from Quillon.DB.Connector import Sqlite3Connector
        from Quillon.DB.DB import DB
        from Quillon.Ext import generate_table
        from Quillon.Model.Columns import IntProperty, StrProperty, auto_increment
        from Quillon.Model.Entity import Entity

        class Item(Entity):
            id = IntProperty(pk=True, default=auto_increment)
            name = StrProperty()
            qty = IntProperty()

        path, rows, size = {str(tmp_path / "big.sqlite")!r}, 200_000, 500
        DB.create(connector=Sqlite3Connector(path, showLog=False))
        generate_table()
        con = sqlite3.connect(path)
        con.executemany("insert into item (name, qty) values (?, ?)", (("item %d" % i, i) for i in range(rows)))
        con.commit()
        con.close()
        ex = Item.getExecutor()

        def peak(work):
            tracemalloc.start()
            result = work()
            top = tracemalloc.get_traced_memory()[1]
            tracemalloc.stop()
            return result, top

        total, streamed = peak(lambda: sum(r["qty"] for r in ex.iterate(batchSize=size)))
        found, whole = peak(lambda: sum(r["qty"] for r in ex.find()))
        assert total == found == rows * (rows - 1) // 2, (total, found)
        batch = whole / rows * size  # what one batch of model rows costs, measured through find()
        assert streamed < 4 * batch, (streamed, batch, whole)
        print(round(streamed / batch, 2))
    """)
    assert float(out) < 4, out
