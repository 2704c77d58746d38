"""Model executors: the query API of a model, blocking and awaited."""

from types import TracebackType
from typing import Any, AsyncIterator, Coroutine, Iterable, Iterator, Mapping, Sequence

from Quillon.DB.Generator import SqlGenerator
from Quillon.Model.Columns import BaseProperty, Expression, FilterListCell, ForeignKey, OrderTerm
from Quillon.Model.Entity import Entity, InstanceList, ModelInstance

_Term = str | BaseProperty | OrderTerm
_OrderBy = _Term | Sequence[_Term] | None
# values(): columns are properties, expressions and aggregates.
_Column = BaseProperty | Expression
_ValuesOrderBy = _Term | Expression | Sequence[_Term | Expression] | None
_GroupBy = _Column | Sequence[_Column] | None
# The relations a statement across relations follows, in order.
_Join = ForeignKey | Sequence[ForeignKey] | None
# A value may be an expression of the row's own columns (Item.stock - 1).
_SetValues = Mapping[str, Any] | Iterable[tuple[str | BaseProperty, Any]]
# The rows (or keys) at the far end of a many-to-many relation: one or many.
_Others = ModelInstance | Iterable[Any] | Any
# Relations to load: True (every relation of the model, one level), one
# relation, or a sequence of relations where a relation of a related model
# (Post.comments) follows one that leads to its model (User.posts).
_LoadForeign = bool | ForeignKey | Sequence[ForeignKey] | None
# The unique columns an upsert conflicts on: None (the key), one column, or several.
_Conflict = str | BaseProperty | Sequence[str | BaseProperty] | None

class RowIterator(Iterator[ModelInstance]):
    """The rows of ``ModelExecutor.iterate()``, fetched in batches from one cursor.

    ``close()`` (or leaving a ``with`` block, or dropping the iterator) releases the cursor."""

    def __iter__(self) -> RowIterator: ...
    def __next__(self) -> ModelInstance: ...
    def close(self) -> None: ...
    def __enter__(self) -> RowIterator: ...
    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> bool: ...

class AsyncRowIterator(AsyncIterator[ModelInstance]):
    """The rows of ``AsyncModelExecutor.iterate()`` for ``async for``, fetched in batches from one cursor.

    ``await aclose()`` (or leaving an ``async with`` block) releases the cursor."""

    def __aiter__(self) -> AsyncRowIterator: ...
    def __anext__(self) -> Coroutine[Any, Any, ModelInstance]: ...
    def aclose(self) -> Coroutine[Any, Any, None]: ...
    def __aenter__(self) -> Coroutine[Any, Any, AsyncRowIterator]: ...
    def __aexit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> Coroutine[Any, Any, None]: ...

class BaseModelExecutor:
    """Runs one model's statements over one unit of work."""

    def __init__(self, model: type[Entity] | None, work: Any = None) -> None: ...
    @property
    def model(self) -> type[Entity] | None: ...
    @property
    def sqlBuilder(self) -> SqlGenerator: ...
    @property
    def work(self) -> Any: ...
    def handleResult(self, raw: Any, /) -> Any: ...
    def execute(self) -> Any: ...
    def find(
        self,
        where: FilterListCell | None = None,
        orderBy: _OrderBy = None,
        limit: int | None = None,
        offset: int | None = None,
        loadForeign: _LoadForeign = False,
        forUpdate: bool = False,
        join: _Join = None,
    ) -> InstanceList | Coroutine[Any, Any, InstanceList]: ...
    def first(
        self,
        where: FilterListCell | None = None,
        orderBy: _OrderBy = None,
        loadForeign: _LoadForeign = False,
        forUpdate: bool = False,
        join: _Join = None,
    ) -> ModelInstance | None | Coroutine[Any, Any, ModelInstance | None]: ...
    def get(
        self, key: Any, loadForeign: _LoadForeign = False, forUpdate: bool = False
    ) -> ModelInstance | None | Coroutine[Any, Any, ModelInstance | None]: ...
    def count(self, where: FilterListCell | None = None, join: _Join = None) -> int | Coroutine[Any, Any, int]: ...
    def exists(self, where: FilterListCell | None = None, join: _Join = None) -> bool | Coroutine[Any, Any, bool]: ...
    def values(
        self,
        *columns: _Column,
        where: FilterListCell | None = None,
        groupBy: _GroupBy = None,
        having: FilterListCell | None = None,
        orderBy: _ValuesOrderBy = None,
        limit: int | None = None,
        offset: int | None = None,
        distinct: bool = False,
        join: _Join = None,
    ) -> list[tuple[Any, ...]] | Coroutine[Any, Any, list[tuple[Any, ...]]]: ...
    def sum(self, col: _Column, where: FilterListCell | None = None, join: _Join = None) -> Any: ...
    def avg(self, col: _Column, where: FilterListCell | None = None, join: _Join = None) -> Any: ...
    def min(self, col: _Column, where: FilterListCell | None = None, join: _Join = None) -> Any: ...
    def max(self, col: _Column, where: FilterListCell | None = None, join: _Join = None) -> Any: ...
    def save(self, row: ModelInstance) -> Any: ...
    def upsert(self, row: ModelInstance, conflict: _Conflict = None) -> Any: ...
    def insertMany(self, rows: Iterable[ModelInstance]) -> int | Coroutine[Any, Any, int]: ...
    def update(self, row: ModelInstance) -> int | Coroutine[Any, Any, int]: ...
    def updateWhere(
        self, where: FilterListCell, values: _SetValues, join: _Join = None
    ) -> int | Coroutine[Any, Any, int]: ...
    def delete(self, row: ModelInstance) -> int | Coroutine[Any, Any, int]: ...
    def deleteWhere(self, where: FilterListCell, join: _Join = None) -> int | Coroutine[Any, Any, int]: ...
    def link(self, row: ModelInstance, relation: ForeignKey, others: _Others) -> int | Coroutine[Any, Any, int]: ...
    def unlink(self, row: ModelInstance, relation: ForeignKey, others: _Others) -> int | Coroutine[Any, Any, int]: ...
    def findListForeignKey(
        self, rows: Iterable[ModelInstance], relations: _LoadForeign = None
    ) -> None | Coroutine[Any, Any, None]: ...
    def iterate(
        self,
        where: FilterListCell | None = None,
        orderBy: _OrderBy = None,
        batchSize: int = 500,
        loadForeign: _LoadForeign = False,
        join: _Join = None,
    ) -> RowIterator | AsyncRowIterator: ...

class ModelExecutor(BaseModelExecutor):
    """Executor whose operations run blocking (blocking connectors)."""

    def find(
        self,
        where: FilterListCell | None = None,
        orderBy: _OrderBy = None,
        limit: int | None = None,
        offset: int | None = None,
        loadForeign: _LoadForeign = False,
        forUpdate: bool = False,
        join: _Join = None,
    ) -> InstanceList:
        """The rows that match.  The filter may name columns of the models the model's relations reach
        (each row comes once); ``join`` names the relations to follow when two reach one model."""
    def first(
        self,
        where: FilterListCell | None = None,
        orderBy: _OrderBy = None,
        loadForeign: _LoadForeign = False,
        forUpdate: bool = False,
        join: _Join = None,
    ) -> ModelInstance | None: ...
    def get(self, key: Any, loadForeign: _LoadForeign = False, forUpdate: bool = False) -> ModelInstance | None: ...
    def count(self, where: FilterListCell | None = None, join: _Join = None) -> int:
        """The rows that match, each counted once however many related rows match."""
    def exists(self, where: FilterListCell | None = None, join: _Join = None) -> bool: ...
    def values(
        self,
        *columns: _Column,
        where: FilterListCell | None = None,
        groupBy: _GroupBy = None,
        having: FilterListCell | None = None,
        orderBy: _ValuesOrderBy = None,
        limit: int | None = None,
        offset: int | None = None,
        distinct: bool = False,
        join: _Join = None,
    ) -> list[tuple[Any, ...]]:
        """A tuple per row (or group) with the columns in order, each value in its Python form: a
        property's by the property, Min/Max by their column, Count an int, Avg a float, Sum a number."""
    def sum(self, col: _Column, where: FilterListCell | None = None, join: _Join = None) -> Any:
        """The sum over the matching rows, or None over no rows."""
    def avg(self, col: _Column, where: FilterListCell | None = None, join: _Join = None) -> float | None: ...
    def min(self, col: _Column, where: FilterListCell | None = None, join: _Join = None) -> Any: ...
    def max(self, col: _Column, where: FilterListCell | None = None, join: _Join = None) -> Any: ...
    def save(self, row: ModelInstance) -> Any:
        """Inserts the row and returns its key: the one it carries, or the one the database
        generated (then stored in the row).  Columns the row took from a database-side
        default are left out, so the table's default applies."""
    def upsert(self, row: ModelInstance, conflict: _Conflict = None) -> Any:
        """Inserts the row, or updates the stored row whose key (conflict=None) or named unique
        columns match it; returns the stored row's key, also stored in the row.  On MySQL a
        conflict on any unique index updates."""
    def insertMany(self, rows: Iterable[ModelInstance]) -> int:
        """Inserts the rows, all or none; returns their count.  Where the database reports
        them (SQLite 3.35+, MariaDB 10.5+; not MySQL), each generated key is stored in its row."""
    def update(self, row: ModelInstance) -> int: ...
    def updateWhere(self, where: FilterListCell, values: _SetValues, join: _Join = None) -> int:
        """Sets the values on the matching rows; a value may be an expression of the row's own columns
        (``Item.stock - 1``), computed by the database.  Returns the rows matched."""
    def delete(self, row: ModelInstance) -> int: ...
    def deleteWhere(self, where: FilterListCell, join: _Join = None) -> int: ...
    def link(self, row: ModelInstance, relation: ForeignKey, others: _Others) -> int:
        """Links the row with the others through the many-to-many relation; returns the links added."""
    def unlink(self, row: ModelInstance, relation: ForeignKey, others: _Others) -> int:
        """Removes the links of the row with the others; returns the links removed."""
    def findListForeignKey(self, rows: Iterable[ModelInstance], relations: _LoadForeign = None) -> None: ...
    def iterate(
        self,
        where: FilterListCell | None = None,
        orderBy: _OrderBy = None,
        batchSize: int = 500,
        loadForeign: _LoadForeign = False,
        join: _Join = None,
    ) -> RowIterator:
        """The rows ``find()`` gives, fetched ``batchSize`` at a time from one cursor, so memory
        holds one batch; ``loadForeign`` loads relations per batch, one query per relation.  Close
        it (``close()``, a ``with`` block) to release the cursor before the last row.  On MySQL the
        connection an open iterator reads on runs no other statement: outside a transaction block
        the iterator reads on a pooled connection of its own; inside one, on the block's, and a
        statement of the block raises until the iterator is closed (close it before the block
        ends: the end closes its cursor, and the iterator then raises TransactionError)."""

class AsyncModelExecutor(BaseModelExecutor):
    """Executor whose operations return awaitables (asyncio connectors)."""

    def execute(self) -> Coroutine[Any, Any, Any]: ...
    def find(
        self,
        where: FilterListCell | None = None,
        orderBy: _OrderBy = None,
        limit: int | None = None,
        offset: int | None = None,
        loadForeign: _LoadForeign = False,
        forUpdate: bool = False,
        join: _Join = None,
    ) -> Coroutine[Any, Any, InstanceList]: ...
    def first(
        self,
        where: FilterListCell | None = None,
        orderBy: _OrderBy = None,
        loadForeign: _LoadForeign = False,
        forUpdate: bool = False,
        join: _Join = None,
    ) -> Coroutine[Any, Any, ModelInstance | None]: ...
    def get(
        self, key: Any, loadForeign: _LoadForeign = False, forUpdate: bool = False
    ) -> Coroutine[Any, Any, ModelInstance | None]: ...
    def count(self, where: FilterListCell | None = None, join: _Join = None) -> Coroutine[Any, Any, int]: ...
    def exists(self, where: FilterListCell | None = None, join: _Join = None) -> Coroutine[Any, Any, bool]: ...
    def values(
        self,
        *columns: _Column,
        where: FilterListCell | None = None,
        groupBy: _GroupBy = None,
        having: FilterListCell | None = None,
        orderBy: _ValuesOrderBy = None,
        limit: int | None = None,
        offset: int | None = None,
        distinct: bool = False,
        join: _Join = None,
    ) -> Coroutine[Any, Any, list[tuple[Any, ...]]]: ...
    def sum(self, col: _Column, where: FilterListCell | None = None, join: _Join = None) -> Coroutine[Any, Any, Any]: ...
    def avg(
        self, col: _Column, where: FilterListCell | None = None, join: _Join = None
    ) -> Coroutine[Any, Any, float | None]: ...
    def min(self, col: _Column, where: FilterListCell | None = None, join: _Join = None) -> Coroutine[Any, Any, Any]: ...
    def max(self, col: _Column, where: FilterListCell | None = None, join: _Join = None) -> Coroutine[Any, Any, Any]: ...
    def save(self, row: ModelInstance) -> Coroutine[Any, Any, Any]: ...
    def upsert(self, row: ModelInstance, conflict: _Conflict = None) -> Coroutine[Any, Any, Any]: ...
    def insertMany(self, rows: Iterable[ModelInstance]) -> Coroutine[Any, Any, int]: ...
    def update(self, row: ModelInstance) -> Coroutine[Any, Any, int]: ...
    def updateWhere(
        self, where: FilterListCell, values: _SetValues, join: _Join = None
    ) -> Coroutine[Any, Any, int]: ...
    def delete(self, row: ModelInstance) -> Coroutine[Any, Any, int]: ...
    def deleteWhere(self, where: FilterListCell, join: _Join = None) -> Coroutine[Any, Any, int]: ...
    def link(self, row: ModelInstance, relation: ForeignKey, others: _Others) -> Coroutine[Any, Any, int]: ...
    def unlink(self, row: ModelInstance, relation: ForeignKey, others: _Others) -> Coroutine[Any, Any, int]: ...
    def findListForeignKey(
        self, rows: Iterable[ModelInstance], relations: _LoadForeign = None
    ) -> Coroutine[Any, Any, None]: ...
    def iterate(
        self,
        where: FilterListCell | None = None,
        orderBy: _OrderBy = None,
        batchSize: int = 500,
        loadForeign: _LoadForeign = False,
        join: _Join = None,
    ) -> AsyncRowIterator:
        """The rows ``find()`` gives for ``async for``, fetched ``batchSize`` at a time from one cursor
        on the task's connection (or its block's); ``aclose()`` or an ``async with`` block releases
        the cursor early.  On MySQL a task that holds no connection yet reads on a pooled connection
        of the iterator's own; otherwise on the task's (or block's), which runs no other statement
        until the iterator ends (a statement raises; the block's or task's end closes its cursor,
        and the iterator then raises TransactionError)."""
