"""Column properties: construction, defaults, binding, checks and conversions."""

import datetime
import decimal
import enum
import json
import math
import random
import sys

import pytest

from Quillon.Error.ColumnFault import (
    PrimaryKeyOverLimitError,
    PropertyUsageError,
    PropertyVerifyError,
)
from Quillon.Model import Columns
from Quillon.Model.Columns import (
    AutoIncrement,
    BaseProperty,
    BoolProperty,
    FloatProperty,
    IntProperty,
    JsonProperty,
    NullDefault,
    StrProperty,
    TimestampProperty,
    auto_increment,
    boolSupportType,
    current_date,
    current_timestamp,
    floatSupportType,
    intSupportType,
    jsonSupportType,
    strSupportType,
    timestampSupportType,
)
from Quillon.Model.Entity import Entity

VERIFIER_CONTEXT = "Quillon.Model.Columns.BaseProperty.verifier"


def set_name_error(excinfo):
    """The error a __set_name__ hook raised (older interpreters wrap it in RuntimeError)."""
    err = excinfo.value
    if isinstance(err, RuntimeError) and err.__cause__ is not None:
        return err.__cause__
    return err


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


# ---------------------------------------------------------------------------
# Construction
# ---------------------------------------------------------------------------


def test_int_property_defaults():
    p = IntProperty()
    assert p.name is None
    assert p.isPk is False
    assert p.Null is True
    assert p.typeArgs == ()
    assert p.hasDefault is False
    assert p.Default is None
    assert p.targetType == "int"
    assert p._targetType is intSupportType.Int


@pytest.mark.parametrize("name, expected", [("", None), (None, None), ("age", "age")])
def test_constructor_name(name, expected):
    assert IntProperty(name).name == expected


def test_constructor_stores_flags_by_truth_value():
    p = IntProperty(pk=[1], Null=0, define="unique", typeArgs=(11,))
    assert (p.isPk, p.Null, p.typeArgs) == (True, False, (11,))


class MyStr(str):
    pass


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"name": 5}, "Argument 'name' has incorrect type (expected str, got int)"),
        ({"name": MyStr("x")}, "Argument 'name' has incorrect type (expected str, got MyStr)"),
        ({"define": b"x"}, "Argument 'define' has incorrect type (expected str, got bytes)"),
        ({"typeArgs": [10]}, "Argument 'typeArgs' has incorrect type (expected tuple, got list)"),
    ],
)
def test_constructor_argument_types(kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        IntProperty(**kwargs)
    assert str(excinfo.value) == message


def test_float_size_must_be_tuple():
    with pytest.raises(TypeError) as excinfo:
        FloatProperty(size=[10, 2])
    assert str(excinfo.value) == "Argument 'size' has incorrect type (expected tuple, got list)"
    assert FloatProperty(size=(10, 2)).size == (10, 2)
    assert FloatProperty().size is None


def test_base_property_cannot_be_constructed():
    with pytest.raises(AttributeError):
        BaseProperty()


def test_type_attribute_must_be_a_type():
    class Odd(BaseProperty):
        Type = 5

    with pytest.raises(TypeError, match="Cannot convert int to type"):
        Odd()


def test_init_hook_sees_fields_and_receives_extra_arguments():
    seen = {}

    class Custom(BaseProperty):
        Type = None

        def _init(self, *args, **kwargs):
            seen["args"], seen["kwargs"] = args, kwargs
            seen["state"] = (self.name, self.isPk, self.Null, self.typeArgs, self._default)
            self.typeArgs = (7,)

    p = Custom("c", True, 3, False, "", (1,), "extra", flag=1)
    assert seen["args"] == ("extra",)
    assert seen["kwargs"] == {"flag": 1}
    # The default is stored only after the hook has run.
    assert seen["state"] == ("c", True, False, (1,), None)
    assert p.typeArgs == (7,)
    assert p._default == 3


def test_init_hook_errors_propagate():
    class Failing(IntProperty):
        def _init(self, *args, **kwargs):
            raise LookupError("refused")

    with pytest.raises(LookupError, match="refused"):
        Failing()


@pytest.mark.parametrize(
    "cls, expected",
    [
        (IntProperty, "int"),
        (StrProperty, "varchar"),
        (FloatProperty, "float"),
        (BoolProperty, "tinyint"),
        (TimestampProperty, "timestamp"),
        (JsonProperty, "json"),
    ],
)
def test_default_target_types(cls, expected):
    assert cls().targetType == expected


@pytest.mark.parametrize(
    "prop, target, type_args",
    [
        (StrProperty(), "varchar", (255,)),
        (StrProperty(typeArgs=(100,)), "varchar", (100,)),
        (StrProperty(typeArgs=None), "varchar", (255,)),
        (StrProperty(targetType=strSupportType.text), "text", ()),  # the text types take no length
        (StrProperty(targetType=strSupportType.longText), "longtext", ()),
        (IntProperty(targetType=intSupportType.bigint), "bigint", ()),
        (TimestampProperty(targetType=timestampSupportType.varchar), "varchar(32)", ()),
        (FloatProperty(None, False, None, True, "", (10, 2), floatSupportType.decimal), "decimal", (10, 2)),
    ],
)
def test_target_type_and_type_args(prop, target, type_args):
    assert prop.targetType == target
    assert prop.typeArgs == type_args


def test_target_type_without_value_attribute():
    p = IntProperty()
    p._targetType = 3
    with pytest.raises(AttributeError):
        p.targetType


def test_support_type_enumerations():
    for enumeration in (intSupportType, strSupportType, floatSupportType, boolSupportType,
                        timestampSupportType, jsonSupportType):
        assert issubclass(enumeration, enum.Enum)
    assert [m.value for m in intSupportType] == ["int", "bigint"]
    assert [m.value for m in strSupportType] == ["varchar", "text", "longtext", "tinytext"]
    assert [m.name for m in jsonSupportType] == ["varchar", "text", "longtext", "tinytext", "json"]
    # Long enough for ISO text with microseconds and an offset.
    assert [m.value for m in timestampSupportType] == ["varchar(32)", "timestamp", "datetime"]
    assert IntProperty.supportType is intSupportType and StrProperty.supportType is strSupportType
    assert FloatProperty.SupportType is floatSupportType and JsonProperty.SupportType is jsonSupportType
    assert (IntProperty.Type, StrProperty.Type, FloatProperty.Type, BoolProperty.Type,
            TimestampProperty.Type, JsonProperty.Type) == (int, str, float, bool, str, dict)


# ---------------------------------------------------------------------------
# Attributes
# ---------------------------------------------------------------------------


def test_field_setters_check_types():
    p = IntProperty("a")
    with pytest.raises(TypeError):
        p.name = 5
    with pytest.raises(TypeError):
        p.typeArgs = [1]
    p.name = None
    p.typeArgs = None
    p.isPk = "yes"
    p.Null = ""
    assert (p.name, p.typeArgs, p.isPk, p.Null) == (None, None, True, False)
    p.name = "b"
    assert (p.dbName, p.objName) == ("b", "b")


def test_private_fields_are_not_exposed():
    p = IntProperty(define="unique")
    for attr in ("model", "define", "_Type"):
        with pytest.raises(AttributeError):
            getattr(p, attr)


def test_typed_properties_have_an_attribute_dictionary():
    p = IntProperty()
    p.note = "kept"
    assert p.__dict__ == {"note": "kept"}


def test_properties_are_not_hashable():
    with pytest.raises(TypeError):
        hash(IntProperty())
    with pytest.raises(TypeError):
        {StrProperty()}


# ---------------------------------------------------------------------------
# Defaults
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "make, has_default, default",
    [
        (lambda: IntProperty(), False, None),
        (lambda: IntProperty(default=IntProperty()._default), False, None),
        (lambda: IntProperty(default=None), True, None),
        (lambda: JsonProperty(default=None), True, None),
        (lambda: BoolProperty(default=None), True, None),
        (lambda: IntProperty(default=auto_increment), True, None),
        (lambda: TimestampProperty(default=current_timestamp), True, None),
        (lambda: TimestampProperty(default=current_date), True, None),
        (lambda: IntProperty(default=NullDefault()), True, None),
        (lambda: IntProperty(default=NullDefault), True, None),
        (lambda: IntProperty(default=5), True, 5),
        (lambda: BoolProperty(default=True), True, 1),
        (lambda: BoolProperty(default=False, targetType=boolSupportType.varchar), True, "false"),
        (lambda: JsonProperty(default={"a": [1]}), True, '{"a": [1]}'),
    ],
)
def test_has_default_and_default(make, has_default, default):
    p = make()
    assert p.hasDefault is has_default
    assert p.Default == default


def test_markers():
    assert auto_increment is AutoIncrement
    assert isinstance(IntProperty()._default, NullDefault)
    assert "noDefault" not in dir(Columns)

    class MyMarker(NullDefault):
        pass

    assert IntProperty(default=MyMarker()).Default is None
    assert (current_timestamp.__class__.__name__, current_date.__class__.__name__) == (
        "CustomColAnnounce", "CustomColAnnounce")


def test_default_uses_an_overridden_conversion():
    class Doubled(IntProperty):
        def toDBValue(self, value):
            return value * 2

    assert Doubled(default=21).Default == 42


# ---------------------------------------------------------------------------
# Binding to a model class
# ---------------------------------------------------------------------------


def test_binding_sets_name_and_primary_key():
    class User(Entity):
        tableName = "user"
        id = IntProperty(pk=True)
        age = IntProperty(name="other")

    assert User.age.name == "age"
    assert User.pkCol is User.id
    assert User.pkName == "id"
    assert Entity.pkCol is None and Entity.pkName is None


def test_model_without_key_keeps_inherited_none():
    class Note(Entity):
        tableName = "note"
        body = StrProperty()

    assert Note.pkCol is None and Note.pkName is None


def test_second_primary_key_is_refused():
    with pytest.raises(Exception) as excinfo:
        class Twice(Entity):
            tableName = "twice"
            a = IntProperty(pk=True)
            b = IntProperty(pk=True)

    assert isinstance(set_name_error(excinfo), PrimaryKeyOverLimitError)


def test_derived_model_inherits_the_primary_key():
    class Base(Entity):
        tableName = "base"
        id = IntProperty(pk=True)

    with pytest.raises(Exception) as excinfo:
        class Derived(Base):
            tableName = "derived"
            other = IntProperty(pk=True)

    assert isinstance(set_name_error(excinfo), PrimaryKeyOverLimitError)


def test_property_outside_a_model_is_refused():
    p = IntProperty()
    with pytest.raises(Exception) as excinfo:
        class Plain:
            col = p

    err = set_name_error(excinfo)
    assert isinstance(err, PropertyUsageError)
    assert err.args[0].__name__ == "Plain"
    assert p.name is None


def test_set_name_checks_the_name_type():
    class Host(Entity):
        tableName = "host"

    with pytest.raises(TypeError, match="Argument 'name' has incorrect type"):
        IntProperty().__set_name__(Host, 5)


def test_insert_and_update_cells():
    class Person(Entity):
        tableName = "person"
        age = IntProperty()

    ins = Person.age.insertCell(5)
    assert ins["col"] is Person.age and ins["value"] == 5 and list(ins) == ["col", "value"]
    assert Person.age.updateCell(5) == {"name": "age", "value": 5}


# ---------------------------------------------------------------------------
# Value checks
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "prop, value",
    [(IntProperty(), "12"), (IntProperty(), 1.5), (IntProperty(), 3), (StrProperty(), 5),
     (BoolProperty(), "x"), (JsonProperty(), [("a", 1)])],
)
def test_verifier_accepts_convertible_values(prop, value, unraisable):
    assert prop.verifier(value) is True
    assert unraisable == []


def test_verifier_reports_instead_of_raising(unraisable):
    assert IntProperty().verifier("x") is False
    assert len(unraisable) == 1
    report = unraisable[0]
    assert report.object == VERIFIER_CONTEXT
    assert report.exc_type is PropertyVerifyError
    assert report.exc_value.args == ("x", int)
    assert isinstance(report.exc_value.__context__, ValueError)


def test_verifier_report_reaches_standard_error(monkeypatch, capsys):
    monkeypatch.setattr(sys, "unraisablehook", sys.__unraisablehook__)
    assert JsonProperty().verifier(5) is False
    err = capsys.readouterr().err
    assert VERIFIER_CONTEXT in err
    assert "PropertyVerifyError" in err


def test_overridden_size_checker_is_used_by_verifier(unraisable):
    class Small(IntProperty):
        def sizeChecker(self, value):
            if value == 99:
                raise RuntimeError("size check failed")
            return int(value) < 10

    p = Small()
    assert p.verifier(5) is True
    assert p.verifier("12") is False
    assert unraisable == []
    # The base method keeps its own answer.
    assert BaseProperty.sizeChecker(p, 100) is True
    assert p.verifier(99) is False
    assert [r.exc_type for r in unraisable] == [RuntimeError]
    assert unraisable[0].object == VERIFIER_CONTEXT


# ---------------------------------------------------------------------------
# Conversions
# ---------------------------------------------------------------------------


def test_str_values_pass_unchanged():
    marker = object()
    assert StrProperty().toDBValue(marker) is marker and StrProperty().toObjValue(marker) is marker


AWARE = datetime.datetime(2024, 1, 1, 7, 8, 9, 120000, tzinfo=datetime.timezone(datetime.timedelta(hours=2)))


@pytest.mark.parametrize(
    "prop, value, to_db, to_obj",
    [
        # None is NULL for every kind of column, in both directions.
        *[(make(), None, None, None) for make in (IntProperty, StrProperty, FloatProperty, BoolProperty,
                                                  TimestampProperty, JsonProperty)],
        (BoolProperty(targetType=boolSupportType.bit), None, None, None),
        # What is exactly an integer converts.
        (IntProperty(), True, 1, 1),
        (IntProperty(), 12.0, 12, 12),
        (IntProperty(), decimal.Decimal("12"), 12, 12),
        (IntProperty(), " 12 ", 12, 12),
        (IntProperty(), 2**70, 2**70, 2**70),
        (FloatProperty(), "2.5", 2.5, 2.5),
        (FloatProperty(), decimal.Decimal("2.50"), decimal.Decimal("2.50"), 2.5),
        # An aware datetime is its UTC time; naive values and ISO text stay as they are.
        (TimestampProperty(), AWARE, "2024-01-01 05:08:09.120000", AWARE.astimezone(datetime.timezone.utc).replace(tzinfo=None)),
        (TimestampProperty(), "2024-01-01T07:08:09+02:00", "2024-01-01 05:08:09", "2024-01-01 05:08:09"),
        (TimestampProperty(), datetime.datetime(2024, 1, 1, 7, 8, 9), "2024-01-01 07:08:09", datetime.datetime(2024, 1, 1, 7, 8, 9)),
        (TimestampProperty(), "2020-01-01 00:00:00", "2020-01-01 00:00:00", "2020-01-01 00:00:00"),
        (TimestampProperty(), datetime.date(2020, 2, 3), "2020-02-03", datetime.date(2020, 2, 3)),
    ],
)
def test_conversions(prop, value, to_db, to_obj):
    assert prop.toDBValue(value) == to_db and type(prop.toDBValue(value)) is type(to_db)
    assert prop.toObjValue(value) == to_obj and type(prop.toObjValue(value)) is type(to_obj)


@pytest.mark.parametrize(
    "make, value",
    [
        (IntProperty, "abc"), (IntProperty, 12.5), (IntProperty, "12.5"), (IntProperty, decimal.Decimal("1.5")),
        (IntProperty, float("nan")), (IntProperty, b"1"), (IntProperty, [1]),
        (FloatProperty, "abc"), (FloatProperty, []),
        (BoolProperty, "maybe"), (BoolProperty, ""), (BoolProperty, []),
        (lambda: BoolProperty(targetType=boolSupportType.varchar), "nein"),
        (JsonProperty, b"{}"), (JsonProperty, {"a": object()}), (JsonProperty, {1, 2}),
        (TimestampProperty, "soon"), (TimestampProperty, 1700000000),
    ],
)
def test_values_that_do_not_convert_are_refused(make, value):
    class Gauge(Entity):
        reading = make()

    for convert in (Gauge.reading.toDBValue, Gauge.reading.toObjValue):
        if make is JsonProperty and convert == Gauge.reading.toObjValue and isinstance(value, dict):
            continue  # a decoded value is kept; writing it refuses it
        with pytest.raises(ValueError, match=r"^column 'gauge.reading' cannot take "):
            convert(value)
    with pytest.raises(ValueError, match="gauge.reading"):
        Gauge.reading == value


@pytest.mark.parametrize(
    "value, expected",
    [("3.14159", 3.14), (3.14159, 3.14), (2, 2.0), ("null", None), (None, None), ("-1.005", -1.0),
     (2.675, 2.67), (float("inf"), float("inf"))],
)
def test_float_to_obj_rounds_to_the_scale(value, expected):
    result = FloatProperty(typeArgs=(10, 2)).toObjValue(value)
    assert result == expected
    if expected is not None:
        assert type(result) is float


def test_float_rounding_matches_round():
    rng = random.Random(7)
    for digits in range(0, 8):
        p = FloatProperty(typeArgs=(20, digits))
        for _ in range(300):
            x = rng.uniform(-1e6, 1e6) * rng.choice([1, 1e-6, 1e-3])
            got = p.toObjValue(x)
            want = round(x, digits)
            assert got == want and math.copysign(1, got) == math.copysign(1, want), (x, digits)


@pytest.mark.parametrize("digits", [-1, 30, 2**70])
def test_float_rounding_unusual_scales(digits):
    assert FloatProperty(typeArgs=(10, digits)).toObjValue(1234.5678) == round(1234.5678, digits)


@pytest.mark.parametrize("type_args", [(), (10,), None])
def test_float_without_scale_is_not_rounded(type_args):
    # A float column declared without a scale returns the value as read.
    assert FloatProperty(typeArgs=type_args).toObjValue("3.14159") == 3.14159


@pytest.mark.parametrize("value", ["abc", []])
def test_float_to_obj_errors(value):
    with pytest.raises(ValueError):
        FloatProperty(typeArgs=(10, 2)).toObjValue(value)


@pytest.mark.parametrize(
    "target, value, expected",
    [
        (boolSupportType.tinyInt, True, 1),
        (boolSupportType.tinyInt, "false", 0),
        (boolSupportType.tinyInt, "Off", 0),
        (boolSupportType.tinyInt, "no", 0),
        (boolSupportType.tinyInt, "0", 0),
        (boolSupportType.tinyInt, " YES ", 1),
        (boolSupportType.varchar, True, "true"),
        (boolSupportType.varchar, 0, "false"),
        (boolSupportType.varchar, "off", "false"),
        (boolSupportType.bit, 1, b"\x01"),
        (boolSupportType.bit, False, b"\x00"),
        (boolSupportType.bit, "false", b"\x00"),
        (strSupportType.text, True, 1),
    ],
)
def test_bool_to_db(target, value, expected):
    result = BoolProperty(targetType=target).toDBValue(value)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize(
    "target, value, expected",
    [
        (boolSupportType.tinyInt, 1, True),
        (boolSupportType.tinyInt, 0, False),
        (boolSupportType.varchar, "1", True),
        (boolSupportType.varchar, "true", True),
        (boolSupportType.varchar, "True", True),
        (boolSupportType.varchar, "yes", True),
        (boolSupportType.varchar, "false", False),
        (boolSupportType.varchar, "OFF", False),
        (boolSupportType.varchar, "0", False),
        (boolSupportType.varchar, 1, True),
        (boolSupportType.tinyInt, "no", False),
        (boolSupportType.bit, b"\x01", True),
        (boolSupportType.bit, b"\x00", False),
        (boolSupportType.bit, b"\x01\x01", True),
        (boolSupportType.bit, 1, True),
        (boolSupportType.bit, bytearray(b"\x01"), True),
        (strSupportType.text, 1, True),
        (strSupportType.text, False, False),
    ],
)
def test_bool_to_obj(target, value, expected):
    assert BoolProperty(targetType=target).toObjValue(value) is expected


@pytest.mark.parametrize("target", list(boolSupportType))
def test_bool_to_obj_passes_bools(target):
    p = BoolProperty(targetType=target)
    assert p.toObjValue(True) is True and p.toObjValue(False) is False


@pytest.mark.parametrize(
    "value, expected",
    [
        ({"a": [1, 2]}, '{"a": [1, 2]}'),
        ([1, "x"], '[1, "x"]'),
        # A str is a JSON string value, JSON text or not: it reads back as the same str.
        ('{"a": 1}', '"{\\"a\\": 1}"'),
        ("raw", '"raw"'),
        (MyStr("{}"), '"{}"'),
        (None, None),
        (3, "3"),
        (True, "true"),
    ],
)
def test_json_to_db(value, expected):
    p = JsonProperty()
    assert p.toDBValue(value) == expected
    if value is not None:
        assert p.toObjValue(p.toDBValue(value)) == value


def test_json_to_db_names_the_serialisation_error():
    with pytest.raises(ValueError, match="cannot take") as excinfo:
        JsonProperty().toDBValue({"a": object()})
    assert isinstance(excinfo.value.__cause__, TypeError)


def test_json_to_obj():
    p = JsonProperty()
    d = {"a": 1}
    lst = [1]
    assert p.toObjValue(d) is d and p.toObjValue(lst) is lst
    assert p.toObjValue("[1, 2]") == [1, 2]
    assert p.toObjValue('{"k": null}') == {"k": None}
    # Every JSON value is a value of the column; text that is not JSON is a string.
    assert p.toObjValue(None) is None and p.toObjValue(5) == 5 and p.toObjValue(False) is False
    assert p.toObjValue("{oops") == "{oops"


def test_overrides_can_call_the_native_base():
    class Scaled(FloatProperty):
        def toObjValue(self, value):
            return super().toObjValue(value) * 10

        def toDBValue(self, value):
            return FloatProperty.toDBValue(self, value) + 1

    p = Scaled(typeArgs=(10, 1))
    assert p.toObjValue("1.26") == pytest.approx(13.0)
    assert p.toDBValue(1) == 2
    assert p.Default is None  # no default given
    assert Scaled(default=4).Default == 5


def test_python_subclass_without_overrides_uses_native_conversions():
    class Flag(BoolProperty):
        pass

    p = Flag(targetType=boolSupportType.varchar, default=True)
    assert p.toDBValue(1) == "true"
    assert p.Default == "true"
