"""Table generation for the declared models, on real SQLite files."""

import sqlite3

import pytest

from conftest import fresh_rows, run_python

MODELS = """
from Quillon.Model.Columns import IntProperty, StrProperty, BoolProperty, ForeignKey, ForeignType, auto_increment
from Quillon.Model.Entity import Entity

class Tag(Entity):
    id = IntProperty(pk=True, default=auto_increment)
    label = StrProperty(Null=False, default="it's")

class Article(Entity):
    id = IntProperty(pk=True, default=auto_increment)
    title = StrProperty()
    draft = BoolProperty(default=True)
    tags = ForeignKey(Tag, ForeignType.MANY_TO_MANY)
"""

BLOCKING = MODELS + """
from Quillon.DB.Connector import Sqlite3Connector
from Quillon.DB.DB import DB
from Quillon.Ext import generate_table
db = DB.create(connector=Sqlite3Connector({path!r}))
assert db.GenerateTable() is db
generate_table()          # a second run finds every table and creates nothing
db.executeSql("insert into article (title) values (%s)", args=("a",))
db.executeSql("insert into article (title) values (%s)", args=("b",))
db.getCon.commit()
print(sorted(db.connector.getTableNameList()))
"""

AWAITED = MODELS + """
import asyncio
from Quillon.DB.Connector import AioSqliteConnector
from Quillon.DB.DB import DB
from Quillon.Ext import generate_table
loop = asyncio.new_event_loop()
db = DB.create(connector=AioSqliteConnector(loop, path={path!r}))
db.GenerateTable()                                  # loop not running: runs to completion
loop.run_until_complete(generate_table())           # again: nothing to create

async def names():
    return sorted(await db.connector.getTableNameList())

async def fill():
    await db.executeSql("insert into tag (id) values (%s)", args=(None,))
print(loop.run_until_complete(loop.create_task(names())))
loop.run_until_complete(loop.create_task(fill()))
loop.run_until_complete(asyncio.sleep(0.1))
"""


@pytest.mark.parametrize("script", [BLOCKING, AWAITED], ids=["blocking", "awaited"])
def test_generate_table_creates_every_model_table_once(script, tmp_path):
    path = str(tmp_path / "schema.db")
    out = run_python(script.format(path=path))
    assert out.strip().splitlines()[-1] == "['article', 'article_tag', 'tag']"
    created = dict(fresh_rows(path, "select name, sql from sqlite_master where type = 'table'"))
    assert set(created) == {"article", "article_tag", "tag"}
    assert "id INTEGER" in created["article"] and "constraint article_pk PRIMARY KEY (id)" in created["article"]
    # The quote inside the default is doubled, so the statement keeps its meaning.
    assert "DEFAULT 'it''s'" in created["tag"]
    # A link between two rows is stored once.
    con = sqlite3.connect(path)
    con.execute("insert into article_tag (article_id, tag_id) values (1, 1)")
    with pytest.raises(sqlite3.IntegrityError, match="UNIQUE"):
        con.execute("insert into article_tag (article_id, tag_id) values (1, 1)")
    con.close()


def test_auto_increment_keys_and_defaults_work_through_the_connector(tmp_path):
    path = str(tmp_path / "schema.db")
    run_python(BLOCKING.format(path=path))
    assert fresh_rows(path, "select id, title, draft from article order by id") == [(1, "a", 1), (2, "b", 1)]


def test_awaited_generation_commits_what_it_creates(tmp_path):
    path = str(tmp_path / "schema.db")
    run_python(AWAITED.format(path=path))
    assert fresh_rows(path, "select id, label from tag") == [(1, "it's")]
