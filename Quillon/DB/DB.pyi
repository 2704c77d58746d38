"""The process-wide database facade."""

from typing import Any, Callable

from typing_extensions import Self

from Quillon.DB.Connector import BaseConnector
from Quillon.Error.DbFault import DBInstanceCreateError as DBInstanceCreateError
from Quillon.Error.DbFault import DBInstanceError as DBInstanceError

class DB:
    """The process-wide database facade; made once with ``DB.create(connector=...)``."""

    def __init__(
        self, *args: Any, cr: bool = ..., connector: BaseConnector | None = None, **kwargs: Any
    ) -> None: ...
    @classmethod
    def create(cls, *args: Any, connector: BaseConnector | None = None, **kwargs: Any) -> DB: ...
    @classmethod
    def getInstance(cls) -> DB | None: ...
    @classmethod
    def getInstanceWithCheck(cls) -> DB: ...
    def GenerateTable(self) -> Self: ...
    @property
    def connector(self) -> BaseConnector | None: ...
    @property
    def getCon(self) -> Any:
        """A connection of the connector (an awaitable of one for asyncio connectors)."""
    @property
    def execute(self) -> Callable[..., Any]:
        """The connector's ``process`` (blocking) or ``asyncProcess`` (asyncio), not yet called."""
    @property
    def executeSql(self) -> Callable[..., Any]:
        """The connector's ``execute``: SQL text with %s placeholders."""
    @property
    def instance(self) -> DB | None: ...
    @property
    def ConnectorType(self) -> int: ...
