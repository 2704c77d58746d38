"""Quillon example application.

Runs on an SQLite file (the embedded default).  It registers a blocking
connector with the facade, creates a table with plain SQL, writes and reads
rows blocking, then does the same awaited with the asyncio connector.
Finally it declares a model, fills its table with generated rows and reads
them back page by page.
"""

import asyncio
import os
import sys
import tempfile

from Quillon.DB.Connector import AioSqliteConnector, Sqlite3Connector
from Quillon.DB.DB import DB


def blocking_part(path):
    db = DB.create(connector=Sqlite3Connector(path, showLog=False))
    db.executeSql("create table if not exists note(id integer primary key, body text not null, stars int)")
    for body, stars in [("first note", 3), ("second note", 5), ("it's quoted", 4)]:
        db.executeSql("insert into note(body, stars) values (%s, %s)", args=(body, stars))
    db.getCon.commit()
    print("blocking: notes with at least 4 stars")
    for row in db.executeSql("select id, body, stars from note where stars >= %s order by id", dictCur=True, args=(4,)):
        print("  ", row)


async def awaited_part(connector):
    rows = await connector.execute("select count(*) from note", args=())
    print("awaited: notes so far:", rows[0][0])
    await connector.execute("insert into note(body, stars) values (%s, %s)", args=("written awaited", 1))
    rows = await connector.execute("select id, body from note order by id desc limit 2", dictCur=True)
    print("awaited: newest two:")
    for row in rows:
        print("  ", row)


def seeding_and_paging_part(path):
    from Quillon.Ext.Paging import Paging
    from Quillon.Ext.Seeder import GeneratorRunner, data_task
    from Quillon.Model.Columns import IntProperty, StrProperty, auto_increment
    from Quillon.Model.Entity import Entity

    class Reader(Entity):
        id = IntProperty(pk=True, default=auto_increment)
        name = StrProperty()
        age = IntProperty()

    db = DB.getInstance()
    db.executeSql("create table if not exists reader(id integer primary key autoincrement, name text, age int)")
    db.getCon.commit()

    # Each call gets the row number as `time`; the rows are saved in one
    # transaction per task.
    @data_task(Reader, count=23)
    def readers(time):
        return Reader(name="reader %d" % time, age=15 + time * 3 % 40)

    GeneratorRunner().run()

    pager = Paging(Reader, page=1, pageSize=5).filter(Reader.age >= 18).orderBy("age desc", "id")
    page = pager.execute()
    print(f"paging: {page.total} adult readers on {page.totalPage} pages of {page.pageSize}")
    while page.content:
        print(f"  page {page.page}:", ", ".join(f"{r.name} ({r.age})" for r in page.content))
        page = pager.setPage(page.page + 1).execute()


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(tempfile.mkdtemp(prefix="quillon-"), "example.db")
    print("database file:", path)
    blocking_part(path)
    loop = asyncio.new_event_loop()
    connector = AioSqliteConnector(loop, path=path)
    # Each asyncio task has its own connection, committed when the task ends.
    loop.run_until_complete(loop.create_task(awaited_part(connector)))
    loop.run_until_complete(asyncio.sleep(0.1))
    loop.close()
    seeding_and_paging_part(path)


if __name__ == "__main__":
    main()
