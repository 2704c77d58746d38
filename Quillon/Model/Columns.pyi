"""Column properties, filter cells and foreign keys."""

from enum import Enum, IntEnum
from typing import Any, ClassVar, Iterable

from typing_extensions import Self

from Quillon.DB.Generator import CustomColAnnounce
from Quillon.Model.Entity import Entity, MiddleEntity

# ---------------------------------------------------------------------------
# Default markers
# ---------------------------------------------------------------------------

class NullDefault:
    """Marker of a property declared without a default."""

class AutoIncrement:
    """Marker of an auto-increment column (pass the class itself as ``default``)."""

auto_increment: type[AutoIncrement]
current_timestamp: CustomColAnnounce
current_date: CustomColAnnounce

# ---------------------------------------------------------------------------
# Enumerations
# ---------------------------------------------------------------------------

class Relationship(IntEnum):
    AND = 0
    OR = 1
    EQ = 2
    GT = 3
    GE = 4
    LT = 5
    LE = 6
    NE = 7
    NONE = 8
    LIKE = 9
    IS_NULL = 10
    """``column == None``: the operand cell holds None and renders nothing."""
    NOT_NULL = 11
    """``column != None``."""
    LIKE_ESCAPED = 12
    """A LIKE whose pattern escapes literal text with ``!`` (rendered with ``ESCAPE '!'``)."""
    IN = 13
    """``column.isIn(values)``: the operand cell holds the tuple of converted values."""
    NOT_IN = 14
    """``column.notIn(values)``."""
    BETWEEN = 15
    """``column.between(low, high)``: the operand cell holds the two converted bounds."""

class intSupportType(Enum):
    Int = "int"
    bigint = "bigint"

class strSupportType(Enum):
    varchar = "varchar"
    text = "text"
    longText = "longtext"
    tinyText = "tinytext"

class floatSupportType(Enum):
    float = "float"
    decimal = "decimal"

class boolSupportType(Enum):
    tinyInt = "tinyint"
    bit = "bit"
    varchar = "varchar"

class timestampSupportType(Enum):
    varchar = "varchar(32)"
    timestamp = "timestamp"
    datetime = "datetime"

class jsonSupportType(Enum):
    varchar = "varchar"
    text = "text"
    longtext = "longtext"
    tinytext = "tinytext"
    json = "json"

class ForeignType(Enum):
    ONE_TO_ONE = 1
    ONE_TO_MANY = 2
    MANY_TO_MANY = 3

# ---------------------------------------------------------------------------
# Filter cells
# ---------------------------------------------------------------------------

class FilterListCell:
    """One link of a filter chain; ``&`` and ``|`` join chains, ``~`` negates one."""

    value: Any
    relationship: int
    next: FilterListCell | None
    col: BaseProperty | None
    def __init__(self, cell: Any = "", relationship: int = 8, col: BaseProperty | None = None) -> None: ...
    @property
    def openGroups(self) -> int: ...
    @property
    def closeGroups(self) -> int: ...
    @property
    def topConnective(self) -> int: ...
    @property
    def notGroups(self) -> int:
        """Which groups opened before this cell are negations (bit i: the i-th from the innermost)."""
    def append(self, cell: FilterListCell | None, relationship: int) -> FilterListCell: ...
    def _add(self, other: FilterListCell, relationship: int) -> Self: ...
    def check(self) -> None: ...
    def __and__(self, other: FilterListCell) -> Self: ...
    def __or__(self, other: FilterListCell) -> Self: ...
    def __invert__(self) -> FilterListCell:
        """A negated copy of the chain: ``NOT (...)``; the chain itself is left as it is."""

# ---------------------------------------------------------------------------
# Expressions, aggregates and order terms
# ---------------------------------------------------------------------------

_Operand = BaseProperty | Expression | int | float | Any

class Expression:
    """Arithmetic on columns (``Item.stock - 1``, ``Item.price * Item.qty``) or an aggregate
    function: SQL that a statement computes, its values bound as arguments.  Compares like a
    property (into a filter chain, for filters and ``having``) and orders with asc()/desc().
    ``/`` divides as Python's ``/`` does; expressions nest up to 64 levels deep."""

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def asc(self) -> OrderTerm: ...
    def desc(self) -> OrderTerm: ...
    def __add__(self, other: _Operand) -> Expression: ...
    def __radd__(self, other: _Operand) -> Expression: ...
    def __sub__(self, other: _Operand) -> Expression: ...
    def __rsub__(self, other: _Operand) -> Expression: ...
    def __mul__(self, other: _Operand) -> Expression: ...
    def __rmul__(self, other: _Operand) -> Expression: ...
    def __truediv__(self, other: _Operand) -> Expression: ...
    def __rtruediv__(self, other: _Operand) -> Expression: ...
    def __eq__(self, other: object) -> FilterListCell: ...  # type: ignore[override]
    def __ne__(self, other: object) -> FilterListCell: ...  # type: ignore[override]
    def __lt__(self, other: Any) -> FilterListCell: ...
    def __le__(self, other: Any) -> FilterListCell: ...
    def __gt__(self, other: Any) -> FilterListCell: ...
    def __ge__(self, other: Any) -> FilterListCell: ...

class Aggregate(Expression):
    """An aggregate function over the rows a statement reads, or over each group."""

class Count(Aggregate):
    def __init__(self, col: BaseProperty | Expression | None = None, distinct: bool = False) -> None:
        """count(*) of the rows (``col=None``), or of the non-NULL values of ``col`` (its distinct
        values with ``distinct=True``)."""

class Sum(Aggregate):
    def __init__(self, col: BaseProperty | Expression) -> None: ...

class Avg(Aggregate):
    def __init__(self, col: BaseProperty | Expression) -> None: ...

class Min(Aggregate):
    def __init__(self, col: BaseProperty | Expression) -> None:
        """The smallest value; compares with values of the column, converted by it."""

class Max(Aggregate):
    def __init__(self, col: BaseProperty | Expression) -> None:
        """The largest value; compares with values of the column, converted by it."""

class OrderTerm:
    """An order term made by ``asc()`` / ``desc()`` of a property or an expression."""

    @property
    def term(self) -> BaseProperty | Expression: ...
    @property
    def descending(self) -> int: ...

# ---------------------------------------------------------------------------
# Properties
# ---------------------------------------------------------------------------

class BaseProperty:
    """Base of every column property; comparisons build filter chains.

    ``column == None`` and ``column != None`` are the NULL tests (``IS NULL`` /
    ``IS NOT NULL``).  The typed properties convert values the same way for rows
    being built, values being written and filter operands: None is NULL both
    ways, and a value that does not convert raises ValueError naming the column.
    """

    __hash__: ClassVar[None]  # type: ignore[assignment]
    name: str | None
    isPk: bool
    Null: bool
    unique: bool
    _default: Any
    _targetType: Enum | None
    typeArgs: tuple[Any, ...] | None
    def __init__(
        self,
        name: str | None = None,
        pk: bool = False,
        default: Any = ...,
        Null: bool = True,
        define: str | None = "",
        typeArgs: tuple[Any, ...] | None = (),
        *args: Any,
        unique: bool = False,
        **kwargs: Any,
    ) -> None: ...
    @property
    def hasDefault(self) -> bool: ...
    @property
    def Default(self) -> Any: ...
    @property
    def dbName(self) -> str | None: ...
    @property
    def objName(self) -> str | None: ...
    @property
    def targetType(self) -> str: ...
    def _init(self, *args: Any, **kwargs: Any) -> None: ...
    def __set_name__(self, owner: type[Entity], name: str) -> None: ...
    def sizeChecker(self, value: Any) -> bool: ...
    def verifier(self, value: Any) -> bool: ...
    def insertCell(self, value: Any) -> dict[str, Any]: ...
    def updateCell(self, value: Any) -> dict[str, Any]: ...
    def toDBValue(self, value: Any) -> Any: ...
    def toObjValue(self, value: Any) -> Any: ...
    def setFilter(self, other: Any, relationship: int) -> FilterListCell: ...
    def isIn(self, values: Iterable[Any]) -> FilterListCell:
        """The values of any iterable (not a str), each converted by the column; None among them
        matches NULL.  Without values it matches no row."""
    def notIn(self, values: Iterable[Any]) -> FilterListCell:
        """Values other than those (None among them: not NULL either).  Without values it matches
        every row."""
    def between(self, low: Any, high: Any) -> FilterListCell:
        """low <= value <= high, both bounds converted by the column (None is refused)."""
    def isNull(self) -> FilterListCell:
        """``IS NULL``, as ``column == None``."""
    def notNull(self) -> FilterListCell:
        """``IS NOT NULL``, as ``column != None``."""
    def asc(self) -> OrderTerm: ...
    def desc(self) -> OrderTerm: ...
    def __add__(self, other: _Operand) -> Expression: ...
    def __radd__(self, other: _Operand) -> Expression: ...
    def __sub__(self, other: _Operand) -> Expression: ...
    def __rsub__(self, other: _Operand) -> Expression: ...
    def __mul__(self, other: _Operand) -> Expression: ...
    def __rmul__(self, other: _Operand) -> Expression: ...
    def __truediv__(self, other: _Operand) -> Expression: ...
    def __rtruediv__(self, other: _Operand) -> Expression: ...
    def __eq__(self, other: object) -> FilterListCell: ...  # type: ignore[override]
    def __ne__(self, other: object) -> FilterListCell: ...  # type: ignore[override]
    def __lt__(self, other: Any) -> FilterListCell: ...
    def __le__(self, other: Any) -> FilterListCell: ...
    def __gt__(self, other: Any) -> FilterListCell: ...
    def __ge__(self, other: Any) -> FilterListCell: ...

class IntProperty(BaseProperty):
    Type: ClassVar[type[int]]
    supportType: ClassVar[type[intSupportType]]
    def __init__(
        self,
        name: str | None = None,
        pk: bool = False,
        default: Any = ...,
        Null: bool = True,
        define: str | None = "",
        typeArgs: tuple[Any, ...] | None = (),
        targetType: intSupportType = ...,
        *,
        unique: bool = False,
    ) -> None: ...
    def _init(self, targetType: intSupportType = ..., *args: Any, **kwargs: Any) -> None: ...
    def toDBValue(self, value: Any) -> int | None:
        """What is exactly an integer (True, 12.0, Decimal("12"), "12") converts; 12.5 or "abc" raise ValueError."""
    def toObjValue(self, value: Any) -> int | None: ...

class StrProperty(BaseProperty):
    Type: ClassVar[type[str]]
    supportType: ClassVar[type[strSupportType]]
    def __init__(
        self,
        name: str | None = None,
        pk: bool = False,
        default: Any = ...,
        Null: bool = True,
        define: str | None = "",
        typeArgs: tuple[Any, ...] | None = (),
        targetType: strSupportType = ...,
        *,
        unique: bool = False,
    ) -> None: ...
    def _init(self, targetType: strSupportType = ..., *args: Any, **kwargs: Any) -> None: ...
    def like(self, value: str) -> FilterListCell:
        """A LIKE filter with ``value`` as the pattern (``%`` and ``_`` are wildcards)."""
    def startsWith(self, value: str) -> FilterListCell:
        """Texts that start with ``value``, matched literally (``%``, ``_`` and ``!`` in it are escaped)."""
    def endsWith(self, value: str) -> FilterListCell:
        """Texts that end with ``value``, matched literally."""
    def has(self, value: str) -> FilterListCell:
        """Texts that contain ``value``, matched literally."""

class FloatProperty(BaseProperty):
    Type: ClassVar[type[float]]
    SupportType: ClassVar[type[floatSupportType]]
    size: tuple[int, ...] | None
    def __init__(
        self,
        name: str | None = None,
        pk: bool = False,
        default: Any = ...,
        Null: bool = True,
        define: str | None = "",
        typeArgs: tuple[Any, ...] | None = (),
        targetType: floatSupportType = ...,
        size: tuple[int, ...] | None = None,
        *,
        unique: bool = False,
    ) -> None: ...
    def _init(
        self, targetType: floatSupportType = ..., size: tuple[int, ...] | None = None, *args: Any, **kwargs: Any
    ) -> None: ...
    def toDBValue(self, value: Any) -> Any:
        """Numbers as they are (a Decimal stays exact), the text of a number as a float, or None."""
    def toObjValue(self, value: Any) -> float | None: ...

class BoolProperty(BaseProperty):
    Type: ClassVar[type[bool]]
    SupportType: ClassVar[type[boolSupportType]]
    def __init__(
        self,
        name: str | None = None,
        pk: bool = False,
        default: Any = ...,
        Null: bool = True,
        define: str | None = "",
        typeArgs: tuple[Any, ...] | None = (),
        targetType: boolSupportType = ...,
        *,
        unique: bool = False,
    ) -> None: ...
    def _init(self, targetType: boolSupportType = ..., *args: Any, **kwargs: Any) -> None: ...
    def toDBValue(self, value: Any) -> int | str | bytes | None:
        """The stored form of a flag: 1/0, "true"/"false" or a bit.  Strings convert by their meaning
        (true/false, yes/no, on/off, 1/0, any case); other strings raise ValueError."""
    def toObjValue(self, value: Any) -> bool | None: ...

class TimestampProperty(BaseProperty):
    Type: ClassVar[type[str]]
    SupportType: ClassVar[type[timestampSupportType]]
    def __init__(
        self,
        name: str | None = None,
        pk: bool = False,
        default: Any = ...,
        Null: bool = True,
        define: str | None = "",
        typeArgs: tuple[Any, ...] | None = (),
        targetType: timestampSupportType = ...,
        *,
        unique: bool = False,
    ) -> None: ...
    def _init(self, targetType: timestampSupportType = ..., *args: Any, **kwargs: Any) -> None: ...
    def toDBValue(self, value: Any) -> str | None:
        """"YYYY-MM-DD HH:MM:SS[.ffffff]" text; an aware datetime (or ISO text with an offset) is
        written as its UTC time, naive ISO text as it is."""
    def toObjValue(self, value: Any) -> Any:
        """The value as the database gives it (a datetime or ISO text), naive: an aware value
        becomes its UTC time."""

class JsonProperty(BaseProperty):
    Type: ClassVar[type[dict[Any, Any]]]
    SupportType: ClassVar[type[jsonSupportType]]
    def __init__(
        self,
        name: str | None = None,
        pk: bool = False,
        default: Any = ...,
        Null: bool = True,
        define: str | None = "",
        typeArgs: tuple[Any, ...] | None = (),
        targetType: jsonSupportType = ...,
        *,
        unique: bool = False,
    ) -> None: ...
    def _init(self, targetType: jsonSupportType = ..., *args: Any, **kwargs: Any) -> None: ...
    def toDBValue(self, value: Any) -> str | None:
        """The JSON text of any JSON value; a str is a JSON string value (it reads back as the same str)."""
    def toObjValue(self, value: Any) -> Any:
        """Stored JSON text decoded; text that is not JSON is a string value; None is None."""

# ---------------------------------------------------------------------------
# Foreign keys
# ---------------------------------------------------------------------------

class ForeignKey(dict[str, Any]):
    """A relation to another model, kept as dict entries (``target``, ``Type``, ``bindCol``,
    ``targetBindCol``, ``middleModel``, ``name``, ``owner``) that also read as attributes
    (a missing entry reads as None)."""

    def __init__(
        self,
        target: type[Entity] | None = None,
        Type: ForeignType = ...,
        bindCol: BaseProperty | None = None,
        targetBindCol: BaseProperty | None = None,
        middleModel: type[MiddleEntity] | None = None,
    ) -> None: ...
    @property
    def directTarget(self) -> type[Entity]: ...
    def __set_name__(self, owner: type[Entity], name: str) -> None: ...
    def _processTarget(self) -> None: ...
    def _processMTM(self) -> None: ...
    def __getattr__(self, name: str) -> Any: ...
