"""ForeignKey as a record: entries, attribute reads, equality and directTarget."""

import enum

import pytest

from Quillon.Model.Columns import ForeignKey, ForeignType, IntProperty
from Quillon.Model.Entity import Entity


class User(Entity):
    tableName = "user"
    id = IntProperty(pk=True)


class Role(Entity):
    tableName = "role"
    id = IntProperty(pk=True)


def test_foreign_type_members():
    assert issubclass(ForeignType, enum.Enum)
    assert [(m.name, m.value) for m in ForeignType] == [
        ("ONE_TO_ONE", 1), ("ONE_TO_MANY", 2), ("MANY_TO_MANY", 3)]


def test_new_key_holds_five_entries_in_order():
    key = ForeignKey(User)
    assert list(key.items()) == [
        ("target", User), ("bindCol", None), ("Type", ForeignType.ONE_TO_ONE),
        ("targetBindCol", None), ("middleModel", None)]
    assert "name" not in key and "owner" not in key
    assert isinstance(key, dict)


def test_constructor_parameters_by_position_and_keyword():
    key = ForeignKey(Role, ForeignType.ONE_TO_MANY, User.id, Role.id, User)
    assert key["Type"] is ForeignType.ONE_TO_MANY
    assert key["bindCol"] is User.id and key["targetBindCol"] is Role.id and key["middleModel"] is User
    key = ForeignKey(targetBindCol=Role.id, Type=ForeignType.MANY_TO_MANY)
    assert key["target"] is None and key["targetBindCol"] is Role.id
    assert list(key) == ["target", "bindCol", "Type", "targetBindCol", "middleModel"]
    with pytest.raises(TypeError):
        ForeignKey(User, unknown=1)


def test_attribute_reads_fall_back_to_entries_then_none():
    key = ForeignKey(User, bindCol=User.id)
    assert key.target is User
    assert key.Type is ForeignType.ONE_TO_ONE
    assert key.bindCol is User.id
    assert key.owner is None
    assert key.anythingElse is None
    # Real attributes win over entries.
    key["keys"] = "shadowed"
    assert callable(key.keys)
    key["owner"] = Role
    assert key.owner is Role


def test_attributes_cannot_be_assigned():
    key = ForeignKey(User)
    with pytest.raises(AttributeError):
        key.target = Role
    with pytest.raises(AttributeError):
        key.note = 1
    assert key["target"] is User
    # No attribute dictionary: the name reads as a missing entry.
    assert type(key).__dictoffset__ == 0
    assert key.__dict__ is None


def test_entries_change_by_subscript():
    key = ForeignKey(User)
    key["target"] = Role
    assert key.target is Role and key.directTarget is Role


def test_equality_and_hashing():
    assert ForeignKey(User) == ForeignKey(User)
    assert ForeignKey(User) != ForeignKey(Role)
    assert ForeignKey(User) == {"target": User, "bindCol": None, "Type": ForeignType.ONE_TO_ONE,
                                "targetBindCol": None, "middleModel": None}
    with pytest.raises(TypeError):
        hash(ForeignKey(User))
    with pytest.raises(TypeError):
        {ForeignKey(User)}


@pytest.mark.parametrize("kind", [ForeignType.ONE_TO_ONE, ForeignType.ONE_TO_MANY])
def test_direct_target_of_plain_relations(kind):
    assert ForeignKey(User, kind).directTarget is User


def test_direct_target_of_many_to_many_asks_the_middle_model():
    class Middle:
        @staticmethod
        def getOtherModelBy(model):
            return {User: Role, Role: User}[model]

    key = ForeignKey(Middle, ForeignType.MANY_TO_MANY)
    key["owner"] = User
    assert key.directTarget is Role
    key["owner"] = Role
    assert key.directTarget is User


def test_direct_target_of_unbound_many_to_many_fails():
    with pytest.raises(AttributeError):
        ForeignKey(User, ForeignType.MANY_TO_MANY).directTarget


def test_key_can_be_subclassed():
    class Tagged(ForeignKey):
        def describe(self):
            return f"{self.Type.name} to {self.target.__name__}"

    key = Tagged(Role)
    assert key.describe() == "ONE_TO_ONE to Role"
    assert key.missing is None
