"""Executor reads and bulk inserts beside the raw sqlite3 equivalents.

    PYTHONPATH=. python benchmarks/bench_executors.py [rows] [--show-log] [--statements]

(--show-log: the connector made with the default showLog=True, the
"Quillon.DB" logger left at its default level.  --statements: only the
single-statement workloads at the end, each measured RUNS times with the
median and the best printed.)

Reads: ``find()`` turns every fetched row into a model row (10 columns,
conversion on) and is compared with sqlite3 ``fetchall`` plus a dict per row.
Bulk insert: ``insertMany`` against a raw ``executemany`` of the same tuples
(insertMany also stores each generated key in its row where the database
reports them).  Single inserts: ``save`` of one row at a time (each its own
statement, committed) against raw ``execute`` plus commit.  Aggregates:
``values()`` grouping every row (one tuple per group, each value converted) and
``sum()`` over ten rows found by key, each against the same SQL through
sqlite3; the one-row ``find()`` by key beside them shows the cost of an
ordinary call over the driver.  Streaming: ``iterate()`` (batches of 500
from one cursor, each row a model row) against sqlite3 ``fetchmany(500)`` plus
a dict per row, beside ``find()`` looped over.  Timing script, not a test.
"""

import gc
import os
import sqlite3
import sys
import tempfile
import time

from Quillon.DB.Connector import Sqlite3Connector
from Quillon.DB.DB import DB
from Quillon.Model.Columns import BoolProperty, FloatProperty, IntProperty, StrProperty, auto_increment
from Quillon.Model.Entity import Entity
from Quillon.Model.Functions import Count, Sum

ARGS = [a for a in sys.argv[1:] if not a.startswith("--")]
ROWS = int(ARGS[0]) if ARGS else 100_000
SHOW_LOG = "--show-log" in sys.argv
STATEMENTS_ONLY = "--statements" in sys.argv
RUNS = 7


class Wide(Entity):
    id = IntProperty(pk=True, default=auto_increment)
    a = IntProperty()
    b = IntProperty()
    c = StrProperty()
    d = StrProperty()
    e = FloatProperty()
    f = FloatProperty()
    g = BoolProperty()
    h = StrProperty()
    i = IntProperty()


def best(fn, repeat=3):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def main():
    path = os.path.join(tempfile.mkdtemp(), "bench.db")
    DB.create(connector=Sqlite3Connector(path, showLog=SHOW_LOG)).GenerateTable()
    ex = Wide.getExecutor()
    rows = [Wide(a=n, b=n * 2, c="c%d" % n, d="dd", e=n / 3, f=1.5, g=n % 2 == 0, h="h", i=n) for n in range(ROWS)]
    tuples = [(r.a, r.b, r.c, r.d, r.e, r.f, 1 if r.g else 0, r.h, r.i) for r in rows]

    t_insert = best(lambda: ex.insertMany(rows), repeat=1)
    raw = sqlite3.connect(path)
    raw.execute("create table wide_raw as select * from wide where 0")
    if STATEMENTS_ONLY:
        table_workloads(ex, raw, [1 + n * 7 % ROWS for n in range(2000)])
        return

    def raw_insert():
        raw.executemany("insert into wide_raw (a,b,c,d,e,f,g,h,i) values (?,?,?,?,?,?,?,?,?)", tuples)
        raw.commit()

    t_raw_insert = best(raw_insert, repeat=1)
    print(f"bulk insert of {ROWS} rows: insertMany {t_insert*1e3:.1f} ms, raw executemany {t_raw_insert*1e3:.1f} ms "
          f"({t_insert / t_raw_insert:.2f}x)")

    singles = [Wide(a=n, b=n, c="c", d="d", e=0.5, f=1.5, g=True, h="h", i=n) for n in range(ROWS // 50)]
    t_save = best(lambda: [ex.save(r) for r in singles], repeat=1)

    def raw_save():
        for r in singles:
            raw.execute("insert into wide_raw (a,b,c,d,e,f,g,h,i) values (?,?,?,?,?,?,?,?,?)",
                        (r.a, r.b, r.c, r.d, r.e, r.f, 1, r.h, r.i))
            raw.commit()

    t_raw_save = best(raw_save, repeat=1)
    print(f"{len(singles)} single saves: save {t_save*1e3:.1f} ms, raw execute+commit {t_raw_save*1e3:.1f} ms "
          f"({t_save / t_raw_save:.2f}x)")

    t_find = best(lambda: ex.find())

    def raw_read():
        cur = raw.execute("select * from wide")
        names = [d[0] for d in cur.description]
        return [dict(zip(names, r)) for r in cur.fetchall()]

    t_raw = best(raw_read)
    print(f"read of {ROWS} rows: find() {t_find*1e3:.1f} ms, raw fetchall+dict {t_raw*1e3:.1f} ms "
          f"({t_find / t_raw:.2f}x); per row {t_find / ROWS * 1e9:.0f} ns vs {t_raw / ROWS * 1e9:.0f} ns")

    gc.disable()
    t_find_no_gc = best(lambda: ex.find())
    gc.enable()
    rows = ex.find()
    print(f"  the collector's share of find(): {(t_find - t_find_no_gc) * 1e3:.1f} ms "
          f"(find() with it off {t_find_no_gc * 1e3:.1f} ms); rows it tracks: "
          f"{sum(gc.is_tracked(r) for r in rows)} of {len(rows)}")
    del rows

    def raw_stream():
        cur = raw.execute("select * from wide")
        names = [d[0] for d in cur.description]
        n = 0
        while batch := cur.fetchmany(500):
            for r in batch:
                dict(zip(names, r))
                n += 1
        return n

    def stream():
        n = 0
        for _ in ex.iterate(batchSize=500):
            n += 1
        return n

    def find_each():
        n = 0
        for _ in ex.find():
            n += 1
        return n

    t_stream, t_raw_stream, t_find_each = best(stream), best(raw_stream), best(find_each)
    print(f"stream of {ROWS} rows: iterate(batchSize=500) {t_stream*1e3:.1f} ms, raw fetchmany(500)+dict "
          f"{t_raw_stream*1e3:.1f} ms ({t_stream / t_raw_stream:.2f}x); find() looped over {t_find_each*1e3:.1f} ms "
          f"({t_find_each / t_raw:.2f}x its raw fetchall+dict)")

    t_groups = best(lambda: ex.values(Wide.i, Count(), Sum(Wide.e), groupBy=Wide.i))
    t_raw_groups = best(lambda: raw.execute("SELECT wide.i,count(*),sum(wide.e) FROM wide GROUP BY wide.i").fetchall())
    print(f"values() of {ROWS} groups (Count, Sum): {t_groups*1e3:.1f} ms, raw fetchall {t_raw_groups*1e3:.1f} ms "
          f"({t_groups / t_raw_groups:.2f}x)")

    calls = 2000
    keys = [1 + n * 7 % ROWS for n in range(calls)]

    def per_call(fn):
        return best(lambda: [fn(k) for k in keys]) / calls

    t_sum = per_call(lambda k: ex.sum(Wide.a, where=Wide.id.between(k, k + 9)))
    t_raw_sum = per_call(
        lambda k: raw.execute("SELECT sum(wide.a) FROM wide WHERE wide.id BETWEEN ? AND ?", (k, k + 9)).fetchone())
    t_get = per_call(lambda k: ex.find(Wide.id == k))
    t_raw_get = per_call(lambda k: raw.execute("SELECT * FROM wide WHERE wide.id = ?", (k,)).fetchall())
    print(f"per call: sum() {t_sum*1e6:.1f} us vs raw {t_raw_sum*1e6:.1f} us (+{(t_sum - t_raw_sum)*1e6:.1f} us); "
          f"find() of one row {t_get*1e6:.1f} us vs raw {t_raw_get*1e6:.1f} us (+{(t_get - t_raw_get)*1e6:.1f} us)")
    table_workloads(ex, raw, keys)


def dict_rows(cur):
    names = [d[0] for d in cur.description]
    return [dict(zip(names, r)) for r in cur.fetchall()]


def table_workloads(ex, raw, keys):
    """Single statements beside the raw driver with dict rows: a filtered
    select with LIMIT 20, a get by key, a count with a cheap filter, and
    inside one transaction 5,000 saves of built rows and 5,000 updates by
    key."""
    from Quillon.DB.utils import transaction

    calls = len(keys)

    def per_call(fn):
        return best(lambda: [fn(k) for k in keys]) / calls

    def line(label, ours, theirs):
        if STATEMENTS_ONLY:
            # Interleaved runs on a shared machine: the median of the ratios and the best of each side.
            pairs = [(ours(), theirs()) for _ in range(RUNS)]
            ratios = sorted(a / b for a, b in pairs)
            best_ours, best_theirs = min(a for a, _ in pairs), min(b for _, b in pairs)
            print(f"{label:<40} {best_ours*1e6:8.2f} us vs raw {best_theirs*1e6:8.2f} us (best {best_ours / best_theirs:.2f}x, "
                  f"median {ratios[len(ratios) // 2]:.2f}x)")
            return
        ours, theirs = ours(), theirs()
        print(f"{label:<40} {ours*1e6:8.2f} us vs raw {theirs*1e6:8.2f} us ({ours / theirs:.2f}x)")

    line("filtered select LIMIT 20", lambda: per_call(lambda k: ex.find((Wide.a > k) & (Wide.d == "dd"), limit=20)),
         lambda: per_call(lambda k: dict_rows(raw.execute(
             "SELECT * FROM wide WHERE wide.a > ? AND wide.d = ? LIMIT 20", (k, "dd")))))
    line("get by key", lambda: per_call(lambda k: ex.get(k)),
         lambda: per_call(lambda k: dict_rows(raw.execute("SELECT * FROM wide WHERE wide.id = ?", (k,)))))
    line("count with a cheap filter", lambda: per_call(lambda k: ex.count(Wide.id < k)),
         lambda: per_call(lambda k: raw.execute("SELECT count(*) FROM wide WHERE wide.id < ?", (k,)).fetchone()))

    n = 5000
    # Each run saves rows of its own (a saved row holds its new key).
    batches = [[Wide(a=i, b=i, c="c", d="d", e=0.5, f=1.5, g=True, h="h", i=i) for i in range(n)]
               for _ in range(RUNS if STATEMENTS_ONLY else 1)]

    def saves():
        built = batches.pop()
        with transaction():
            for r in built:
                ex.save(r)

    template = batches[0]

    def raw_saves():
        for r in template:
            raw.execute("insert into wide_raw (a,b,c,d,e,f,g,h,i) values (?,?,?,?,?,?,?,?,?)",
                        (r.a, r.b, r.c, r.d, r.e, r.f, 1, r.h, r.i))
        raw.commit()

    line("save, 5,000 in one transaction (per row)", lambda: best(saves, repeat=1) / n,
         lambda: best(raw_saves, repeat=1) / n)
    rows = ex.find(Wide.id <= n)
    for r in rows:
        r.b = r.b + 1

    def updates():
        with transaction():
            for r in rows:
                ex.update(r)

    def raw_updates():
        for r in rows:
            raw.execute("UPDATE wide SET a=?,b=?,c=?,d=?,e=?,f=?,g=?,h=?,i=? WHERE wide.id = ?",
                        (r.a, r.b, r.c, r.d, r.e, r.f, 1, r.h, r.i, r.id))
        raw.commit()

    line("update by key, 5,000 in one transaction", lambda: best(updates) / len(rows),
         lambda: best(raw_updates) / len(rows))


if __name__ == "__main__":
    main()
