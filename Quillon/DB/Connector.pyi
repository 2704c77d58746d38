"""The database connectors."""

import logging
import sqlite3
from asyncio import AbstractEventLoop, Task
from typing import Any, Callable, Coroutine, Iterator, Literal, Sequence, TypeVar, overload

from typing_extensions import Self

from Quillon.Model.Columns import BaseProperty
from Quillon.Model.Executors import AsyncModelExecutor, ModelExecutor

_logger: logging.Logger
lock: Any
"""A process-wide ``multiprocessing.Lock``, kept for compatibility: the connectors no longer hold it
(SQLite's own locking serialises writers, and each thread runs on a connection of its own)."""

def dict_factory(cursor: Any, row: Sequence[Any]) -> dict[str, Any]: ...

class BaseConnector:
    """Base of every connector: shared fields and do-nothing defaults."""

    _pool: Any
    _config: dict[str, Any] | None
    isAsync: bool
    isReady: bool
    def __init__(self) -> None: ...
    @property
    def Type(self) -> int: ...
    @property
    def paramsHolder(self) -> str: ...
    @property
    def dialect(self) -> Literal["sqlite", "mysql", "postgres"]: ...
    def process(self, *args: Any, **kwargs: Any) -> Any: ...
    def asyncProcess(self, *args: Any, **kwargs: Any) -> Coroutine[Any, Any, Any]: ...
    def GenerateTable(self) -> None: ...
    def close(self) -> Any:
        """Closes the connector (an awaitable with the asyncio connectors); nothing here."""

class Sqlite3Connector(BaseConnector):
    """Blocking SQLite, a connection per thread.

    The main thread runs on ``con``, every other thread on a connection of
    its own (an in-memory database: every thread on ``con``, one at a time),
    so a transaction block belongs to the thread that opened it.  ``timeout``
    is how many seconds a statement waits for another connection's lock
    before failing with "database is locked" (default 30).
    """

    def __init__(self, path: str | None, showLog: bool = True, *, timeout: float = 30.0) -> None: ...
    @property
    def con(self) -> sqlite3.Connection: ...
    @property
    def path(self) -> str | None: ...
    @property
    def timeout(self) -> float: ...
    def getCon(self) -> sqlite3.Connection: ...
    def releaseCon(self, con: sqlite3.Connection, /) -> None: ...
    def _openRows(
        self, sql: str, args: tuple[Any, ...] | None = (), con: Any = None, interleaved: bool = False
    ) -> Any:
        """The rows of a select as a row stream: ``fetch(n)`` gives the next n as dicts (awaitable on
        asyncio connectors), ``close()`` releases its cursor; used by ``iterate()``."""
    @overload
    def execute(
        self, sql: str | None, con: Any = None, dictCur: Literal[False] = False, args: tuple[Any, ...] | None = ()
    ) -> tuple[Any, ...]: ...
    @overload
    def execute(
        self, sql: str | None, con: Any = None, *, dictCur: Literal[True], args: tuple[Any, ...] | None = ()
    ) -> Iterator[dict[str, Any]]: ...
    @overload
    def execute(
        self, sql: str | None, con: Any, dictCur: Literal[True], args: tuple[Any, ...] | None = ()
    ) -> Iterator[dict[str, Any]]: ...
    @overload
    def execute(
        self, sql: str | None, con: Any = None, dictCur: bool = False, args: tuple[Any, ...] | None = ()
    ) -> tuple[Any, ...] | Iterator[dict[str, Any]]: ...
    def process(self, executor: ModelExecutor, con: Any = None) -> Any: ...
    def getTableNameList(self) -> list[str]: ...
    def autoFiledAnnounce(self, col: BaseProperty, /) -> str: ...
    def _beginTransaction(self) -> None: ...
    def _endTransaction(self, succeeded: object, /) -> None: ...
    def close(self) -> None:
        """Closes the connector's connections; statements after that fail."""

class AioSqliteConnector(BaseConnector):
    """Awaitable SQLite, one connection per asyncio task.

    ``timeout`` is how many seconds a statement waits for another
    connection's lock before failing with "database is locked" (default 5).
    ``pool_size`` is how many open connections, committed at the end of
    their task, wait for the next task instead of being closed (default 10;
    0 closes each one when its task ends).
    """

    def __init__(
        self,
        loop: AbstractEventLoop,
        *,
        path: str | None = ...,
        showLog: bool = True,
        timeout: float = 5.0,
        pool_size: int = 10,
        **kwargs: Any,
    ) -> None: ...
    @property
    def loop(self) -> AbstractEventLoop: ...
    @property
    def path(self) -> str | None: ...
    @property
    def timeout(self) -> float: ...
    @property
    def pool_size(self) -> int: ...
    def init_sqlite(self, path: str | None, showLog: bool = True) -> None: ...
    def getCon(self) -> Coroutine[Any, Any, Any]: ...
    def releaseCon(self, task: Task[Any], /) -> None: ...
    def _openRows(
        self, sql: str, args: tuple[Any, ...] | None = (), con: Any = None, interleaved: bool = False
    ) -> Any:
        """The rows of a select as a row stream: ``fetch(n)`` gives the next n as dicts (awaitable on
        asyncio connectors), ``close()`` releases its cursor; used by ``iterate()``."""
    @overload
    def execute(
        self, sql: str | None, con: Any = None, dictCur: Literal[False] = False, args: tuple[Any, ...] | None = ()
    ) -> Coroutine[Any, Any, tuple[Any, ...]]: ...
    @overload
    def execute(
        self, sql: str | None, con: Any = None, *, dictCur: Literal[True], args: tuple[Any, ...] | None = ()
    ) -> Coroutine[Any, Any, list[dict[str, Any]]]: ...
    @overload
    def execute(
        self, sql: str | None, con: Any, dictCur: Literal[True], args: tuple[Any, ...] | None = ()
    ) -> Coroutine[Any, Any, list[dict[str, Any]]]: ...
    @overload
    def execute(
        self, sql: str | None, con: Any = None, dictCur: bool = False, args: tuple[Any, ...] | None = ()
    ) -> Coroutine[Any, Any, tuple[Any, ...] | list[dict[str, Any]]]: ...
    def asyncProcess(
        self, *args: Any, executor: AsyncModelExecutor, **kwargs: Any
    ) -> Coroutine[Any, Any, Any]: ...
    def getTableNameList(self) -> Coroutine[Any, Any, list[str]]: ...
    def autoFiledAnnounce(self, col: BaseProperty, /) -> str: ...
    def close(self) -> Coroutine[Any, Any, None]:
        """Refuses new connections and ends the calling task's own (committed).

        A task still running keeps its connection until it ends; it is then
        committed and closed as always.
        """

class AioMysqlConnector(BaseConnector):
    """Awaitable MySQL, one pooled connection per asyncio task; keywords are the pool settings.

    The connection character set is utf8mb4 unless ``charset`` is given, and
    the client flag FOUND_ROWS is always added to ``client_flag``, so an
    UPDATE counts the rows it matched (as SQLite does).  ``acquire_timeout``
    is how many seconds a task waits for a connection of the full pool
    before PoolTimeoutError (a wait that could never end fails at once with
    DeadlockError); ``lock_wait_timeout`` sets the sessions'
    innodb_lock_wait_timeout (None: the server's own, 50 seconds unless it
    is configured otherwise).
    """

    def __init__(
        self,
        loop: AbstractEventLoop,
        *args: Any,
        acquire_timeout: float = 30.0,
        lock_wait_timeout: int | None = None,
        **kwargs: Any,
    ) -> None: ...
    @property
    def config(self) -> dict[str, Any] | None: ...
    @property
    def loop(self) -> AbstractEventLoop: ...
    @property
    def acquire_timeout(self) -> float: ...
    @property
    def lock_wait_timeout(self) -> int | None: ...
    def _init_mysql(self, *args: Any, **kwargs: Any) -> Coroutine[Any, Any, None]: ...
    def getCon(self) -> Coroutine[Any, Any, Any]: ...
    def getSelectCon(self) -> Coroutine[Any, Any, Any]: ...
    def releaseCon(self, con: Any, /) -> Any: ...
    def _openRows(
        self, sql: str, args: tuple[Any, ...] | None = (), con: Any = None, interleaved: bool = False
    ) -> Any:
        """The rows of a select as a row stream: ``fetch(n)`` gives the next n as dicts (awaitable on
        asyncio connectors), ``close()`` releases its cursor; used by ``iterate()``."""
    def _releaseCon(self, task: Task[Any], /) -> None: ...
    def execute(
        self, sql: str | None, con: Any = None, dictCur: bool = False, args: tuple[Any, ...] | None = ()
    ) -> Coroutine[Any, Any, Any]: ...
    def asyncProcess(
        self, *args: Any, executor: AsyncModelExecutor, con: Any = ..., **kwargs: Any
    ) -> Coroutine[Any, Any, Any]: ...
    def getTableNameList(self) -> Coroutine[Any, Any, list[Any]]: ...
    def autoFiledAnnounce(self, col: BaseProperty, /) -> str: ...
    def close(self) -> Coroutine[Any, Any, None]:
        """Refuses new connections, ends the calling task's own (committed) and closes the pool.

        A connection still out is committed and closed when its task ends.
        """

class PyMysqlConnector(BaseConnector):
    """Blocking MySQL over a pool of connections; keywords are pymysql.connect's.

    Nothing connects before the first statement.  A statement outside a
    transaction block takes a connection of the pool, runs (committed at
    once: connections run with autocommit on) and gives it back; a block of
    the calling thread keeps one connection until it ends.  ``maxsize``
    connections are out at once at most (0: no limit); a statement waits up
    to ``acquire_timeout`` seconds for one to come back.  Defaults as the
    awaited connector: utf8mb4, FOUND_ROWS, ``lock_wait_timeout``.
    """

    def __init__(
        self,
        *,
        maxsize: int = 10,
        acquire_timeout: float = 30.0,
        lock_wait_timeout: int | None = None,
        **kwargs: Any,
    ) -> None: ...
    @property
    def config(self) -> dict[str, Any] | None: ...
    @property
    def maxsize(self) -> int: ...
    @property
    def size(self) -> int:
        """Connections open: given out and resting in the pool."""
    @property
    def freesize(self) -> int:
        """Connections resting in the pool."""
    @property
    def acquire_timeout(self) -> float: ...
    @property
    def lock_wait_timeout(self) -> int | None: ...
    def getCon(self) -> Any: ...
    def releaseCon(self, con: Any, /) -> None: ...
    def _openRows(
        self, sql: str, args: tuple[Any, ...] | None = (), con: Any = None, interleaved: bool = False
    ) -> Any:
        """The rows of a select as a row stream: ``fetch(n)`` gives the next n as dicts (awaitable on
        asyncio connectors), ``close()`` releases its cursor; used by ``iterate()``."""
    @overload
    def execute(
        self, sql: str | None, con: Any = None, dictCur: Literal[False] = False, args: tuple[Any, ...] | None = ()
    ) -> tuple[Any, ...]: ...
    @overload
    def execute(
        self, sql: str | None, con: Any = None, *, dictCur: Literal[True], args: tuple[Any, ...] | None = ()
    ) -> list[dict[str, Any]]: ...
    @overload
    def execute(
        self, sql: str | None, con: Any, dictCur: Literal[True], args: tuple[Any, ...] | None = ()
    ) -> list[dict[str, Any]]: ...
    @overload
    def execute(
        self, sql: str | None, con: Any = None, dictCur: bool = False, args: tuple[Any, ...] | None = ()
    ) -> tuple[Any, ...] | list[dict[str, Any]]: ...
    def process(self, executor: ModelExecutor, con: Any = None) -> Any: ...
    def getTableNameList(self) -> list[str]: ...
    def autoFiledAnnounce(self, col: BaseProperty, /) -> str: ...
    def _beginTransaction(self) -> None: ...
    def _endTransaction(self, succeeded: object, /) -> None: ...
    def close(self) -> None:
        """Closes the pool's connections (those out when they come back); statements after that fail."""

class PostgresConnector(BaseConnector):
    """Blocking PostgreSQL over a pool of psycopg connections; keywords are
    psycopg's connection keywords, or ``conninfo`` (a connection string).

    Nothing connects before the first statement.  A statement outside a
    transaction block takes a connection of the pool, runs (committed at
    once: connections run with autocommit on) and gives it back; a block of
    the calling thread keeps one connection until it ends.  ``maxsize``
    connections are out at once at most (0: no limit); a statement waits up
    to ``acquire_timeout`` seconds for one to come back.  ``schema`` is the
    schema whose tables ``getTableNameList()`` lists.
    """

    def __init__(
        self,
        *,
        maxsize: int = 10,
        acquire_timeout: float = 30.0,
        schema: str = "public",
        conninfo: str = "",
        **kwargs: Any,
    ) -> None: ...
    @property
    def config(self) -> dict[str, Any] | None: ...
    @property
    def maxsize(self) -> int: ...
    @property
    def size(self) -> int:
        """Connections open: given out and resting in the pool."""
    @property
    def freesize(self) -> int:
        """Connections resting in the pool."""
    @property
    def acquire_timeout(self) -> float: ...
    def _openRows(
        self, sql: str, args: tuple[Any, ...] | None = (), con: Any = None, interleaved: bool = False
    ) -> Any:
        """The rows of a select as a row stream: ``fetch(n)`` gives the next n as dicts (awaitable on
        asyncio connectors), ``close()`` releases its cursor; used by ``iterate()``."""
    def getCon(self) -> Any: ...
    def releaseCon(self, con: Any, /) -> None: ...
    @overload
    def execute(
        self, sql: str | None, con: Any = None, dictCur: Literal[False] = False, args: tuple[Any, ...] | None = ()
    ) -> tuple[Any, ...]: ...
    @overload
    def execute(
        self, sql: str | None, con: Any = None, *, dictCur: Literal[True], args: tuple[Any, ...] | None = ()
    ) -> list[dict[str, Any]]: ...
    @overload
    def execute(
        self, sql: str | None, con: Any, dictCur: Literal[True], args: tuple[Any, ...] | None = ()
    ) -> list[dict[str, Any]]: ...
    @overload
    def execute(
        self, sql: str | None, con: Any = None, dictCur: bool = False, args: tuple[Any, ...] | None = ()
    ) -> tuple[Any, ...] | list[dict[str, Any]]: ...
    def process(self, executor: ModelExecutor, con: Any = None) -> Any: ...
    def getTableNameList(self) -> list[str]: ...
    def autoFiledAnnounce(self, col: BaseProperty, /) -> str: ...
    def _beginTransaction(self) -> None: ...
    def _endTransaction(self, succeeded: object, /) -> None: ...
    def _blockDepth(self) -> int:
        """How many transaction blocks of the calling thread are open."""
    def close(self) -> None:
        """Closes the pool's connections (those out when they come back); statements after that fail."""

class AioPostgresConnector(BaseConnector):
    """Awaitable PostgreSQL, one pooled psycopg connection per asyncio task.

    Keywords are psycopg's connection keywords, or ``conninfo``; the pool
    (psycopg_pool) keeps ``min_size`` to ``max_size`` connections.
    ``acquire_timeout`` is how many seconds a task waits for a connection of
    the full pool before PoolTimeoutError (a wait that could never end fails
    at once with DeadlockError).  A statement that fails ends the task's
    transaction (PostgreSQL refuses every later statement of it): run work
    that may fail and go on in a ``transaction()`` block (a savepoint).
    """

    def __init__(
        self,
        loop: AbstractEventLoop,
        *,
        min_size: int = 1,
        max_size: int = 10,
        acquire_timeout: float = 30.0,
        schema: str = "public",
        conninfo: str = "",
        **kwargs: Any,
    ) -> None: ...
    @property
    def config(self) -> dict[str, Any] | None: ...
    @property
    def loop(self) -> AbstractEventLoop: ...
    @property
    def maxsize(self) -> int | None: ...
    @property
    def acquire_timeout(self) -> float: ...
    def _openRows(
        self, sql: str, args: tuple[Any, ...] | None = (), con: Any = None, interleaved: bool = False
    ) -> Any:
        """The rows of a select as a row stream: ``fetch(n)`` gives the next n as dicts (awaitable on
        asyncio connectors), ``close()`` releases its cursor; used by ``iterate()``."""
    def getCon(self) -> Coroutine[Any, Any, Any]: ...
    def getSelectCon(self) -> Coroutine[Any, Any, Any]: ...
    def releaseCon(self, con: Any, /) -> Any: ...
    def _releaseCon(self, task: Task[Any], /) -> None: ...
    def execute(
        self, sql: str | None, con: Any = None, dictCur: bool = False, args: tuple[Any, ...] | None = ()
    ) -> Coroutine[Any, Any, Any]: ...
    def asyncProcess(
        self, *args: Any, executor: AsyncModelExecutor, con: Any = ..., **kwargs: Any
    ) -> Coroutine[Any, Any, Any]: ...
    def getTableNameList(self) -> Coroutine[Any, Any, list[Any]]: ...
    def autoFiledAnnounce(self, col: BaseProperty, /) -> str: ...
    def close(self) -> Coroutine[Any, Any, None]:
        """Refuses new connections, ends the calling task's own (committed) and closes the pool."""

_Callback = TypeVar("_Callback", bound=Callable[[], Any])

class Transaction:
    """One transaction block: ``with`` on a blocking connector, ``async with`` on an asyncio one.

    Made by ``Quillon.DB.utils.transaction(connector=None)``.  Commits when
    the block ends normally, rolls back when it raises or its task is
    cancelled; a nested block is a savepoint.
    """

    def __init__(self, connector: BaseConnector | None = None) -> None: ...
    @property
    def connector(self) -> BaseConnector | None: ...
    def onCommit(self, callback: _Callback, /) -> _Callback:
        """Calls ``callback()`` after the outermost block commits, never after a rollback."""
    def __enter__(self) -> Self: ...
    def __exit__(self, *exc: Any) -> Literal[False]: ...
    def __aenter__(self) -> Coroutine[Any, Any, Self]: ...
    def __aexit__(self, *exc: Any) -> Coroutine[Any, Any, Literal[False]]: ...
