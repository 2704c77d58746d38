"""Model declaration, rows and many-to-many middle models."""

from typing import Any, ClassVar, Iterable, Mapping

from pydantic import BaseModel

from Quillon.DB.DB import DB
from Quillon.Model.Columns import BaseProperty, ForeignKey
from Quillon.Model.Executors import AsyncModelExecutor, ModelExecutor

class _EntityMeta(type):
    """Metaclass of the models: turns a class body into a table description."""

    ModelList: ClassVar[list[type[Entity]]]
    @staticmethod
    def getPropertyObj(
        cls: type, attrs: Mapping[str, Any]
    ) -> tuple[list[BaseProperty], dict[str, BaseProperty], list[ForeignKey]]: ...
    @staticmethod
    def buildModelInstance(cls: type[Entity], cols: list[BaseProperty], name: str) -> type[ModelInstance]: ...
    @staticmethod
    def buildPydanticModel(
        cls: type[Entity], cols: list[BaseProperty], name: str, fk: list[ForeignKey]
    ) -> type[BaseModel]: ...

class _Entity:
    """Native base of every model class."""

    tableName: str
    @classmethod
    def instanceBuilder(cls, *args: Any, **kwargs: Any) -> ModelInstance: ...

class Entity(_Entity, metaclass=_EntityMeta):
    """Base of every model class: calling a model class builds a row of it."""

    col: ClassVar[list[BaseProperty]]
    mapping: ClassVar[dict[str, BaseProperty]]
    fk: ClassVar[list[ForeignKey]]
    modelInstance: ClassVar[type[ModelInstance]]
    MODEL: ClassVar[type[BaseModel]]
    """The pydantic model of the rows: each column's Python type, its default in Python form,
    optional when the column may hold NULL or the database assigns it."""
    pkName: ClassVar[str | None]
    pkCol: ClassVar[BaseProperty | None]
    _db: ClassVar[type[DB]]
    def __new__(cls, *args: Any, **kwargs: Any) -> ModelInstance: ...  # type: ignore[misc]
    @classmethod
    def getExecutor(cls, work: Any = None) -> ModelExecutor | AsyncModelExecutor: ...
    @classmethod
    def getAsyncExecutor(cls, work: Any = None) -> AsyncModelExecutor: ...

class MiddleEntity(Entity):
    """Base of the middle model of a many-to-many relation; it has no row objects."""

    @classmethod
    def instanceBuilder(cls, *args: Any, **kwargs: Any) -> None: ...  # type: ignore[override]
    @classmethod
    def getOtherFkBy(cls, model: type[Entity]) -> ForeignKey: ...
    @classmethod
    def getOtherModelBy(cls, model: type[Entity]) -> type[Entity]: ...

class ModelInstance(dict[str, Any]):
    """A row of a model: a dict of column values that also reads and writes them as attributes.

    Every model has its own row class (``Model.modelInstance``) whose class attribute
    ``object`` is the model class.
    """

    object: ClassVar[type[Entity]]
    def __init__(
        self, values: Mapping[str, Any] | Iterable[tuple[str, Any]] = ..., /, *, check: bool = True, **kwargs: Any
    ) -> None: ...
    def __getattr__(self, name: str) -> Any: ...
    def __setattr__(self, name: str, value: Any) -> None: ...

class InstanceList(list[ModelInstance]):
    """A list of model rows."""
