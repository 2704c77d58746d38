"""Model declaration: the metaclass, table names, the registry, the generated
row class and pydantic model, middle models and the executor choice."""

import os
import subprocess
import sys
import textwrap
import typing

import pydantic
import pytest

from Quillon.Ext.Decorators import pydantic_model
from Quillon.Model.Columns import (BoolProperty, ForeignKey, ForeignType, IntProperty, JsonProperty, StrProperty,
                                   TimestampProperty, auto_increment, current_timestamp, timestampSupportType)
from Quillon.Model.Entity import Entity, MiddleEntity, ModelInstance, _Entity, _EntityMeta

def run_python(code):
    """Runs `code` in a fresh interpreter (the facade exists once per process)."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    return proc.stdout


def key(target, type_=ForeignType.ONE_TO_ONE, name=None, **kw):
    """A foreign key carrying the name its binding would give it."""
    fk = ForeignKey(target, type_, **kw)
    if name is not None:
        fk["name"] = name
    return fk


# ---------------------------------------------------------------------------
# Table names
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("class_name, table", [
    ("UserModel", "user"),
    ("BlogPost", "blog_post"),
    ("ModelUserRole", "user_role"),
    ("ABCLog", "a_b_c_log"),
    ("Model", ""),
    ("Order", "order"),
    ("ÉtatModel", "état"),
])
def test_table_name_is_derived_from_the_class_name(class_name, table):
    cls = _EntityMeta(class_name, (Entity,), {})
    assert cls.tableName == table


@pytest.mark.parametrize("given, table", [("people", "people"), ("", "person_row"), (None, "person_row")])
def test_explicit_table_name_stands_unless_false(given, table):
    class PersonRow(Entity):
        tableName = given

    assert PersonRow.tableName == table


def test_entity_and_middle_entity_are_models_themselves():
    assert _EntityMeta.ModelList[:2] == [Entity, MiddleEntity]
    assert Entity.tableName == "entity" and MiddleEntity.tableName == "middle_entity"
    for cls in (Entity, MiddleEntity):
        assert cls.col == [] and cls.mapping == {} and cls.fk == []
    assert Entity.pkName is None and Entity.pkCol is None
    from Quillon.DB.DB import DB
    assert Entity._db is DB and MiddleEntity._db is DB
    assert issubclass(MiddleEntity, Entity) and issubclass(Entity, _Entity)
    assert type(Entity) is _EntityMeta and issubclass(_EntityMeta, type)


# ---------------------------------------------------------------------------
# Class bodies
# ---------------------------------------------------------------------------

def test_columns_mapping_and_keys_follow_the_class_body():
    class Author(Entity):
        id = IntProperty(pk=True)

    class Article(Entity):
        id = IntProperty(pk=True)
        title = StrProperty()
        writer = key(Author, name="writer")
        CONSTANT = 3
        body = StrProperty(typeArgs=(1000,))
        editor = key(Author, name="editor")

        def method(self):
            return 1

    assert Article.col == [Article.mapping["id"], Article.mapping["title"], Article.mapping["body"]]
    assert list(Article.mapping) == ["id", "title", "writer", "body", "editor"]
    assert [fk["name"] for fk in Article.fk] == ["writer", "editor"]
    assert Article.pkName == "id" and Article.pkCol is Article.mapping["id"]
    assert Article.mapping["title"].name == "title"


def test_model_without_columns():
    class Empty(Entity):
        pass

    assert Empty.col == [] and Empty.mapping == {} and Empty.fk == []
    assert Empty.MODEL.model_fields == {}
    assert Empty() == {} and isinstance(Empty(), Empty.modelInstance)


def test_models_are_registered_in_creation_order():
    before = len(_EntityMeta.ModelList)

    class First(Entity):
        pass

    class Second(Entity):
        pass

    assert _EntityMeta.ModelList[before:] == [First, Second]


def test_three_argument_type_call_runs_the_metaclass():
    cls = type("ThingModel", (Entity,), {"size": IntProperty()})
    assert type(cls) is _EntityMeta and cls.tableName == "thing" and cls.modelInstance.__name__ == "ThingModelInstance"


def test_class_keywords_are_ignored():
    class Tagged(Entity, flavour="x"):
        a = IntProperty()

    assert Tagged.tableName == "tagged"


@pytest.mark.parametrize("args, message", [
    ((b"X", (Entity,), {}), "Argument 'name' has incorrect type (expected str, got bytes)"),
    (("X", [Entity], {}), "Argument 'bases' has incorrect type (expected tuple, got list)"),
    (("X", (Entity,), [("a", 1)]), "Argument 'attrs' has incorrect type (expected dict, got list)"),
])
def test_metaclass_refuses_wrong_argument_types(args, message):
    before = len(_EntityMeta.ModelList)
    with pytest.raises(TypeError) as info:
        _EntityMeta(*args)
    assert str(info.value) == message
    assert len(_EntityMeta.ModelList) == before


def test_metaclass_with_no_namespace_registers_nothing():
    before = len(_EntityMeta.ModelList)
    with pytest.raises(AttributeError):
        _EntityMeta("X", (Entity,), None)
    assert len(_EntityMeta.ModelList) == before


def test_get_property_obj_classifies_and_refuses_non_str_names():
    prop, fk = IntProperty(), ForeignKey(Entity)
    cols, mapping, fks = _EntityMeta.getPropertyObj(_EntityMeta, {"a": prop, "b": 1, "c": fk})
    assert cols == [prop] and fks == [fk] and list(mapping) == ["a", "c"]
    assert mapping["a"] is prop and mapping["c"] is fk
    with pytest.raises(TypeError, match="Cannot convert int to str"):
        _EntityMeta.getPropertyObj(_EntityMeta, {1: prop})


def test_table_name_field_of_the_native_base():
    obj = _Entity()
    assert obj.tableName is None
    obj.tableName = "t"
    assert obj.tableName == "t"
    with pytest.raises(TypeError):
        obj.tableName = 5
    del obj.tableName
    assert obj.tableName is None


# ---------------------------------------------------------------------------
# Row class
# ---------------------------------------------------------------------------

def test_row_class_of_a_model():
    class UserModel(Entity):
        id = IntProperty(pk=True)

    class Other(Entity):
        pass

    row_class = UserModel.modelInstance
    assert row_class.__name__ == "UserModelInstance"
    assert row_class.__bases__ == (ModelInstance,)
    assert row_class.object is UserModel
    assert row_class._temp == {} and row_class._temp is not Other.modelInstance._temp
    row = UserModel(id=1)
    assert type(row) is row_class and isinstance(row, ModelInstance) and isinstance(row, dict)
    assert not isinstance(row, UserModel)


def test_calling_a_model_returns_what_its_instance_builder_returns():
    class Rowless(Entity):
        @classmethod
        def instanceBuilder(cls, *args, **kwargs):
            return None

    class Wrong(Entity):
        @classmethod
        def instanceBuilder(cls, *args, **kwargs):
            return 5

    assert Rowless(a=1) is None
    with pytest.raises(TypeError, match="Cannot convert int to ModelInstance"):
        Wrong()


def test_instance_builder_checks_the_row_class_result():
    class Odd(Entity):
        pass

    Odd.modelInstance = lambda *a, **k: "row"
    with pytest.raises(TypeError, match="Cannot convert str to ModelInstance"):
        Odd.instanceBuilder()


# ---------------------------------------------------------------------------
# Pydantic model
# ---------------------------------------------------------------------------

def test_pydantic_model_fields():
    class Tag(Entity):
        id = IntProperty(pk=True, Null=False)

    class Note(Entity):
        id = IntProperty(pk=True, Null=False)
        title = StrProperty(Null=False)
        body = StrProperty()
        pinned = BoolProperty(Null=False, default=False)
        tag = key(Tag, name="tag")
        tags = key(Tag, ForeignType.ONE_TO_MANY, name="tags", targetBindCol=Tag.pkCol)

    model = Note.MODEL
    assert issubclass(model, pydantic.BaseModel) and model.__name__ == "Note"
    assert pydantic_model("Note") is model
    fields = model.model_fields
    assert list(fields) == ["id", "title", "body", "pinned", "tag", "tags"]
    assert fields["id"].is_required() and fields["id"].annotation is int
    assert fields["title"].is_required() and fields["title"].annotation is str
    # A nullable column without a default is optional; defaults are in Python form.
    assert not fields["body"].is_required() and fields["body"].annotation == typing.Optional[str]
    assert fields["body"].default is None
    assert not fields["pinned"].is_required() and fields["pinned"].default is False
    assert fields["tag"].annotation == typing.Optional[Tag.MODEL] and fields["tag"].default is None
    assert fields["tags"].annotation == typing.List[Tag.MODEL] and fields["tags"].default == []

    note = model(id=1, title="t", tags=[{"id": 2}])
    assert note.tags[0].id == 2 and note.tag is None and note.pinned is False
    with pytest.raises(pydantic.ValidationError):
        model(id=1, body=None)  # title is required


def test_pydantic_models_serve_rows_through_fastapi():
    import fastapi
    from fastapi.testclient import TestClient

    class Reading(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        label = StrProperty(Null=False)
        active = BoolProperty(default=True)
        data = JsonProperty(default={})
        taken = TimestampProperty()
        since = TimestampProperty(targetType=timestampSupportType.varchar, default="2020-01-01 00:00:00")
        logged = TimestampProperty(default=current_timestamp)

    app = fastapi.FastAPI()

    @app.post("/readings", response_model=Reading.MODEL)
    def create(body: Reading.MODEL):
        return Reading(**body.model_dump())

    @app.get("/readings/{n}", response_model=Reading.MODEL)
    def read(n: int):
        return Reading(id=n, label="x", active="off", data=[1, "two"], taken="2024-01-01 05:08:09")

    client = TestClient(app)
    # JSON values of any kind validate; a nullable timestamp may be left out; defaults come in Python form.
    answer = client.post("/readings", json={"label": "a", "data": [1, {"b": None}]})
    assert answer.status_code == 200, answer.text
    assert answer.json() == {"id": None, "label": "a", "active": True, "data": [1, {"b": None}], "taken": None,
                             "since": "2020-01-01T00:00:00", "logged": None}
    assert client.get("/readings/3").json() == {"id": 3, "label": "x", "active": False, "data": [1, "two"],
                                                "taken": "2024-01-01T05:08:09", "since": "2020-01-01T00:00:00",
                                                "logged": None}
    assert Reading.MODEL(label="b", taken=Reading(label="b")["since"]).model_dump_json() == (
        '{"id":null,"label":"b","active":true,"data":{},"taken":"2020-01-01T00:00:00",'
        '"since":"2020-01-01T00:00:00","logged":null}')

    schemas = client.get("/openapi.json").json()["components"]["schemas"]
    schema = schemas.get("Reading") or schemas["Reading-Input"]
    props = schema["properties"]
    assert schema["required"] == ["label"]
    assert {"type": "boolean"} in props["active"]["anyOf"] and props["active"]["default"] is True
    assert props["data"]["default"] == {} and "type" not in props["data"]  # any JSON value
    assert {"type": "string", "format": "date-time"} in props["taken"]["anyOf"]
    assert props["since"]["default"] == "2020-01-01T00:00:00"


def test_pydantic_builder_refuses_non_properties():
    with pytest.raises(TypeError, match="Cannot convert str to .*BaseProperty"):
        _EntityMeta.buildPydanticModel(None, ["x"], "Bad", [])


def test_relation_to_a_non_model_fails_at_class_creation():
    # The interpreter wraps errors of __set_name__ in a RuntimeError whose
    # cause is the binding's own error.
    with pytest.raises((AttributeError, RuntimeError)) as info:
        class Broken(Entity):
            other = key(dict, name="other")
    error = info.value
    while isinstance(error, RuntimeError) and error.__cause__ is not None:
        error = error.__cause__
    assert isinstance(error, AttributeError)


# ---------------------------------------------------------------------------
# Middle models
# ---------------------------------------------------------------------------

class SideA(Entity):
    id = IntProperty(pk=True)


class SideB(Entity):
    id = IntProperty(pk=True)


class LinkAB(MiddleEntity):
    a = key(SideA, ForeignType.ONE_TO_MANY, name="a", targetBindCol=SideA.pkCol)
    b = key(SideB, ForeignType.ONE_TO_MANY, name="b", targetBindCol=SideB.pkCol)


class SelfLink(MiddleEntity):
    left = key(SideA, ForeignType.ONE_TO_MANY, name="left", targetBindCol=SideA.pkCol)
    right = key(SideA, ForeignType.ONE_TO_MANY, name="right", targetBindCol=SideA.pkCol)


@pytest.mark.parametrize("middle, asked, fk_index, other", [
    (LinkAB, SideA, 1, SideB),
    (LinkAB, SideB, 0, SideA),
    (LinkAB, Entity, 0, SideA),
    (SelfLink, SideA, 1, SideA),
])
def test_middle_model_lookups(middle, asked, fk_index, other):
    assert middle.getOtherFkBy(asked) is middle.fk[fk_index]
    assert middle.getOtherModelBy(asked) is other


def test_middle_model_with_fewer_than_two_keys():
    class Half(MiddleEntity):
        a = key(SideA, ForeignType.ONE_TO_MANY, name="a", targetBindCol=SideA.pkCol)

    class Bare(MiddleEntity):
        pass

    assert Half.getOtherFkBy(SideB) is Half.fk[0]
    with pytest.raises(IndexError):
        Half.getOtherFkBy(SideA)
    with pytest.raises(IndexError):
        Bare.getOtherFkBy(SideA)


def test_middle_models_have_no_rows_and_derive_their_table():
    UserRole = type("UserRole", (MiddleEntity,), {})
    assert UserRole.tableName == "user_role"
    assert LinkAB(a=1) is None and LinkAB() is None and LinkAB({"a": 1}, 2, check=False) is None
    assert UserRole in _EntityMeta.ModelList


# ---------------------------------------------------------------------------
# Executors
# ---------------------------------------------------------------------------

def test_async_executor_is_always_async():
    from Quillon.Model.Executors import AsyncModelExecutor

    class Job(Entity):
        id = IntProperty(pk=True)

    ex = Job.getAsyncExecutor()
    assert type(ex) is AsyncModelExecutor and ex.model is Job and ex.work is None
    assert Job.getAsyncExecutor(work="con").work == "con"


def test_get_executor_before_the_facade_exists():
    out = run_python("""
        from Quillon.Model.Entity import Entity
        from Quillon.Error.DbFault import DBInstanceMissingError
        try:
            Entity.getExecutor()
        except DBInstanceMissingError:
            print("missing")
    """)
    assert out.strip() == "missing"


def _connectors_available():
    out = run_python("""
        import inspect
        from Quillon.DB.Connector import Sqlite3Connector
        try:
            Sqlite3Connector(":memory:")
            print("yes")
        except TypeError:
            print("no")
    """)
    return out.strip() == "yes"


@pytest.mark.parametrize("connector, expected", [
    ("Sqlite3Connector(path)", "ModelExecutor"),
    ("AioSqliteConnector(asyncio.new_event_loop(), path=path)", "AsyncModelExecutor"),
])
def test_get_executor_follows_the_active_connector(connector, expected, tmp_path):
    if not _connectors_available():
        pytest.skip("the SQLite connectors are not built yet")
    out = run_python(f"""
        import asyncio
        from Quillon.DB.DB import DB
        from Quillon.DB.Connector import Sqlite3Connector, AioSqliteConnector
        from Quillon.Model.Entity import Entity
        from Quillon.Model.Columns import IntProperty

        class Job(Entity):
            id = IntProperty(pk=True)

        path = {str(tmp_path / "db.sqlite")!r}
        DB.create(connector={connector})
        ex = Job.getExecutor("con")
        print(type(ex).__name__, ex.model is Job, ex.work)
        print(type(Job.getAsyncExecutor()).__name__)
    """)
    assert out.split("\n")[:2] == [f"{expected} True con", "AsyncModelExecutor"]
