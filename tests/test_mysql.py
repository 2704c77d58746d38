"""The MySQL connectors against a real MariaDB server (scripts/mariadb).

Every test gets a database of its own.  What a task committed or rolled back
is always checked through a separate blocking connection, so only data that
really reached the server counts.
"""

import asyncio
import gc
import os
import subprocess
import sys
import threading
import time
import weakref
from types import SimpleNamespace

import pytest

import mysql_support
from conftest import needs_assertions
from Quillon.DB.Connector import AioMysqlConnector, PyMysqlConnector
from Quillon.Error.DbFault import DeadlockError, PoolTimeoutError

HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(scope="module")
def config():
    return mysql_support.settings()


@pytest.fixture
def database(config):
    db = mysql_support.Database(config)
    db.run("CREATE TABLE note (id INT AUTO_INCREMENT PRIMARY KEY, body VARCHAR(100) NOT NULL, stars INT)")
    yield db
    db.drop()


@pytest.fixture
def loop():
    loop = asyncio.new_event_loop()
    yield loop
    loop.run_until_complete(loop.shutdown_asyncgens())
    loop.close()


class Server:
    """A connector on a stopped loop, with the helpers the tests share."""

    def __init__(self, loop, database, **pool):
        self.loop = loop
        self.db = database
        self.connector = AioMysqlConnector(loop, **database.pool_settings(**pool))

    def run(self, coro):
        """Runs `coro` as a task of its own and lets its end-of-task work finish."""
        task = self.loop.create_task(coro)
        try:
            return self.loop.run_until_complete(task)
        finally:
            self.settle()

    def settle(self):
        """Waits (bounded) until every pooled connection is back in the pool
        and the finished tasks' entries are gone (the entry goes a loop step
        after the connection, once the pool has woken its waiters)."""
        pool = self.connector._pool
        for _ in range(200):
            self.loop.run_until_complete(asyncio.sleep(0.01))
            if pool is None or (pool.freesize == pool.size and conn_map(self.connector) == {}):
                return
        raise AssertionError(f"connections still out after 2s: {pool.size - pool.freesize}, {conn_map(self.connector)}")

    def close(self):
        pool = self.connector._pool
        if pool is not None:
            pool.close()
            self.loop.run_until_complete(asyncio.wait_for(pool.wait_closed(), 5))


@pytest.fixture
def server(loop, database):
    s = Server(loop, database, autocommit=False, maxsize=20)
    yield s
    s.close()


def conn_map(connector):
    """The connector's task-to-connection dict (reached through the GC, as it has no Python attribute)."""
    maps = [r for r in gc.get_referents(connector) if isinstance(r, dict) and r is not connector.config]
    assert len(maps) == 1, maps
    return maps[0]


# ---------------------------------------------------------------------------
# Construction and the pool
# ---------------------------------------------------------------------------


class TestPool:
    def test_ready_after_construction_with_stopped_loop(self, server, database):
        c = server.connector
        assert c.isReady is True and c.isAsync is True and c.Type == 0
        assert c.loop is server.loop
        assert c.config == database.pool_settings(autocommit=False, maxsize=20)
        rows = server.run(c.execute("SELECT DATABASE(), 1 + 1"))
        assert rows == ((database.name, 2),)

    def test_created_later_with_running_loop_is_usable_at_once(self, loop, database):
        async def body():
            c = AioMysqlConnector(asyncio.get_running_loop(), **database.pool_settings())
            states = [(c.isReady, c._pool)]
            # The first operations wait for the pool that is being made.
            rows = await asyncio.gather(c.execute("SELECT 40 + 2"), c.getTableNameList())
            states.append((c.isReady, c._pool is not None))
            await c.execute("INSERT INTO note (body) VALUES ('by main')")
            pool = c._pool
            await c.close()  # main's own connection is committed and given back
            with pytest.raises(RuntimeError, match="closed"):
                await c.execute("SELECT 1")
            return states, rows, pool

        states, rows, pool = loop.run_until_complete(body())
        assert states == [(False, None), (True, True)]
        assert rows == [((42,),), ["note"]]
        assert pool.closed and database.rows("SELECT body FROM note") == [("by main",)]

    def test_pool_creation_failing_on_a_running_loop_fails_every_operation(self, loop, database):
        import pymysql

        async def body():
            c = AioMysqlConnector(asyncio.get_running_loop(), **database.pool_settings(password="wrong"))
            for operation in (lambda: c.execute("SELECT 1"), c.getCon, c.getSelectCon, lambda: c.execute("SELECT 1")):
                with pytest.raises(pymysql.err.OperationalError) as info:
                    await asyncio.wait_for(operation(), 10)
                assert info.value.args[0] == 1045
            await asyncio.wait_for(c.close(), 10)  # nothing to close

        loop.run_until_complete(body())

    def test_pool_errors_surface_from_the_constructor(self, loop, database):
        import pymysql

        with pytest.raises(pymysql.err.OperationalError) as info:
            AioMysqlConnector(loop, **database.pool_settings(password="wrong"))
        assert info.value.args[0] == 1045  # access denied

    def test_loop_is_required(self, database):
        with pytest.raises(TypeError):
            AioMysqlConnector(**database.pool_settings())


# ---------------------------------------------------------------------------
# Per-task connections and the end of a task
# ---------------------------------------------------------------------------


class TestTaskConnections:
    def test_same_connection_within_a_task(self, server):
        async def body():
            a = await server.connector.getCon()
            b = await server.connector.getCon()
            return a, b

        a, b = server.run(body())
        assert a is b

    def test_two_tasks_get_two_connections(self, server):
        async def one():
            con = await server.connector.getCon()
            await asyncio.sleep(0.05)  # both tasks hold their connection at once
            rows = await server.connector.execute("SELECT CONNECTION_ID()")
            return con, rows[0][0]

        async def both():
            return await asyncio.gather(one(), one())

        (con1, id1), (con2, id2) = server.run(both())
        assert con1 is not con2 and id1 != id2

    def test_normal_end_commits(self, server, database):
        async def body():
            await server.connector.execute("INSERT INTO note (body, stars) VALUES (%s, %s)", args=("kept", 1))
            await server.connector.execute("INSERT INTO note (body, stars) VALUES (%s, %s)", args=("kept too", 2))
            # Not yet visible elsewhere: the task is one transaction.
            return database.rows("SELECT COUNT(*) FROM note")

        assert server.run(body()) == [(0,)]
        assert database.rows("SELECT body, stars FROM note ORDER BY id") == [("kept", 1), ("kept too", 2)]

    def test_raising_task_rolls_back(self, server, database):
        async def body():
            await server.connector.execute("INSERT INTO note (body) VALUES (%s)", args=("lost",))
            raise RuntimeError("boom")

        with pytest.raises(RuntimeError, match="boom"):
            server.run(body())
        assert database.rows("SELECT COUNT(*) FROM note") == [(0,)]

    def test_failed_statement_rolls_back_the_whole_task(self, server, database):
        import pymysql

        async def body():
            await server.connector.execute("INSERT INTO note (body) VALUES (%s)", args=("first",))
            await server.connector.execute("INSERT INTO note (body) VALUES (%s)", args=(None,))  # NOT NULL

        with pytest.raises(pymysql.err.IntegrityError):
            server.run(body())
        assert database.rows("SELECT COUNT(*) FROM note") == [(0,)]

    def test_cancelled_task_rolls_back(self, server, database):
        started = asyncio.Event()

        async def body():
            await server.connector.execute("INSERT INTO note (body) VALUES (%s)", args=("cancelled",))
            started.set()
            await asyncio.sleep(30)

        async def driver():
            task = asyncio.get_running_loop().create_task(body())
            await started.wait()
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

        server.run(driver())
        assert database.rows("SELECT COUNT(*) FROM note") == [(0,)]

    def test_tasks_commit_and_roll_back_independently(self, server, database):
        async def writer(i):
            await server.connector.execute("INSERT INTO note (body, stars) VALUES (%s, %s)", args=(f"n{i}", i))
            await asyncio.sleep(0.01)
            if i % 3 == 0:
                raise ValueError(i)

        async def body():
            return await asyncio.gather(*(writer(i) for i in range(12)), return_exceptions=True)

        results = server.run(body())
        assert [isinstance(r, ValueError) for r in results] == [i % 3 == 0 for i in range(12)]
        kept = [r[0] for r in database.rows("SELECT stars FROM note ORDER BY stars")]
        assert kept == [i for i in range(12) if i % 3]

    def test_finished_tasks_leave_nothing_behind(self, server, database):
        refs = []

        async def writer(i):
            refs.append(weakref.ref(asyncio.current_task()))
            await server.connector.execute("INSERT INTO note (body, stars) VALUES (%s, %s)", args=("w", i))

        async def body(n):
            await asyncio.gather(*(asyncio.ensure_future(writer(i)) for i in range(n)))

        for rounds in range(3):
            server.run(body(40))
            assert conn_map(server.connector) == {}
        gc.collect()
        assert sum(1 for r in refs if r() is not None) == 0
        assert database.rows("SELECT COUNT(*) FROM note") == [(120,)]
        pool = server.connector._pool
        assert pool.freesize == pool.size


    def test_lost_connections_are_logged_once_each_and_tasks_keep_their_error(self, server, database, caplog):
        import logging

        import pymysql

        caplog.set_level(logging.DEBUG, logger="Quillon.DB")
        handled = []
        server.loop.set_exception_handler(lambda loop, context: handled.append(context))
        c, ids = server.connector, []

        async def work(i):
            await c.execute("INSERT INTO note (body) VALUES (%s)", args=("lost %d" % i,))
            ids.append((await c.execute("SELECT CONNECTION_ID()"))[0][0])
            await c.execute("SELECT SLEEP(20)")  # killed meanwhile

        async def body():
            tasks = [asyncio.create_task(work(i)) for i in range(20)]
            while len(ids) < 20:
                await asyncio.sleep(0.02)
            await asyncio.sleep(0.1)
            for cid in ids:
                database.run("KILL %s" % cid)
            return await asyncio.gather(*tasks, return_exceptions=True)

        outcomes = server.run(body())
        assert all(isinstance(o, pymysql.err.OperationalError) and o.args[0] == 2013 for o in outcomes), outcomes
        assert handled == []
        logged = [r for r in caplog.records if r.name == "Quillon.DB" and r.levelno >= logging.WARNING]
        assert len(logged) == 20 and all(r.levelno == logging.WARNING and "was lost" in r.getMessage() for r in logged)
        assert all(r.exc_info is None for r in logged)
        assert database.rows("SELECT COUNT(*) FROM note") == [(0,)]

    def test_a_failed_commit_is_the_task_exception_and_stores_nothing(self, server, database):
        import pymysql

        c = server.connector

        async def work():
            await c.execute("INSERT INTO note (body) VALUES ('never acknowledged')")
            (cid,), = await c.execute("SELECT CONNECTION_ID()")
            database.run("KILL %s" % cid)  # before the task's commit

        async def body():
            with pytest.raises((pymysql.err.OperationalError, pymysql.err.InterfaceError)):
                await asyncio.create_task(work())

        server.run(body())
        assert database.rows("SELECT COUNT(*) FROM note") == [(0,)]


class TestBoundedWaits:
    def test_a_task_that_needs_a_connection_its_waiting_holders_keep_fails_at_once(self, loop, database):
        s = Server(loop, database, autocommit=False, maxsize=1, acquire_timeout=20)
        c = s.connector

        async def child():
            return await c.execute("SELECT 1")

        async def holder():
            await c.execute("SELECT 1")  # holds the pool's one connection
            started = loop.time()
            with pytest.raises(DeadlockError, match="wait for it to end"):
                await asyncio.create_task(child())
            with pytest.raises(DeadlockError):
                await asyncio.gather(child())
            return loop.time() - started

        try:
            assert s.run(holder()) < 2
            assert s.run(child()) == ((1,),)  # free again once the holder ended
        finally:
            s.close()

    def test_a_wait_for_the_full_pool_is_bounded(self, loop, database):
        s = Server(loop, database, autocommit=False, maxsize=1, acquire_timeout=0.5)
        c = s.connector
        assert c.acquire_timeout == 0.5 and c.config == database.pool_settings(autocommit=False, maxsize=1)

        async def sleeper(release):
            await c.execute("SELECT 1")
            await release.wait()

        async def body():
            release = asyncio.Event()
            holding = asyncio.create_task(sleeper(release))
            await asyncio.sleep(0.1)
            started = loop.time()
            with pytest.raises(PoolTimeoutError, match="within acquire_timeout=0.5 seconds"):
                await asyncio.create_task(c.execute("SELECT 2"))
            waited = loop.time() - started
            release.set()
            await holding
            return waited, await asyncio.create_task(c.execute("SELECT 3"))

        try:
            waited, rows = s.run(body())
            assert 0.4 < waited < 3 and rows == ((3,),)
        finally:
            s.close()

    @pytest.mark.parametrize("kind", ["blocking", "awaited"])
    def test_lock_wait_timeout_is_a_setting(self, loop, database, kind):
        import pymysql

        holder = mysql_support.connect(database.config, database.name)
        holder.autocommit(False)
        database.run("INSERT INTO note (body) VALUES ('locked')")
        try:
            with holder.cursor() as cur:
                cur.execute("SELECT * FROM note FOR UPDATE")
            update = "UPDATE note SET body = 'mine'"
            if kind == "blocking":
                c = PyMysqlConnector(**database.pool_settings(), lock_wait_timeout=1)
                assert c.lock_wait_timeout == 1 and PyMysqlConnector().lock_wait_timeout is None
                run = lambda: c.execute(update)  # noqa: E731
            else:
                s = Server(loop, database, lock_wait_timeout=1)
                c = s.connector
                assert c.lock_wait_timeout == 1
                run = lambda: s.run(c.execute(update))  # noqa: E731
            started = time.monotonic()
            with pytest.raises(pymysql.err.OperationalError) as info:
                run()
            assert info.value.args[0] == 1205 and time.monotonic() - started < 5
            c.close() if kind == "blocking" else s.close()
        finally:
            holder.rollback()
            holder.close()

    def test_blocking_connections_speak_utf8mb4_and_go_back_to_the_pool(self, database):
        c = PyMysqlConnector(**database.pool_settings())
        assert c.execute("SELECT @@character_set_connection, %s", args=("\U0001F600",)) == (("utf8mb4", "\U0001F600"),)
        threads = [threading.Thread(target=c.execute, args=("SELECT SLEEP(0.1)",)) for _ in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert c.size == c.freesize == 3  # reused afterwards, none left out
        c.close()
        assert c.size == c.freesize == 0

    def test_blocking_pool_waits_are_bounded_and_a_wait_for_itself_fails_at_once(self, database):
        c = PyMysqlConnector(**database.pool_settings(), maxsize=1, acquire_timeout=0.3)
        held = c.getCon()
        try:
            with pytest.raises(DeadlockError, match="held by this thread"):
                c.execute("SELECT 1")
            failures = []

            def other_thread():
                started = time.monotonic()
                try:
                    c.execute("SELECT 1")
                except PoolTimeoutError:
                    failures.append(time.monotonic() - started)

            t = threading.Thread(target=other_thread)
            t.start()
            t.join()
            assert len(failures) == 1 and 0.25 < failures[0] < 3
        finally:
            c.releaseCon(held)
        assert c.execute("SELECT 1") == ((1,),)
        c.close()


def test_acknowledged_writes_survive_a_server_crash(tmp_path):
    """A row whose task (or blocking statement) returned is on disk: the
    server killed right after and started again still has it."""
    repo = os.path.dirname(HERE)
    started = subprocess.run(["bash", os.path.join(repo, "scripts", "mariadb"), "start"], capture_output=True,
                             text=True, timeout=300)
    if started.returncode != 0:
        pytest.skip("no second MariaDB server could be started: " + started.stderr[-500:])
    env = dict(line.replace("export ", "", 1).split("=", 1) for line in started.stdout.splitlines() if "=" in line)
    instance = env["QUILLON_MARIADB_DIR"]
    try:
        config = {"host": env["QUILLON_MYSQL_HOST"], "port": int(env["QUILLON_MYSQL_PORT"]),
                  "user": env["QUILLON_MYSQL_USER"], "password": env["QUILLON_MYSQL_PASSWORD"],
                  "db": env["QUILLON_MYSQL_DB"]}
        mysql_support.query(config, config["db"], "CREATE TABLE note (id INT AUTO_INCREMENT PRIMARY KEY, body TEXT)")
        program = f"""
import asyncio, subprocess
from Quillon.DB.Connector import AioMysqlConnector, PyMysqlConnector
from Quillon.DB.utils import transaction
config = {config!r}
crash = ["bash", {os.path.join(repo, "scripts", "mariadb")!r}, "crash", {instance!r}]

async def save(c, body):
    await c.execute("INSERT INTO note (body) VALUES (%s)", args=(body,))

async def main():
    c = AioMysqlConnector(asyncio.get_running_loop(), **config)
    await asyncio.create_task(save(c, "task"))
    async def in_block():
        async with transaction(c):
            await asyncio.gather(save(c, "block 1"), save(c, "block 2"))
    await asyncio.create_task(in_block())
    blocking = PyMysqlConnector(**config)
    blocking.execute("INSERT INTO note (body) VALUES ('statement')")
    with transaction(blocking):
        blocking.execute("INSERT INTO note (body) VALUES ('blocking block')")
    subprocess.run(crash, check=True, capture_output=True)

asyncio.run(main())
"""
        proc = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=120)
        assert proc.returncode == 0, proc.stderr[-3000:]
        restarted = subprocess.run(["bash", os.path.join(repo, "scripts", "mariadb"), "restart", instance],
                                   capture_output=True, text=True, timeout=300)
        assert restarted.returncode == 0, restarted.stderr[-2000:]
        bodies = sorted(r[0] for r in mysql_support.query(config, config["db"], "SELECT body FROM note"))
        assert bodies == ["block 1", "block 2", "blocking block", "statement", "task"], bodies
    finally:
        subprocess.run(["bash", os.path.join(repo, "scripts", "mariadb"), "stop", instance], capture_output=True,
                       timeout=300)


# ---------------------------------------------------------------------------
# execute
# ---------------------------------------------------------------------------


class TestExecute:
    @pytest.fixture
    def filled(self, database):
        for body, stars in [("a", 1), ("it's", 2), ("c", None)]:
            database.run("INSERT INTO note (body, stars) VALUES (%s, %s)", (body, stars))
        return database

    def test_tuple_rows(self, server, filled):
        rows = server.run(server.connector.execute("SELECT id, body, stars FROM note ORDER BY id"))
        assert [tuple(r) for r in rows] == [(1, "a", 1), (2, "it's", 2), (3, "c", None)]

    def test_dict_rows(self, server, filled):
        rows = server.run(
            server.connector.execute("SELECT body, stars FROM note WHERE stars >= %s ORDER BY id", dictCur=True, args=(1,))
        )
        assert [dict(r) for r in rows] == [{"body": "a", "stars": 1}, {"body": "it's", "stars": 2}]

    def test_values_travel_as_arguments(self, server, database):
        tricky = "o'brien\"; DROP TABLE note; --"

        async def body():
            await server.connector.execute("INSERT INTO note (body) VALUES (%s)", args=(tricky,))
            return await server.connector.execute("SELECT body FROM note WHERE body = %s", args=(tricky,))

        assert server.run(body()) == ((tricky,),)
        assert database.rows("SELECT body FROM note") == [(tricky,)]

    def test_bytes_arguments(self, server, database):
        database.run("CREATE TABLE blob_note (id INT PRIMARY KEY, data BLOB, flag BIT(1))")
        payload = bytes(range(256))

        async def body():
            await server.connector.execute(
                "INSERT INTO blob_note (id, data, flag) VALUES (%s, %s, %s)", args=(1, payload, b"\x01")
            )
            return await server.connector.execute("SELECT id FROM blob_note WHERE data = %s", args=(payload,))

        assert server.run(body()) == ((1,),)
        assert database.rows("SELECT data, flag FROM blob_note") == [(payload, b"\x01")]

    def test_on_a_given_connection(self, server, database):
        c = server.connector

        async def body():
            con = await c.getSelectCon()
            try:
                await c.execute("INSERT INTO note (body) VALUES (%s)", con=con, args=("given",))
                held = dict(conn_map(c))
                seen_inside = await c.execute("SELECT body FROM note", con=con)
                before_commit = database.rows("SELECT COUNT(*) FROM note")
                await con.commit()
            finally:
                await c.releaseCon(con)
            return held, seen_inside, before_commit

        held, seen_inside, before_commit = server.run(body())
        assert held == {}  # the task took no connection of its own
        assert seen_inside == (("given",),) and before_commit == [(0,)]
        assert database.rows("SELECT body FROM note") == [("given",)]

    def test_given_connection_is_not_committed_by_the_task(self, server, database):
        c = server.connector

        async def body():
            con = await c.getSelectCon()
            await c.execute("INSERT INTO note (body) VALUES (%s)", con=con, args=("uncommitted",))
            await con.rollback()
            await c.releaseCon(con)

        server.run(body())
        assert database.rows("SELECT COUNT(*) FROM note") == [(0,)]

    @pytest.mark.parametrize(
        "kwargs, name",
        [({"sql": b"SELECT 1"}, "sql"), ({"sql": "SELECT 1", "args": [1]}, "args")],
    )
    def test_argument_types_are_checked(self, server, kwargs, name):
        with pytest.raises(TypeError, match=f"'{name}'"):
            server.connector.execute(**kwargs)

    def test_sql_errors_pass_through(self, server):
        import pymysql

        with pytest.raises(pymysql.err.ProgrammingError) as info:
            server.run(server.connector.execute("SELECT * FROM no_such_table"))
        assert info.value.args[0] == 1146


# ---------------------------------------------------------------------------
# Table listing and the auto-increment declaration
# ---------------------------------------------------------------------------


class TestTables:
    def test_lists_the_configured_database(self, server, database):
        database.run("CREATE TABLE other (id INT)")
        names = server.run(server.connector.getTableNameList())
        assert sorted(names) == ["note", "other"] and isinstance(names, list)

    @pytest.mark.parametrize("suffix", ["it's", "a' OR '1'='1", 'q"uote\\'])
    def test_database_name_with_quotes(self, loop, config, suffix):
        db = mysql_support.Database(config, name="quillon_" + suffix)
        try:
            db.run("CREATE TABLE only_here (id INT)")
            s = Server(loop, db)
            try:
                assert s.run(s.connector.getTableNameList()) == ["only_here"]
            finally:
                s.close()
        finally:
            db.drop()

    @pytest.mark.parametrize(
        "target, args, text",
        [
            ("INT", (11,), "INT(11) AUTO_INCREMENT"),
            ("BIGINT", (20,), "BIGINT(20) AUTO_INCREMENT"),
            ("INT", (), "INT AUTO_INCREMENT"),
            ("DECIMAL", (10, 2), "DECIMAL(10, 2) AUTO_INCREMENT"),
        ],
    )
    def test_announcement_text(self, server, target, args, text):
        col = SimpleNamespace(targetType=target, typeArgs=args)
        assert server.connector.autoFiledAnnounce(col) == text

    @pytest.mark.parametrize("target, args", [("INT", (11,)), ("BIGINT", (20,)), ("INT", ())])
    def test_announced_keys_count_up_on_the_server(self, server, database, target, args):
        declared = server.connector.autoFiledAnnounce(SimpleNamespace(targetType=target, typeArgs=args))
        database.run(f"CREATE TABLE counted (id {declared} PRIMARY KEY, v INT)")
        for v in range(3):
            database.run("INSERT INTO counted (v) VALUES (%s)", (v,))
        assert database.rows("SELECT id, v FROM counted ORDER BY id") == [(1, 0), (2, 1), (3, 2)]
        column = database.rows(
            "SELECT DATA_TYPE, EXTRA FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = %s AND TABLE_NAME = 'counted' AND COLUMN_NAME = 'id'",
            (database.name,),
        )
        assert column == [(target.lower(), "auto_increment")]


# ---------------------------------------------------------------------------
# asyncProcess argument checks (no connection is taken)
# ---------------------------------------------------------------------------


class TestAsyncProcessArguments:
    @needs_assertions
    def test_missing_executor(self, server):
        async def body():
            with pytest.raises(AssertionError, match="需要传入executor参数,且必须为AsyncModelExecutor实例"):
                await server.connector.asyncProcess()
            return dict(conn_map(server.connector))

        assert server.run(body()) == {}

    def test_wrong_executor_type(self, server):
        async def body():
            with pytest.raises(TypeError):
                await server.connector.asyncProcess(executor="not an executor")
            return dict(conn_map(server.connector))

        assert server.run(body()) == {}


# ---------------------------------------------------------------------------
# Scenarios that need the facade, each in a fresh interpreter
# ---------------------------------------------------------------------------


def run_scenario(name, database, tmp_path, kind="awaited"):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [HERE, env.get("PYTHONPATH", "")] if p)
    env["QUILLON_MYSQL_SCENARIO_DB"] = database.name
    proc = subprocess.run(
        [sys.executable, os.path.join(HERE, "mysql_scenarios.py"), name, kind],
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

    runs = [(n, "awaited") for n in sorted(mysql_scenarios.SCENARIOS) if n not in mysql_scenarios.BLOCKING_ONLY]
    return runs + [(n, "blocking") for n in sorted(mysql_scenarios.BLOCKING)]


@pytest.mark.parametrize("name, kind", scenario_runs())
def test_scenario(name, kind, config, tmp_path):
    db = mysql_support.Database(config)
    try:
        run_scenario(name, db, tmp_path, kind)
    finally:
        db.drop()


def test_example_application_on_mysql(config, tmp_path):
    db = mysql_support.Database(config)
    try:
        address = f"{config['host']}:{config['port']}/{db.name}"
        proc = subprocess.run(
            [sys.executable, os.path.join(os.path.dirname(HERE), "examples", "app.py"), "--mysql", address,
             config["user"], config["password"]],
            cwd=tmp_path, capture_output=True, text=True, timeout=120,
        )
        assert proc.returncode == 0, proc.stdout[-2000:] + proc.stderr[-4000:]
        assert "awaited: total members: 3" in proc.stdout, proc.stdout
        assert db.rows("SELECT name, age FROM member ORDER BY name") == [("Eve", 41), ("Fay", 23), ("Gus", 65)]
        assert db.rows("SELECT title FROM post") == [("Async hello",)]
    finally:
        db.drop()
