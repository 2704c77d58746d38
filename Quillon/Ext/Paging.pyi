"""Page-by-page reads of a model query."""

from typing import Any, Coroutine, Sequence

from typing_extensions import Self

from Quillon.Ext.Dict import DictPlus
from Quillon.Model.Columns import BaseProperty, FilterListCell, ForeignKey, OrderTerm
from Quillon.Model.Entity import Entity, ModelInstance

class Page(DictPlus):
    """One page of a query; its entries also read and write as attributes."""

    page: int
    pageSize: int
    content: list[ModelInstance]
    total: int
    totalPage: int
    def __init__(
        self, page: int, pageSize: int, content: list[ModelInstance] | None = ..., total: int = 0
    ) -> None: ...

class Paging:
    """Reads one page of a model's rows: configure with filter/orderBy/setPage/findForeign, then execute()."""

    def __init__(
        self,
        target: type[Entity],
        page: int = 1,
        pageSize: int = 10,
        findForeign: bool | ForeignKey | Sequence[ForeignKey] = False,
    ) -> None: ...
    def filter(self, args: FilterListCell | None = None) -> Self: ...
    def orderBy(self, *terms: str | BaseProperty | OrderTerm) -> Self:
        """Orders the rows by columns of the model: properties, their asc()/desc(), or "column" /
        "table.column" with an optional ASC/DESC; anything else raises ValueError."""
    def setPage(self, page: int, pageSize: int = 0) -> Self: ...
    def findForeign(self, relations: ForeignKey | Sequence[ForeignKey] | None = None) -> Self:
        """Loads the relations of the page's rows: every relation of the model (None), or the
        relations given, which may go on through related models as loadForeign's do."""
    def execute(self) -> Page | Coroutine[Any, Any, Page]:
        """The page; with an asyncio connector an awaitable of it."""
    def _execute(self) -> Page: ...
    def _asyncExecute(self) -> Coroutine[Any, Any, Page]: ...
    def _getCount(self) -> Any: ...
