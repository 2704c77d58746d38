"""The database connectors."""

import logging
import sqlite3
from asyncio import AbstractEventLoop, Task
from typing import Any, Coroutine, Iterator, Literal, Sequence, overload

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
    def dialect(self) -> Literal["sqlite", "mysql"]: ...
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
    """

    def __init__(
        self,
        loop: AbstractEventLoop,
        *,
        path: str | None = ...,
        showLog: bool = True,
        timeout: float = 5.0,
        **kwargs: Any,
    ) -> None: ...
    @property
    def loop(self) -> AbstractEventLoop: ...
    @property
    def path(self) -> str | None: ...
    @property
    def timeout(self) -> float: ...
    def init_sqlite(self, path: str | None, showLog: bool = True) -> None: ...
    def getCon(self) -> Coroutine[Any, Any, Any]: ...
    def releaseCon(self, task: Task[Any], /) -> None: ...
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
    UPDATE counts the rows it matched (as SQLite does).
    """

    def __init__(self, loop: AbstractEventLoop, *args: Any, **kwargs: Any) -> None: ...
    @property
    def config(self) -> dict[str, Any] | None: ...
    @property
    def loop(self) -> AbstractEventLoop: ...
    def _init_mysql(self, *args: Any, **kwargs: Any) -> Coroutine[Any, Any, None]: ...
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
        """Refuses new connections, ends the calling task's own (committed) and closes the pool.

        A connection still out is committed and closed when its task ends.
        """

class PyMysqlConnector(BaseConnector):
    """Blocking MySQL connector without a statement path."""

    def __init__(self) -> None: ...
