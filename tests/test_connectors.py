"""The connectors over real SQLite files: row shaping, the base defaults, the
blocking connector and the awaitable one with its per-task connections."""

import asyncio
import contextlib
import logging
import os
import sqlite3
import threading
import time

import pytest

from conftest import fresh_rows, needs_assertions, run_python, settled_worker_threads, worker_threads
from Quillon.DB import Connector
from Quillon.DB.Connector import (
    AioMysqlConnector,
    AioSqliteConnector,
    BaseConnector,
    PyMysqlConnector,
    Sqlite3Connector,
    dict_factory,
)


class FakeCursor:
    def __init__(self, *names):
        self.description = tuple((n, None, None, None, None, None, None) for n in names)


# ---------------------------------------------------------------------------
# dict_factory
# ---------------------------------------------------------------------------


class TestDictFactory:
    def test_keys_in_column_order(self):
        row = dict_factory(FakeCursor("id", "name"), (1, "a"))
        assert list(row.items()) == [("id", 1), ("name", "a")]

    def test_duplicate_column_keeps_later_value(self):
        cur = sqlite3.connect(":memory:").execute("select 1 as a, 2 as b, 3 as a")
        assert dict_factory(cur, cur.fetchone()) == {"a": 3, "b": 2}

    def test_none_row_is_not_subscriptable(self):
        with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
            dict_factory(FakeCursor("id"), None)

    def test_short_row_raises_index_error(self):
        with pytest.raises(IndexError):
            dict_factory(FakeCursor("id", "name"), (1,))

    def test_empty_description_gives_empty_dict(self):
        assert dict_factory(FakeCursor(), (1, 2)) == {}

    def test_list_rows_and_list_descriptions(self):
        class Cur:
            description = [["x"], ["y"]]

        assert dict_factory(Cur(), [5, 6]) == {"x": 5, "y": 6}

    def test_each_call_returns_a_new_dict(self):
        cur = FakeCursor("x")
        a, b = dict_factory(cur, (1,)), dict_factory(cur, (1,))
        assert a == b and a is not b


# ---------------------------------------------------------------------------
# BaseConnector and the placeholder connectors
# ---------------------------------------------------------------------------


class TestBaseConnector:
    def test_defaults(self):
        b = BaseConnector()
        assert (b._pool, b.Type, b.isAsync, b._config, b.isReady) == (None, 0, False, None, False)

    def test_default_operations_do_nothing(self):
        b = BaseConnector()
        assert b.process(1, 2, a=3) is None
        assert b.GenerateTable() is None and b.close() is None
        assert asyncio.run(b.asyncProcess(1, executor=None)) is None

    @pytest.mark.parametrize("value", [[1], (), "x", 3])
    def test_config_refuses_non_dict(self, value):
        b = BaseConnector()
        with pytest.raises(TypeError, match=f"{type(value).__name__}.*dict"):
            b._config = value
        assert b._config is None

    def test_config_accepts_dict_and_none_and_delete_stores_none(self):
        b = BaseConnector()
        b._config = {"db": "shop"}
        assert b._config == {"db": "shop"}
        del b._config
        assert b._config is None
        b._pool = object()
        del b._pool
        assert b._pool is None

    def test_type_is_read_only_and_flags_are_writable(self):
        b = BaseConnector()
        with pytest.raises(AttributeError):
            b.Type = 1
        b.isAsync = 1
        b.isReady = "yes"
        assert b.isAsync is True and b.isReady is True

    def test_fields_are_slots(self):
        with pytest.raises(AttributeError):
            BaseConnector().other = 1

    @pytest.mark.parametrize(
        "make, holder",
        [
            (BaseConnector, "%s"),
            (PyMysqlConnector, "%s"),
            (lambda: Sqlite3Connector(":memory:"), "?"),
            (lambda: AioSqliteConnector(None, path=":memory:"), "?"),
        ],
    )
    def test_params_holder(self, make, holder):
        assert make().paramsHolder == holder

    def test_py_mysql_connector_takes_connect_settings_and_connects_on_first_use(self):
        import pymysql

        with pytest.raises(TypeError):
            PyMysqlConnector(1)
        # Nothing listens on port 1: made without connecting, refused on use.
        c = PyMysqlConnector(host="127.0.0.1", port=1, connect_timeout=2, maxsize=2)
        assert (c.isAsync, c.isReady, c.dialect, c.maxsize, c.acquire_timeout) == (False, True, "mysql", 2, 30.0)
        assert c.config == {"host": "127.0.0.1", "port": 1, "connect_timeout": 2}
        with pytest.raises(pymysql.err.OperationalError):
            c.execute("select 1")

    def test_python_subclass_overrides_process(self):
        class Mine(BaseConnector):
            def process(self, *args):
                return ("mine", args)

        assert Mine().process(1) == ("mine", (1,))


class Col:
    def __init__(self, targetType, typeArgs):
        self.targetType, self.typeArgs = targetType, typeArgs


class TestAutoIncrement:
    @pytest.mark.parametrize(
        "col, text",
        [
            (Col("INT", (11,)), "INT(11) AUTO_INCREMENT"),
            (Col("BIGINT", (20,)), "BIGINT(20) AUTO_INCREMENT"),
            (Col("INT", ()), "INT AUTO_INCREMENT"),
            (Col("DECIMAL", (10, 2)), "DECIMAL(10, 2) AUTO_INCREMENT"),
        ],
    )
    def test_mysql_declaration(self, col, text):
        c = AioMysqlConnector.__new__(AioMysqlConnector)
        assert c.autoFiledAnnounce(col) == text

    def test_mysql_none_type_args_fail(self):
        c = AioMysqlConnector.__new__(AioMysqlConnector)
        with pytest.raises(TypeError):
            c.autoFiledAnnounce(Col("INT", None))

    @pytest.mark.parametrize("arg", [None, 1, Col("INT", (11,))])
    def test_sqlite_declaration(self, arg):
        assert Sqlite3Connector(":memory:").autoFiledAnnounce(arg) == "INTEGER "
        assert AioSqliteConnector(None, path=":memory:").autoFiledAnnounce(arg) == "INTEGER "


# ---------------------------------------------------------------------------
# Sqlite3Connector
# ---------------------------------------------------------------------------


@pytest.fixture
def conn(db_path):
    return Sqlite3Connector(db_path)


class TestSqlite3Construction:
    def test_fields(self, db_path):
        c = Sqlite3Connector(db_path, showLog=False)
        assert c.path == db_path and c.isAsync is False and c.isReady is False
        assert isinstance(c.con, sqlite3.Connection)

    @pytest.mark.parametrize("path", [1, b"x.db", ["x"]])
    def test_path_type(self, path):
        with pytest.raises(TypeError, match="Argument 'path' has incorrect type"):
            Sqlite3Connector(path)

    def test_argument_count(self):
        with pytest.raises(TypeError):
            Sqlite3Connector()
        with pytest.raises(TypeError):
            Sqlite3Connector(":memory:", True, 3)


@pytest.mark.parametrize("kind", ["blocking", "awaited"])
def test_busy_timeout_is_a_setting(db_path, kind):
    holder = sqlite3.connect(db_path)
    holder.execute("begin immediate")
    try:
        if kind == "blocking":
            c = Sqlite3Connector(db_path, timeout=0.3)
            assert Sqlite3Connector(db_path).timeout == 30.0

            def write():
                c.execute("insert into item(name) values ('x')")
        else:
            c = AioSqliteConnector(None, path=db_path, timeout=0.3)
            assert AioSqliteConnector(None, path=db_path).timeout == 5.0

            def write():
                asyncio.run(c.execute("insert into item(name) values ('x')"))

        assert c.timeout == 0.3
        started = time.monotonic()
        with pytest.raises(sqlite3.OperationalError, match="locked"):
            write()
        assert 0.25 <= time.monotonic() - started < 3
    finally:
        holder.rollback()
        holder.close()


@pytest.mark.parametrize("value, error", [(-1, ValueError), ("5", TypeError), (True, TypeError), (float("nan"), ValueError)])
@pytest.mark.parametrize("make", [lambda t: Sqlite3Connector(":memory:", timeout=t), lambda t: AioSqliteConnector(None, path=":memory:", timeout=t)])
def test_busy_timeout_must_be_seconds(make, value, error):
    with pytest.raises(error, match="timeout must be"):
        make(value)


class TestTransactionBlocks:
    def test_each_connector_takes_its_own_form_of_block(self, db_path):
        from Quillon.DB.utils import SqliteContextManager, transaction
        from Quillon.Error.DbFault import TransactionError

        async def main():
            awaited = AioSqliteConnector(asyncio.get_running_loop(), path=db_path)
            with pytest.raises(TransactionError, match="async with transaction"):
                with transaction(awaited):
                    pass
            with pytest.raises(TransactionError, match="no blocking transactions"):
                with SqliteContextManager(awaited):
                    pass
            with pytest.raises(TransactionError, match="with transaction"):
                async with transaction(Sqlite3Connector(db_path)):
                    pass
            block = transaction(awaited)
            with pytest.raises(TransactionError, match="open"):
                block.onCommit(print)
            async with block:
                with pytest.raises(TypeError, match="callable"):
                    block.onCommit(None)
                await awaited.execute("insert into item(name) values ('once')")
            with pytest.raises(TransactionError, match="once"):
                async with block:
                    pass

        run(main)
        assert fresh_rows(db_path, "select name from item") == [("once",)]

    def test_an_awaited_block_joins_the_task_that_wrote_before_it(self, db_path):
        # Work of the task before its first block is committed with the
        # block, and stays in the task when the block rolls back.
        from Quillon.DB.utils import transaction

        async def main():
            c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path)

            async def work():
                await c.execute("insert into item(name) values ('before')")
                try:
                    async with transaction(c):
                        await c.execute("insert into item(name) values ('undone')")
                        raise KeyError
                except KeyError:
                    pass
                assert fresh_rows(db_path, "select count(*) from item") == [(0,)]
                async with transaction(c):
                    await c.execute("insert into item(name) values ('block')")
                assert fresh_rows(db_path, "select name from item") == [("before",), ("block",)]
                await c.execute("insert into item(name) values ('after')")

            await asyncio.create_task(work())

        run(main)
        assert fresh_rows(db_path, "select name from item") == [("before",), ("block",), ("after",)]


class TestClose:
    def test_blocking(self, conn, db_path):
        from Quillon.DB.utils import SqliteContextManager

        with SqliteContextManager(conn):
            with pytest.raises(Exception, match="inside a transaction block"):
                conn.close()
        failures = []

        def other_thread():
            conn.execute("insert into item(name) values ('thread')")
            opened.set()
            closed.wait(5)
            try:
                conn.execute("select 1")
            except sqlite3.ProgrammingError as e:
                failures.append(e)

        opened, closed = threading.Event(), threading.Event()
        t = threading.Thread(target=other_thread)
        t.start()
        opened.wait(5)
        conn.close()
        conn.close()  # again: nothing more to do
        closed.set()
        t.join()
        with pytest.raises(sqlite3.ProgrammingError):
            conn.execute("select 1")
        assert len(failures) == 1
        assert fresh_rows(db_path, "select name from item") == [("thread",)]

    def test_awaited(self, db_path):
        async def main():
            c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path)
            release = asyncio.Event()

            async def background():
                await c.execute("insert into item(name) values ('background')")
                await release.wait()
                await c.execute("insert into item(name) values ('background again')")

            task = asyncio.create_task(background())
            await asyncio.sleep(0.05)
            await c.execute("select count(*) from item")  # the caller's own connection
            await c.close()  # a task still running is not waited for
            with pytest.raises(RuntimeError, match="closed"):
                await c.execute("select 1")
            with pytest.raises(RuntimeError, match="closed"):
                await asyncio.create_task(c.execute("select 1"))
            release.set()
            await task  # its open connection goes on to its end, then commits
            assert fresh_rows(db_path, "select name from item") == [("background",), ("background again",)]

        before = worker_threads()
        run(main)
        assert settled_worker_threads(before) == before


class TestSqlite3Execute:
    def test_placeholders_rewritten(self, conn, db_path):
        conn.execute("insert into item(id, name) values (%s, %s)", args=(1, "a"))
        assert conn.execute("select name from item where id = %s and name = %s", args=(1, "a")) == (("a",),)

    def test_placeholder_inside_literal_is_rewritten_too(self, conn):
        # "%s" inside a string literal also becomes "?": the literal is then '?'.
        assert conn.execute("select '%s'") == (("?",),)

    @pytest.mark.parametrize("args", [None, ()])
    def test_no_arguments(self, conn, args):
        assert conn.execute("select 1, 2", args=args) == ((1, 2),)

    def test_positional_arguments(self, conn):
        assert conn.execute("select %s", None, False, (7,)) == ((7,),)

    @pytest.mark.parametrize("args", [[1], 1, "x"])
    def test_args_must_be_tuple(self, conn, args):
        with pytest.raises(TypeError, match="Argument 'args' has incorrect type"):
            conn.execute("select %s", args=args)

    def test_sql_none_has_no_replace(self, conn):
        with pytest.raises(AttributeError, match="replace"):
            conn.execute(None)

    def test_sql_must_be_str(self, conn):
        with pytest.raises(TypeError, match="Argument 'sql' has incorrect type"):
            conn.execute(b"select 1")

    def test_write_commits_outside_a_block_and_belongs_to_an_open_one(self, conn, db_path):
        from Quillon.DB.utils import SqliteContextManager

        conn.execute("insert into item(name) values (%s)", args=("x",))
        assert fresh_rows(db_path, "select name from item") == [("x",)]
        rows = conn.execute("insert into item(name) values ('r') returning id, name", dictCur=True)
        assert fresh_rows(db_path, "select count(*) from item") == [(2,)]
        assert list(rows) == [{"id": 2, "name": "r"}]
        with pytest.raises(KeyError):
            with SqliteContextManager(conn):
                conn.execute("insert into item(name) values ('in block')")
                assert fresh_rows(db_path, "select count(*) from item") == [(2,)]
                raise KeyError("undo")
        assert fresh_rows(db_path, "select count(*) from item") == [(2,)]

    def test_driver_errors_pass_unchanged(self, conn):
        with pytest.raises(sqlite3.OperationalError, match="no such table"):
            conn.execute("select * from missing")


class TestDictCursor:
    def test_rows_as_dicts(self, conn):
        conn.execute("insert into item(name) values ('a'), ('b')")
        rows = conn.execute("select id, name from item order by id", dictCur=True)
        assert not isinstance(rows, (list, tuple))
        assert list(rows) == [{"id": 1, "name": "a"}, {"id": 2, "name": "b"}]

    def test_rows_fetched_only_when_iterated(self, conn):
        seen = []
        conn.con.create_function("probe", 1, lambda v: seen.append(v) or v)
        conn.execute("insert into item(name) values ('a'), ('b'), ('c'), ('d')")
        rows = conn.execute("select probe(name) as n from item order by id", dictCur=True)
        assert len(seen) < 4  # the driver may step the first row, no more
        assert [r["n"] for r in rows] == ["a", "b", "c", "d"]
        assert seen == ["a", "b", "c", "d"]

    def test_second_iteration_is_empty(self, conn):
        conn.execute("insert into item(name) values ('a')")
        rows = conn.execute("select name from item", dictCur=True)
        assert list(rows) == [{"name": "a"}]
        assert list(rows) == []
        assert iter(rows) is rows


class TestSqlite3Connections:
    def test_main_thread_gets_shared_connection(self, conn):
        assert conn.getCon() is conn.con

    @pytest.mark.skipif(not hasattr(os, "fork"), reason="the platform does not fork")
    def test_child_forked_on_a_worker_thread_has_that_thread_as_main(self, db_path):
        run_python(f"""
            import os, threading
            from Quillon.DB.Connector import Sqlite3Connector
            c = Sqlite3Connector({db_path!r})
            assert c.getCon() is c.con
            status = []
            def fork():
                pid = os.fork()
                if pid == 0:
                    os._exit(0 if c.getCon() is c.con else 3)
                status.append(os.waitpid(pid, 0)[1])
            t = threading.Thread(target=fork)
            t.start()
            t.join()
            assert status == [0], status
            assert c.getCon() is c.con
        """)

    def test_statement_run_while_another_binds_its_arguments(self, conn):
        # An adapter runs a statement of the connector while the driver binds
        # the arguments of another one: each gets a cursor of its own.
        class Tag:
            pass

        sqlite3.register_adapter(Tag, lambda tag: "n%d" % conn.execute("select count(*) from item")[0][0])
        try:
            for _ in range(3):
                conn.execute("insert into item(name) values (%s)", args=(Tag(),))
        finally:
            del sqlite3.adapters[(Tag, sqlite3.PrepareProtocol)]
        assert conn.execute("select name from item order by id") == (("n0",), ("n1",), ("n2",))

    def test_worker_thread_gets_new_connections(self, conn, db_path):
        got = []

        def work():
            a, b = conn.getCon(), conn.getCon()
            a.execute("insert into item(name) values ('t')")
            a.commit()
            got.extend([a, b])

        t = threading.Thread(target=work)
        t.start()
        t.join()
        a, b = got
        assert a is not b and a is not conn.con and b is not conn.con
        assert fresh_rows(db_path, "select name from item") == [("t",)]

    def test_release_commits_and_keeps_connection_open(self, conn, db_path):
        conn.execute("insert into item(name) values ('r')")
        assert conn.releaseCon(conn.con) is None
        assert fresh_rows(db_path, "select name from item") == [("r",)]
        assert conn.execute("select count(*) from item") == ((1,),)

    def test_table_names(self, conn):
        conn.execute("create table other(x)")
        assert conn.getTableNameList() == ["item", "other"]

    def test_table_names_of_subclass_override_by_name(self, db_path):
        class Mine(Sqlite3Connector):
            def getTableNameList(self):
                return ["only"] + super().getTableNameList()

        assert Mine(db_path).getTableNameList() == ["only", "item"]


class TestSqlite3Logging:
    def test_statements_logged_at_debug(self, db_path, caplog):
        caplog.set_level(logging.DEBUG, logger="Quillon.DB")
        c = Sqlite3Connector(db_path)
        c.execute("select name from item where id = %s", args=(5,))
        logged = [(r.name, r.levelno, r.getMessage()) for r in caplog.records]
        # The trace callback receives the statement as run, with its arguments bound.
        assert ("Quillon.DB", logging.DEBUG, "select name from item where id = 5") in logged

    def test_show_log_false_logs_nothing(self, db_path, caplog):
        caplog.set_level(logging.DEBUG, logger="Quillon.DB")
        c = Sqlite3Connector(db_path, showLog=False)
        c.execute("select 1")
        assert not [r for r in caplog.records if r.name == "Quillon.DB"]

    def test_statements_traced_only_while_the_logger_shows_debug(self, db_path, monkeypatch):
        # SQLite formats a traced statement before the callback runs, so a
        # logger that drops DEBUG leaves the connections untraced; a level set
        # later applies to the next statements of every thread's connection.
        from concurrent.futures import ThreadPoolExecutor

        seen = []
        parent = logging.getLogger("quillon-tests")
        probe = logging.getLogger("quillon-tests.statement-probe")
        probe.setLevel(logging.INFO)
        monkeypatch.setattr(probe, "debug", seen.append, raising=False)
        monkeypatch.setattr(Connector, "_logger", probe)
        c = Sqlite3Connector(db_path)
        try:
            with ThreadPoolExecutor(1) as worker:
                def run(sql):
                    c.execute(sql)
                    worker.submit(c.execute, sql + " ").result()

                run("select 1")
                probe.setLevel(logging.DEBUG)
                run("select 2")
                probe.setLevel(logging.INFO)
                run("select 3")
                # A level the logger inherits, and logging.disable, count the same way.
                probe.setLevel(logging.NOTSET)
                parent.setLevel(logging.DEBUG)
                run("select 4")
                logging.disable(logging.DEBUG)
                run("select 5")
                logging.disable(logging.NOTSET)
                run("select 6")
                parent.setLevel(logging.INFO)
                run("select 7")
        finally:
            logging.disable(logging.NOTSET)
            parent.setLevel(logging.NOTSET)
        assert seen == ["select 2", "select 2 ", "select 4", "select 4 ", "select 6", "select 6 "]

    def test_module_logger_and_lock(self):
        assert Connector._logger is logging.getLogger("Quillon.DB")
        with Connector.lock:
            assert not Connector.lock.acquire(False)
        assert Connector.lock.acquire(False)
        Connector.lock.release()


class TestSqlite3Process:
    @pytest.mark.parametrize("executor", [None, 1, "x", object()])
    def test_refuses_non_executor_before_running(self, conn, executor, caplog):
        caplog.set_level(logging.DEBUG, logger="Quillon.DB")
        with pytest.raises(TypeError, match="Argument 'executor' has incorrect type"):
            conn.process(executor)
        assert not [r for r in caplog.records if r.name == "Quillon.DB"]
        assert Connector.lock.acquire(False)
        Connector.lock.release()


    def test_driver_error_releases_lock_and_commits_nothing(self, conn, db_path):
        from Quillon.Model.Executors import ModelExecutor

        conn.con.execute("insert into item(name) values ('pending')")
        executor = ModelExecutor(dict, None)
        executor.sqlBuilder.select().From("item")  # no columns: invalid SQL
        with pytest.raises(sqlite3.OperationalError):
            conn.process(executor)
        assert Connector.lock.acquire(False)
        Connector.lock.release()
        assert fresh_rows(db_path, "select count(*) from item") == [(0,)]


class TestGenerateTable:
    def test_blocking_calls_generate_table_once(self, conn, monkeypatch):
        calls = []
        monkeypatch.setattr(Connector, "generate_table", lambda: calls.append(1) or "ignored")
        assert conn.GenerateTable() is None
        assert calls == [1]

    def test_awaitable_runs_on_stopped_loop(self, monkeypatch):
        done = []

        async def gen():
            done.append("ran")

        monkeypatch.setattr(Connector, "generate_table", gen)
        loop = asyncio.new_event_loop()
        try:
            assert AioSqliteConnector(loop, path=":memory:").GenerateTable() is None
            assert done == ["ran"]
        finally:
            loop.close()

    def test_awaitable_refuses_a_running_loop_and_says_what_to_await(self, monkeypatch):
        made = []
        monkeypatch.setattr(Connector, "generate_table", lambda: made.append(1))

        async def main():
            c = AioSqliteConnector(asyncio.get_running_loop(), path=":memory:")
            with pytest.raises(RuntimeError, match=r"await generate_table\(\)"):
                c.GenerateTable()

        asyncio.run(main())
        assert made == []


# ---------------------------------------------------------------------------
# AioSqliteConnector
# ---------------------------------------------------------------------------


class TestAioSqliteConstruction:
    def test_fields(self):
        loop = object()
        c = AioSqliteConnector(loop, path="x.db")
        assert c.loop is loop and c.path == "x.db" and c.isAsync is True and c.isReady is True

    def test_path_keyword_required(self):
        with pytest.raises(TypeError, match="init_sqlite"):
            AioSqliteConnector(None)

    def test_one_positional_argument(self):
        with pytest.raises(TypeError):
            AioSqliteConnector(None, "x.db")

    def test_subclass_init_sqlite_used_and_waited_for(self, db_path):
        class Late(AioSqliteConnector):
            def init_sqlite(self, path, showLog=True):
                super().init_sqlite(path)
                self.isReady = False

        async def main():
            c = Late(asyncio.get_running_loop(), path=db_path)
            task = asyncio.create_task(c.execute("select 1"))
            await asyncio.sleep(0.4)
            assert not task.done()  # still polling isReady
            c.isReady = True
            assert await task == ((1,),)

        asyncio.run(main())


def run(coro_fn, *args):
    return asyncio.run(coro_fn(*args))


class TestAioSqliteExecute:
    def test_rows_and_dict_rows(self, db_path):
        async def main():
            c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path)
            await c.execute("insert into item(name) values (%s), (%s)", args=("a", "b"))
            plain = await c.execute("select id, name from item where id > %s", args=(0,))
            dicts = await c.execute("select id, name from item order by id", dictCur=True)
            return plain, dicts

        plain, dicts = run(main)
        assert plain == ((1, "a"), (2, "b"))
        assert dicts == [{"id": 1, "name": "a"}, {"id": 2, "name": "b"}]

    @pytest.mark.parametrize("args", [None, ()])
    def test_no_arguments(self, db_path, args):
        async def main():
            c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path)
            return await c.execute("select 1", args=args)

        assert run(main) == ((1,),)

    @pytest.mark.parametrize("kw, match", [({"args": [1]}, "'args'"), ({"sql": 1}, "'sql'")])
    def test_argument_types_checked_at_call(self, kw, match):
        c = AioSqliteConnector(None, path=":memory:")
        kw.setdefault("sql", "select 1")
        with pytest.raises(TypeError, match=match):
            c.execute(**kw)

    def test_table_names(self, db_path):
        async def main():
            c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path)
            await c.execute("create table other(x)")
            return await c.getTableNameList()

        assert run(main) == ["item", "other"]

    @needs_assertions
    def test_async_process_requires_executor(self, db_path):
        async def main():
            c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path)
            with pytest.raises(AssertionError, match="需要传入executor参数,且必须为AsyncModelExecutor实例"):
                await c.asyncProcess()
            with pytest.raises(TypeError, match="Cannot convert int to .*AsyncModelExecutor"):
                await c.asyncProcess(executor=1)

        before = worker_threads()
        run(main)
        assert settled_worker_threads(before) == before  # refused before any connection was opened


class TestIdleConnections:
    """A task's connection, once its transaction has ended, waits open for the
    next task (at most pool_size of them) until the loop ends."""

    @pytest.mark.parametrize(
        "ending", ["raises", "cancelled", "cancelled while its statement waits", "ends inside a savepoint of its own"]
    )
    def test_the_next_task_gets_the_connection_clean(self, db_path, ending):
        async def main():
            c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path)
            started = asyncio.Event()
            cons = []

            async def first():
                cons.append(await c.getCon())
                if ending == "cancelled while its statement waits":  # for the driver thread, which runs it later
                    busy = asyncio.ensure_future(cons[0].execute(
                        "with recursive r(i) as (select 1 union all select i + 1 from r where i < 2000000) "
                        "select count(*) from r"))
                    await asyncio.sleep(0.02)
                    started.set()
                    await c.execute("insert into item(name) values ('lost')")
                await c.execute("insert into item(name) values ('lost')")
                if ending == "ends inside a savepoint of its own":  # its commit ends that too
                    await cons[0].execute("savepoint mine")
                    await c.execute("insert into item(name) values ('stored')")
                    return
                started.set()
                if ending == "raises":
                    raise ValueError("fails")
                await asyncio.sleep(60)

            task = asyncio.create_task(first())
            if ending.startswith("cancelled"):
                await started.wait()
                await asyncio.sleep(0.05)
                task.cancel()
            with contextlib.suppress(ValueError, asyncio.CancelledError):
                await task

            async def second():
                cons.append(await c.getCon())
                assert not cons[1].in_transaction
                await c.execute("insert into item(name) values ('kept')")

            await asyncio.create_task(second())
            return cons, worker_threads()

        before = worker_threads()
        (first, second), during = run(main)
        assert first is second and during == before + 1  # one connection served both tasks
        expected = ["kept"] if ending != "ends inside a savepoint of its own" else ["lost", "stored", "kept"]
        assert [n for (n,) in fresh_rows(db_path, "select name from item order by id")] == expected

    def test_at_most_pool_size_wait_and_close_ends_them(self, db_path):
        async def main():
            c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path, pool_size=2)
            before = worker_threads()
            await asyncio.gather(*(c.execute("select %s", args=(n,)) for n in range(4)))
            kept = settled_worker_threads(before + 2)
            await c.close()
            return c.pool_size, kept - before, settled_worker_threads(before) - before

        assert run(main) == (2, 2, 0)

    def test_reading_tasks_share_one_connection_and_writers_read_their_own(self, db_path):
        async def main():
            c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path)
            before = worker_threads()
            await asyncio.create_task(c.execute("insert into item(name) values ('a')"))
            reads = await asyncio.gather(*(c.execute("select count(*) from item") for _ in range(50)))
            during = worker_threads()

            async def writer():
                await c.execute("insert into item(name) values ('b')")
                # Its own uncommitted row, not what the other connections see.
                return await c.execute("select count(*) from item")

            mine = await asyncio.create_task(writer())
            await c.close()
            return set(reads), during - before, mine, settled_worker_threads(before) - before

        # One connection for the first task, then the reader made of it and
        # none more for fifty reading tasks; close() ends them all.
        assert run(main) == ({((1,),)}, 1, ((2,),), 0)

    def test_a_long_read_on_the_reader_does_not_hold_up_the_others(self, db_path):
        async def main():
            c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path)
            await asyncio.create_task(c.execute("insert into item(name) values ('a')"))
            await c.execute("select 1")  # the reader is made
            long = asyncio.ensure_future(c.execute(
                "select count(*) from (with recursive r(i) as (select 1 union all select i + 1 from r "
                "where i < 3000000) select i from r)"))
            await asyncio.sleep(0.05)
            short = await asyncio.gather(*(c.execute("select count(*) from item") for _ in range(10)))
            passed = not long.done()
            await long
            await c.close()
            return set(short), passed

        # The short reads went to connections of their own meanwhile.
        assert run(main) == ({((1,),)}, True)

    def test_programs_exit_with_connections_waiting(self, db_path):
        # Neither the loop nor the connector is closed: the end of the program
        # closes the waiting connection, whose thread would keep it alive.
        out = run_python(f"""
            import asyncio, threading
            from Quillon.DB.Connector import AioSqliteConnector

            loop = asyncio.new_event_loop()
            c = AioSqliteConnector(loop, path={db_path!r})
            for name in ("a", "b"):
                loop.run_until_complete(c.execute("insert into item(name) values (%s)", args=(name,)))
            print(sum("_connection_worker_thread" in t.name for t in threading.enumerate()))
        """, timeout=60)
        assert out.split() == ["1"]
        assert fresh_rows(db_path, "select name from item order by id") == [("a",), ("b",)]


class TestWriteGate:
    """Writing tasks of one connector take turns before SQLite's lock: each
    still its own transaction, the connection one gives back serves the next."""

    def test_concurrent_writing_tasks_reuse_connections(self, db_path, monkeypatch):
        import aiosqlite

        opened = []
        connect = aiosqlite.connect
        monkeypatch.setattr(aiosqlite, "connect", lambda *a, **k: opened.append(1) or connect(*a, **k))

        async def main():
            c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path, pool_size=2)

            async def one(n):
                await c.execute("insert into item(name) values (%s)", args=("w%d" % n,))
                await asyncio.sleep(0)  # the transaction stays open across an await
                await c.execute("update item set name = name || '!' where name = %s", args=("w%d" % n,))

            await asyncio.gather(*(one(n) for n in range(60)))
            await c.close()

        run(main)
        assert sorted(n for (n,) in fresh_rows(db_path, "select name from item")) == sorted(
            "w%d!" % n for n in range(60))
        assert len(opened) <= 2

    def test_a_writer_waiting_on_a_holder_that_waits_for_it_fails_as_sqlite_does(self, db_path):
        async def main():
            c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path, timeout=0.3)
            wrote = asyncio.Event()

            async def other():
                await asyncio.sleep(0.05)
                await c.execute("insert into item(name) values ('other')")
                wrote.set()

            async def holder(waiting_for):
                await c.execute("insert into item(name) values ('holder')")
                with contextlib.suppress(asyncio.TimeoutError):
                    await asyncio.wait_for(wrote.wait(), 2)
                return await asyncio.gather(waiting_for, return_exceptions=True)

            late = asyncio.create_task(other())  # made before the holder wrote: no deadlock check applies
            (failure,) = await asyncio.create_task(holder(late))
            return type(failure), str(failure)

        assert run(main) == (sqlite3.OperationalError, "database is locked")
        assert fresh_rows(db_path, "select name from item") == [("holder",)]


class TestPerTaskConnections:
    def test_same_task_same_connection_other_task_other(self, db_path):
        async def main():
            c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path)

            async def two():
                first = await c.getCon()
                await asyncio.sleep(0.01)  # both tasks hold their connection
                return first, await c.getCon()

            (a1, a2), (b1, _) = await asyncio.gather(two(), two())
            return a1 is a2, a1 is not b1

        assert run(main) == (True, True)

    def test_normal_end_commits_before_the_task_is_done(self, db_path):
        async def main():
            c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path, pool_size=0)

            async def work():
                await c.execute("insert into item(name) values ('ok')")
                assert fresh_rows(db_path, "select count(*) from item") == [(0,)]

            before = worker_threads()
            await asyncio.create_task(work())
            # Done means committed and, with no pool to wait in, closed.
            assert fresh_rows(db_path, "select name from item") == [("ok",)]
            assert settled_worker_threads(before) == before

        run(main)

    def test_a_failed_commit_is_the_task_exception(self, db_path):
        con = sqlite3.connect(db_path)
        con.execute("create table part(id integer primary key, item_id integer references item(id) deferrable initially deferred)")
        con.commit()
        con.close()

        async def main():
            c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path)

            async def work():
                await c.execute("pragma foreign_keys = on")
                await c.execute("insert into part(item_id) values (42)")  # checked at commit

            with pytest.raises(sqlite3.IntegrityError, match="FOREIGN KEY"):
                await asyncio.create_task(work())

        before = worker_threads()
        run(main)
        assert fresh_rows(db_path, "select count(*) from part") == [(0,)]
        assert settled_worker_threads(before) == before

    def test_main_task_connection_committed_under_asyncio_run(self, db_path):
        # The end-of-task work starts inside the done-callback, so asyncio.run
        # cancelling leftover tasks at shutdown cannot lose the commit.
        async def main():
            c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path)
            await c.execute("insert into item(name) values ('last')")

        before = worker_threads()
        run(main)
        assert fresh_rows(db_path, "select name from item") == [("last",)]
        assert settled_worker_threads(before) == before

    def test_raising_task_rolled_back(self, db_path):
        async def main():
            c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path)

            async def work():
                await c.execute("insert into item(name) values ('bad')")
                raise ValueError("fails")

            with pytest.raises(ValueError):
                await asyncio.create_task(work())
            await asyncio.sleep(0.05)

        run(main)
        assert fresh_rows(db_path, "select count(*) from item") == [(0,)]

    def test_cancelled_task_rolled_back_and_closed(self, db_path):
        async def main():
            c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path)
            started = asyncio.Event()

            async def work():
                await c.execute("insert into item(name) values ('cancelled')")
                started.set()
                await asyncio.sleep(60)

            task = asyncio.create_task(work())
            await started.wait()
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            await asyncio.sleep(0.05)

        before = worker_threads()
        run(main)
        assert fresh_rows(db_path, "select count(*) from item") == [(0,)]
        assert settled_worker_threads(before) == before

    def test_release_of_task_without_connection_does_nothing(self):
        async def main():
            c = AioSqliteConnector(asyncio.get_running_loop(), path=":memory:")
            task = asyncio.create_task(asyncio.sleep(0))
            await task
            assert c.releaseCon(task) is None

        run(main)

    def test_release_logs_the_task_at_debug_not_stdout(self, db_path, caplog, capsys):
        caplog.set_level(logging.DEBUG, logger="Quillon.DB")

        async def main():
            c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path)
            task = asyncio.create_task(c.execute("select 1"), name="the-worker")
            await task
            await asyncio.sleep(0.05)

        run(main)
        assert any("the-worker" in r.getMessage() for r in caplog.records if r.name == "Quillon.DB")
        assert capsys.readouterr().out == ""

    def test_get_con_outside_task_raises_and_opens_nothing(self, db_path):
        c = AioSqliteConnector(None, path=db_path)
        before = worker_threads()
        with pytest.raises(RuntimeError):
            c.getCon().send(None)  # no running loop at all
        results = []

        async def main():
            def callback():
                coro = c.getCon()
                try:
                    coro.send(None)
                except BaseException as e:  # noqa: B036
                    results.append(e)

            asyncio.get_running_loop().call_soon(callback)
            await asyncio.sleep(0.01)

        asyncio.run(main())
        assert len(results) == 1 and isinstance(results[0], RuntimeError)
        assert "task" in str(results[0])
        assert settled_worker_threads(before) == before
