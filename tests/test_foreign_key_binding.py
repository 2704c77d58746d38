"""ForeignKey binding: name and owner, default bind columns, reverse keys,
and the middle models that many-to-many relations generate."""

import sqlite3
import sys

import pytest

from Quillon.DB.Generator import TableGenerator
from Quillon.Error.ColumnFault import ForeignKeyDependError
from Quillon.Model.Columns import ForeignKey, ForeignType, IntProperty, StrProperty
from Quillon.Model.Entity import Entity, MiddleEntity, _EntityMeta

ONE_TO_MANY_MESSAGE = "一对多外键需绑定目标表的指定字段"


# Before 3.12 the interpreter wraps an error raised by __set_name__ in a
# RuntimeError (once per class being created); since then it passes through.
SET_NAME_ERRORS_WRAPPED = sys.version_info < (3, 12)


def set_name_error(excinfo):
    """The error a __set_name__ hook raised, unwrapped."""
    err = excinfo.value
    while isinstance(err, RuntimeError) and err.__cause__ is not None:
        err = err.__cause__
    return err


def plain_key_entries(key):
    return {k: key[k] for k in ("target", "bindCol", "Type", "targetBindCol", "middleModel")}


# ---------------------------------------------------------------------------
# One-to-one and one-to-many binding
# ---------------------------------------------------------------------------

def make_user():
    class User(Entity):
        tableName = "user"
        id = IntProperty(pk=True)
        name = StrProperty()

    return User


def test_one_to_one_binding_defaults_to_primary_keys():
    User = make_user()

    class Post(Entity):
        tableName = "post"
        id = IntProperty(pk=True)
        author = ForeignKey(User)

    key = Post.author
    assert list(key) == ["target", "bindCol", "Type", "targetBindCol", "middleModel", "name", "owner"]
    assert key["name"] == "author" and key["owner"] is Post
    assert key["target"] is User and key["middleModel"] is None
    assert key["bindCol"] is Post.id and key["targetBindCol"] is User.id
    assert key["Type"] is ForeignType.ONE_TO_ONE
    assert Post.fk == [key] and Post.mapping["author"] is key
    assert key.directTarget is User


def test_one_to_one_reverse_key_swaps_bind_columns_and_stays_unbound():
    User = make_user()

    class Post(Entity):
        tableName = "post"
        id = IntProperty(pk=True)
        author = ForeignKey(User)

    reverse = User.post
    assert isinstance(reverse, ForeignKey)
    assert plain_key_entries(reverse) == {
        "target": Post, "bindCol": User.id, "Type": ForeignType.ONE_TO_ONE,
        "targetBindCol": Post.id, "middleModel": None}
    assert "name" not in reverse and "owner" not in reverse
    assert "post" not in User.mapping
    assert all(k is not reverse for k in User.fk)


@pytest.mark.parametrize("existing", ["a column", None, 0])
def test_existing_attribute_on_target_stops_the_reverse_key(existing):
    User = make_user()
    User.post = existing

    class Post(Entity):
        tableName = "post"
        id = IntProperty(pk=True)
        author = ForeignKey(User)

    assert User.post == existing and not isinstance(User.post, ForeignKey)
    assert Post.author["target"] is User


def test_inherited_attribute_also_counts_as_existing():
    # "fk" is a class attribute of every model; a table of that name gets no reverse key.
    User = make_user()

    class Audit(Entity):
        tableName = "fk"
        id = IntProperty(pk=True)
        user = ForeignKey(User)

    assert User.fk == [] and isinstance(User.fk, list)


def test_explicit_bind_columns_are_kept():
    User = make_user()

    class Post(Entity):
        tableName = "post"
        id = IntProperty(pk=True)
        writer = IntProperty()
        author = ForeignKey(User, bindCol=writer, targetBindCol=User.name)

    assert Post.author["bindCol"] is Post.writer
    assert Post.author["targetBindCol"] is User.name
    assert User.post["bindCol"] is User.name and User.post["targetBindCol"] is Post.writer


def test_key_without_target_refers_to_its_own_class():
    class Node(Entity):
        tableName = "node"
        id = IntProperty(pk=True)
        parent = ForeignKey()

    key = Node.parent
    assert key["target"] is Node and key["owner"] is Node
    assert key["bindCol"] is Node.id and key["targetBindCol"] is Node.id
    # The reverse key lands on the same class, under its own table name.
    assert Node.node["target"] is Node and "owner" not in Node.node


def test_owner_without_primary_key_leaves_bind_column_none():
    User = make_user()

    class Tag(Entity):
        tableName = "tag"
        label = StrProperty()
        user = ForeignKey(User)

    assert Tag.user["bindCol"] is None and Tag.user["targetBindCol"] is User.id
    assert User.tag["targetBindCol"] is None


def test_one_to_many_with_target_column_binds_and_reverses_one_to_one():
    User = make_user()

    class Comment(Entity):
        tableName = "comment"
        id = IntProperty(pk=True)
        user_id = IntProperty()
        users = ForeignKey(User, ForeignType.ONE_TO_MANY, targetBindCol=User.id)

    key = Comment.users
    assert key["Type"] is ForeignType.ONE_TO_MANY and key["owner"] is Comment
    assert key["bindCol"] is Comment.id and key["targetBindCol"] is User.id
    assert User.comment["Type"] is ForeignType.ONE_TO_ONE
    assert User.comment["bindCol"] is User.id and User.comment["targetBindCol"] is Comment.id


def test_one_to_many_without_target_column_refuses_the_class():
    User = make_user()
    known = list(_EntityMeta.ModelList)
    with pytest.raises(RuntimeError) as excinfo:
        class Broken(Entity):
            tableName = "broken"
            id = IntProperty(pk=True)
            users = ForeignKey(User, ForeignType.ONE_TO_MANY)

    err = set_name_error(excinfo)
    assert type(err) is RuntimeError and err.args == (ONE_TO_MANY_MESSAGE,)
    assert _EntityMeta.ModelList == known
    assert not hasattr(User, "broken")


def test_subclass_hooks_replace_the_binding_steps():
    calls = []

    class LoggedKey(ForeignKey):
        __slots__ = ()

        def _processTarget(self):
            calls.append(("target", self["name"]))

    User = make_user()

    class Post(Entity):
        tableName = "post"
        id = IntProperty(pk=True)
        author = LoggedKey(User)

    assert calls == [("target", "author")]
    assert not hasattr(User, "post")
    assert Post.author["bindCol"] is Post.id


# ---------------------------------------------------------------------------
# Owners that are not models
# ---------------------------------------------------------------------------

def test_key_in_a_plain_class_raises_depend_error_after_recording_name_and_owner():
    User = make_user()
    key = ForeignKey(User)
    with pytest.raises((ForeignKeyDependError, RuntimeError)) as excinfo:
        class Plain:
            author = key

    err = set_name_error(excinfo)
    assert type(err) is ForeignKeyDependError and err.args == ()
    assert key["name"] == "author" and key["owner"].__name__ == "Plain"
    # Nothing else was bound: no defaults, no reverse key.
    assert key["bindCol"] is None and key["targetBindCol"] is None
    assert not hasattr(User, "plain")


def test_direct_binding_call_reports_the_depend_error_itself():
    key = ForeignKey(make_user())

    class Plain:
        pass

    with pytest.raises(ForeignKeyDependError):
        key.__set_name__(Plain, "x")
    assert key["owner"] is Plain and key["name"] == "x"


def test_target_that_is_not_a_model_fails_on_its_attributes():
    with pytest.raises(RuntimeError if SET_NAME_ERRORS_WRAPPED else AttributeError) as excinfo:
        class Broken(Entity):
            tableName = "broken"
            id = IntProperty(pk=True)
            other = ForeignKey(dict)

    assert isinstance(set_name_error(excinfo), AttributeError)


@pytest.mark.parametrize("args, message", [
    ((), r"takes exactly 2 positional arguments \(0 given\)"),
    ((Entity,), r"takes exactly 2 positional arguments \(1 given\)"),
    ((Entity, "a", "b"), r"takes exactly 2 positional arguments \(3 given\)"),
])
def test_binding_takes_owner_and_name(args, message):
    with pytest.raises(TypeError, match=message):
        ForeignKey().__set_name__(*args)


# ---------------------------------------------------------------------------
# Many-to-many and the generated middle model
# ---------------------------------------------------------------------------

def make_user_role():
    class RoleModel(Entity):
        id = IntProperty(pk=True)
        title = StrProperty()

    class UserModel(Entity):
        id = IntProperty(pk=True)
        roles = ForeignKey(RoleModel, ForeignType.MANY_TO_MANY)

    return UserModel, RoleModel


def test_many_to_many_generates_the_middle_class():
    UserModel, RoleModel = make_user_role()
    assert (UserModel.tableName, RoleModel.tableName) == ("user", "role")
    middle = UserModel.roles["middleModel"]
    assert middle.__name__ == "UserRole"
    assert issubclass(middle, MiddleEntity) and middle.__bases__ == (MiddleEntity,)
    assert middle.tableName == "user_role"
    assert middle in _EntityMeta.ModelList
    assert list(vars(middle))[:4] == ["user_id", "role_id", "user", "role"]
    assert list(middle.mapping) == ["user_id", "role_id", "user", "role"]
    assert [c.name for c in middle.col] == ["user_id", "role_id"]
    assert all(type(c) is IntProperty and not c.isPk for c in middle.col)
    assert middle.fk == [middle.user, middle.role]


def test_middle_keys_are_bound_one_to_many_keys():
    UserModel, RoleModel = make_user_role()
    middle = UserModel.roles["target"]
    for key, model, column in ((middle.user, UserModel, middle.user_id), (middle.role, RoleModel, middle.role_id)):
        assert key["Type"] is ForeignType.ONE_TO_MANY
        assert key["target"] is model and key["owner"] is middle
        assert key["bindCol"] is column and key["targetBindCol"] is model.id
        assert key["name"] == model.tableName
    assert middle.getOtherModelBy(UserModel) is RoleModel
    assert middle.getOtherModelBy(RoleModel) is UserModel


def test_declared_many_to_many_key_points_at_the_middle():
    UserModel, RoleModel = make_user_role()
    key = UserModel.roles
    middle = key["middleModel"]
    assert key["target"] is middle
    assert key["Type"] is ForeignType.MANY_TO_MANY
    assert key["owner"] is UserModel and key["name"] == "roles"
    assert key["bindCol"] is UserModel.id
    assert key["targetBindCol"] is middle.user_id
    assert key.directTarget is RoleModel
    assert UserModel.fk == [key]


def test_target_gains_the_reverse_many_to_many_key():
    UserModel, RoleModel = make_user_role()
    middle = UserModel.roles["middleModel"]
    reverse = RoleModel.user
    assert list(reverse.items()) == [
        ("target", middle), ("bindCol", RoleModel.id), ("Type", ForeignType.MANY_TO_MANY),
        ("targetBindCol", middle.role_id), ("middleModel", middle), ("owner", RoleModel), ("name", "user")]
    assert RoleModel.fk[-1] is reverse
    assert "user" not in RoleModel.mapping
    assert reverse.directTarget is UserModel


def test_both_models_gain_one_to_one_keys_named_after_the_middle_table():
    UserModel, RoleModel = make_user_role()
    middle = UserModel.roles["middleModel"]
    for model, column in ((UserModel, middle.user_id), (RoleModel, middle.role_id)):
        back = getattr(model, "user_role")
        assert back["Type"] is ForeignType.ONE_TO_ONE and back["target"] is middle
        assert back["bindCol"] is model.id and back["targetBindCol"] is column
        assert "owner" not in back


def test_many_to_many_with_given_middle_model_generates_nothing():
    class TagModel(Entity):
        id = IntProperty(pk=True)

    class Link(MiddleEntity):
        tableName = "note_tag_link"

    count = len(_EntityMeta.ModelList)

    class NoteModel(Entity):
        id = IntProperty(pk=True)
        tags = ForeignKey(TagModel, ForeignType.MANY_TO_MANY, middleModel=Link)

    assert len(_EntityMeta.ModelList) == count + 1
    key = NoteModel.tags
    assert key["target"] is TagModel and key["middleModel"] is Link
    assert key["bindCol"] is NoteModel.id and key["targetBindCol"] is TagModel.id
    assert not hasattr(TagModel, "note")


def test_many_to_many_self_relation_keeps_two_link_columns():
    class Person(Entity):
        id = IntProperty(pk=True)
        friends = ForeignKey(Type=ForeignType.MANY_TO_MANY)

    key = Person.friends
    middle = key["middleModel"]
    assert middle.__name__ == "PersonPerson" and middle.tableName == "person_person"
    assert list(middle.mapping) == ["person_id", "friends_id", "person", "friends"]
    assert middle.person["target"] is Person and middle.friends["target"] is Person
    assert key["target"] is middle and key["targetBindCol"] is middle.person_id
    assert key.directTarget is Person
    reverse = Person.person
    assert reverse["Type"] is ForeignType.MANY_TO_MANY and reverse["owner"] is Person
    assert reverse["targetBindCol"] is middle.friends_id
    assert Person.fk == [key, reverse]


def test_self_relation_named_after_its_own_table():
    class Member(Entity):
        id = IntProperty(pk=True)
        member = ForeignKey(Type=ForeignType.MANY_TO_MANY)

    middle = Member.fk[0]["middleModel"]
    assert list(middle.mapping) == ["member_id", "member_member_id", "member", "member_member"]


def test_many_to_many_to_a_keyless_model_is_refused():
    class LabelModel(Entity):
        text = StrProperty()

    with pytest.raises(RuntimeError) as excinfo:
        class DocModel(Entity):
            id = IntProperty(pk=True)
            labels = ForeignKey(LabelModel, ForeignType.MANY_TO_MANY)

    # The middle's key towards the keyless side has nothing to bind to.
    assert set_name_error(excinfo).args == (ONE_TO_MANY_MESSAGE,)


def test_middle_name_drops_every_model_word():
    class ModelShopModel(Entity):
        id = IntProperty(pk=True)

    class ItemModelModel(Entity):
        id = IntProperty(pk=True)
        shops = ForeignKey(ModelShopModel, ForeignType.MANY_TO_MANY)

    middle = ItemModelModel.shops["middleModel"]
    assert middle.__name__ == "ItemShop" and middle.tableName == "item_shop"
    assert list(middle.mapping) == ["item_id", "shop_id", "item", "shop"]


def test_middle_link_columns_copy_the_key_property_class():
    class CodeModel(Entity):
        code = StrProperty(pk=True)

    class RunModel(Entity):
        id = IntProperty(pk=True)
        codes = ForeignKey(CodeModel, ForeignType.MANY_TO_MANY)

    middle = RunModel.codes["middleModel"]
    assert type(middle.run_id) is IntProperty and type(middle.code_id) is StrProperty


# ---------------------------------------------------------------------------
# The middle table in a real database
# ---------------------------------------------------------------------------

def test_middle_table_is_created_and_links_rows_in_sqlite():
    UserModel, RoleModel = make_user_role()
    middle = UserModel.roles["middleModel"]
    conn = sqlite3.connect(":memory:")
    for model in (UserModel, RoleModel, middle):
        sql, = TableGenerator(model).Build()
        conn.execute(sql)
    tables = {r[0] for r in conn.execute("select name from sqlite_master where type = 'table'")}
    assert tables == {"user", "role", "user_role"}
    assert [r[1] for r in conn.execute("pragma table_info(user_role)")] == ["user_id", "role_id"]

    conn.executemany("insert into user (id) values (?)", [(1,), (2,)])
    conn.executemany("insert into role (id, title) values (?, ?)", [(10, "admin"), (20, "editor")])
    conn.executemany("insert into user_role (user_id, role_id) values (?, ?)", [(1, 10), (1, 20), (2, 20)])

    # Walk the relation the way the keys describe it.
    key, reverse = UserModel.roles, RoleModel.user
    sql = (f"select r.title from {key['target'].tableName} m join role r on r.id = m.{reverse['targetBindCol'].name}"
           f" where m.{key['targetBindCol'].name} = ? order by r.title")
    assert [r[0] for r in conn.execute(sql, (1,))] == ["admin", "editor"]
    assert [r[0] for r in conn.execute(sql, (2,))] == ["editor"]
