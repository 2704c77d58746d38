"""Model rows: construction from keywords, a dict or a zip, conversion and
defaults, nested relation rows, the attribute rules, the native row builder
the executors use and the row list's native length."""

import ctypes
import gc
import weakref

import pytest

import Quillon.Model.Entity as entity_module
from Quillon.Model.Columns import (BoolProperty, FloatProperty, ForeignKey, ForeignType, IntProperty,
                                   JsonProperty, StrProperty, boolSupportType)
from Quillon.Model.Entity import Entity, InstanceList, MiddleEntity, ModelInstance


def key(target, type_=ForeignType.ONE_TO_ONE, name=None, **kw):
    """A foreign key carrying the name its binding would give it."""
    fk = ForeignKey(target, type_, **kw)
    fk["name"] = name
    return fk


# ---------------------------------------------------------------------------
# Native table access (what the executors call)
# ---------------------------------------------------------------------------

class _EntityApi(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint)] + [(n, ctypes.c_void_p) for n in (
        "_Entity", "_EntityMeta", "ModelInstance", "InstanceList", "instanceListOps", "Entity", "MiddleEntity",
        "buildRow")]


def _api():
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return _EntityApi.from_address(get(entity_module._C_API, b"Quillon.Model.Entity._C_API"))


API = _api()
build_row = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_int)(API.buildRow)
native_len = ctypes.PYFUNCTYPE(ctypes.c_ssize_t, ctypes.py_object)(
    ctypes.c_void_p.from_address(API.instanceListOps).value)


# ---------------------------------------------------------------------------
# Models
# ---------------------------------------------------------------------------

class Country(Entity):
    id = IntProperty(pk=True)
    name = StrProperty(default="nowhere")


class Profile(Entity):
    id = IntProperty(pk=True)
    bio = StrProperty()
    settings = JsonProperty(default={"theme": "dark"})


class Post(Entity):
    id = IntProperty(pk=True)
    title = StrProperty()
    score = FloatProperty(typeArgs=(10, 2))


class Tag(Entity):
    id = IntProperty(pk=True)
    label = StrProperty()


class Person(Entity):
    id = IntProperty(pk=True)
    name = StrProperty()
    height = FloatProperty(typeArgs=(5, 2), default=1.75)
    active = BoolProperty(targetType=boolSupportType.varchar, default=True)
    profile = key(Profile, name="profile")
    posts = key(Post, ForeignType.ONE_TO_MANY, name="posts", targetBindCol=Post.pkCol)


class PersonTag(MiddleEntity):
    person = key(Person, ForeignType.ONE_TO_MANY, name="person", targetBindCol=Person.pkCol)
    tag = key(Tag, ForeignType.ONE_TO_MANY, name="tag", targetBindCol=Tag.pkCol)


class Tagged(Entity):
    id = IntProperty(pk=True)
    tags = key(PersonTag, ForeignType.MANY_TO_MANY, name="tags", middleModel=PersonTag)


Tagged.mapping["tags"]["owner"] = Person  # the far side seen from Person is Tag


# ---------------------------------------------------------------------------
# Construction
# ---------------------------------------------------------------------------

def test_no_arguments_gives_every_column_from_its_default():
    row = Person()
    assert row == {"id": None, "name": None, "height": 1.75, "active": True}
    assert list(row) == ["id", "name", "height", "active"]
    assert Profile()["settings"] == {"theme": "dark"}  # stored as JSON text by Default, decoded again
    assert Profile()["settings"] is not Profile()["settings"]


def test_keywords_are_converted_by_the_properties():
    row = Person(id=1, name="ann", height="1.6666", active="1", unknown=5)
    assert row == {"id": 1, "name": "ann", "height": 1.67, "active": True}
    # Flags convert by the meaning of the word; a row leaving a nullable JSON column out holds None.
    assert [Person(active=w)["active"] for w in ("yes", "off", "FALSE", "0")] == [True, False, False, False]
    assert Profile(settings=None)["settings"] is None and Profile(id=1, settings="hi")["settings"] == "hi"
    with pytest.raises(ValueError, match="column 'person.active' cannot take 'maybe'"):
        Person(active="maybe")
    with pytest.raises(ValueError, match="column 'person.id' cannot take 'abc'"):
        Person(id="abc")


def test_check_false_keeps_exactly_the_given_values():
    assert Person(check=False) == {}
    row = Person(height="1.6666", unknown=5, check=False)
    assert row == {"height": "1.6666"}


@pytest.mark.parametrize("check", [True, False])
def test_a_dict_is_the_same_as_keywords(check):
    values = {"id": 3, "name": "bo", "height": "2.04", "check": not check}
    assert Person(values, check=check) == Person(id=3, name="bo", height="2.04", check=check)


def test_keywords_beside_a_dict_supply_no_values():
    assert Person({"id": 1}, name="x") == {"id": 1, "name": None, "height": 1.75, "active": True}
    assert Person({"id": 1}, name="x", check=False) == {"id": 1}


def test_another_row_can_be_the_source():
    first = Person(id=4, name="c")
    assert Person(first) == first and Person(first) is not first


def test_a_zip_keeps_undeclared_columns_and_converts_declared_ones():
    row = Person(zip(["id", "height", "extra"], [7, "1.234", "raw"]))
    assert row == {"id": 7, "height": 1.23, "extra": "raw", "name": None, "active": True}
    row = Person(zip(["height", "extra"], ["1.234", "raw"]), check=False)
    assert row == {"height": "1.234", "extra": "raw"}


def test_other_first_arguments_and_extra_positionals_are_ignored():
    assert Person(5, {"id": 1}, id=2) == Person(id=2)


def test_conversion_errors_propagate():
    with pytest.raises(ValueError):
        Person(height="tall")


def test_python_overrides_of_the_conversion_are_honoured():
    class Upper(StrProperty):
        def toObjValue(self, value):
            return None if value is None else value.upper()

    class Shout(Entity):
        word = Upper()

    assert Shout(word="hey") == {"word": "HEY"}
    assert Shout(word="hey", check=False) == {"word": "hey"}


# ---------------------------------------------------------------------------
# Nested relation rows
# ---------------------------------------------------------------------------

def test_one_to_one_value_becomes_a_row_of_the_target():
    row = Person(id=1, profile={"id": 9, "bio": "hi"})
    nested = row["profile"]
    assert type(nested) is Profile.modelInstance
    assert nested == {"id": 9, "bio": "hi", "settings": {"theme": "dark"}}


def test_one_to_many_value_becomes_a_list_of_target_rows():
    row = Person(posts=[{"id": 1, "score": "1.239"}, Post(id=2, check=False)])
    assert isinstance(row["posts"], list)
    assert [type(p) for p in row["posts"]] == [Post.modelInstance] * 2
    assert row["posts"] == [{"id": 1, "title": None, "score": 1.24}, {"id": 2, "title": None, "score": None}]


def test_many_to_many_value_becomes_rows_of_the_far_model():
    assert Tagged.mapping["tags"].directTarget is Tag
    row = Tagged(id=1, tags=[{"id": 5, "label": "x"}, {"id": 6}])
    assert [type(t) for t in row["tags"]] == [Tag.modelInstance] * 2
    assert row["tags"] == [{"id": 5, "label": "x"}, {"id": 6, "label": None}]


def test_check_reaches_the_nested_rows():
    row = Person({"posts": [{"score": "1.239"}], "profile": {"bio": "b"}}, check=False)
    assert row == {"posts": [{"score": "1.239"}], "profile": {"bio": "b"}}


@pytest.mark.parametrize("value, check, expected", [
    ([], True, {"posts": []}),
    (None, True, {}),
    (None, False, {"posts": None}),
])
def test_empty_and_missing_relation_values(value, check, expected):
    row = Person(posts=value, check=check)
    assert {k: row[k] for k in row if k == "posts"} == expected


def test_relation_values_are_not_stored_when_not_given():
    assert "profile" not in Person() and "posts" not in Person()


def test_errors_of_nested_values_propagate():
    with pytest.raises(TypeError):
        Person(posts=5)  # not iterable
    with pytest.raises(ValueError):
        Person(posts=[{"score": "high"}])


# ---------------------------------------------------------------------------
# Attributes
# ---------------------------------------------------------------------------

def test_attribute_reads_prefer_entries():
    class Shadow(Entity):
        items = StrProperty()
        object = StrProperty()

    row = Shadow(items="i", object="o")
    assert row.items == "i" and row.object == "o"
    assert Person(id=1).object is Person
    assert Person(id=1).keys() == {"id", "name", "height", "active"}
    assert Person(id=1)._temp == {} and Person(id=1).id == 1


def test_attribute_read_of_a_missing_name_raises_attribute_error():
    with pytest.raises(AttributeError):
        Person(check=False).id


def test_attribute_names_must_be_str():
    with pytest.raises(TypeError, match="Argument 'item' has incorrect type"):
        ModelInstance.__getattribute__(Person(), 1)


def test_attribute_writes_only_for_mapping_names():
    row = Person(id=1)
    row.height = "unconverted"
    row.profile = {"raw": True}
    assert row["height"] == "unconverted" and row["profile"] == {"raw": True}
    before = dict(row)
    with pytest.raises(KeyError) as info:
        row.nickname = "x"
    assert info.value.args == ()
    assert row == before and "nickname" not in row


def test_attribute_deletion_is_ordinary():
    row = Person()
    with pytest.raises(AttributeError):
        del row.id
    assert "id" in row


# ---------------------------------------------------------------------------
# Changes of a model after its first rows
# ---------------------------------------------------------------------------

def test_rows_follow_changes_of_the_mapping():
    class Growing(Entity):
        a = IntProperty()

    assert Growing() == {"a": None}
    extra = StrProperty(default="d")
    extra.name = "b"
    Growing.mapping["b"] = extra
    assert Growing() == {"a": None, "b": "d"}
    Growing.mapping = {"b": extra}
    assert Growing() == {"b": "d"}


def test_rows_follow_a_property_class_gaining_an_override():
    class Loud(StrProperty):
        pass

    class Speech(Entity):
        word = Loud()

    assert Speech(word="a") == {"word": "a"}
    Loud.toObjValue = lambda self, value: value * 2
    assert Speech(word="a") == {"word": "aa"}


# ---------------------------------------------------------------------------
# The native row builder
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("check", [1, 0])
def test_build_row_equals_calling_the_model(check):
    values = {"id": 2, "height": "1.66", "score": 3, "posts": [{"id": 1}]}
    row = build_row(Person, values, check)
    assert type(row) is Person.modelInstance
    assert row == Person(values, check=bool(check))
    assert row["posts"][0] == Post({"id": 1}, check=bool(check))


@pytest.mark.parametrize("store", ["entry", "attribute"])
def test_a_cycle_through_a_row_built_of_atomic_values_is_collected(store):
    # Such a row is left out of the collector's tracking, like a plain dict of
    # atomic values; a container stored in it later brings it back, or the
    # cycle below would never be collected.
    row = build_row(Country, {"id": 1, "name": "x"}, 1)
    assert not gc.is_tracked(row)
    assert gc.is_tracked(build_row(Profile, {"id": 1, "bio": "b", "settings": {"a": 1}}, 1))

    class Marker:
        pass

    marker = Marker()
    holder = [row, marker]
    if store == "entry":
        row["name"] = holder
    else:
        row.name = holder
    assert gc.is_tracked(row)
    gone = weakref.ref(marker)
    del row, holder, marker
    gc.collect()
    assert gone() is None


def test_build_row_honours_an_overridden_instance_builder():
    seen = []

    class Audited(Entity):
        a = IntProperty()

        @classmethod
        def instanceBuilder(cls, *args, **kwargs):
            seen.append((args, kwargs))
            return cls.modelInstance(*args, **kwargs)

    assert build_row(Audited, {"a": 1}, 0) == {"a": 1}
    assert seen == [(({"a": 1},), {"check": False})]
    assert build_row(MiddleEntity, {}, 1) is None


def test_build_row_honours_a_replaced_row_class():
    class Custom(Entity):
        a = IntProperty()

    class CustomRow(Custom.modelInstance):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self["built"] = True

    Custom.modelInstance = CustomRow
    row = build_row(Custom, {"a": 1}, 1)
    assert type(row) is CustomRow and row == {"a": 1, "built": True}


@pytest.mark.parametrize("model, values, error", [
    (Person, [("id", 1)], TypeError),
    (5, {}, TypeError),
    (Person, {"height": "x"}, ValueError),
])
def test_build_row_reports_errors(model, values, error):
    with pytest.raises(error):
        build_row(model, values, 1)


# ---------------------------------------------------------------------------
# InstanceList
# ---------------------------------------------------------------------------

def test_instance_list_is_a_list_with_a_native_length():
    rows = InstanceList([Person(), Person()])
    assert isinstance(rows, list) and rows == [Person(), Person()]
    assert native_len(rows) == 2 and native_len(InstanceList()) == 0


def test_instance_list_length_failure_is_reported_not_raised(monkeypatch):
    class Broken(InstanceList):
        def __len__(self):
            raise RuntimeError("boom")

    reports = []
    monkeypatch.setattr("sys.unraisablehook", reports.append)
    assert native_len(Broken([1, 2])) == 0
    assert len(reports) == 1 and isinstance(reports[0].exc_value, RuntimeError)
    assert reports[0].object == "Quillon.Model.Entity.InstanceList.len"
