"""Cost of building model rows from fetched dicts, beside a plain dict build.

A model with ten columns, 100,000 fetched rows.  Measured:
- dict(values): the floor, a plain copy of each fetched dict;
- buildRow is what the executors run per row; from Python it is reached
  through ctypes, so it is compared with the plain copy (PyDict_Copy) reached
  the same way;
- Model.modelInstance(values): the same row construction reached from Python.

Run: PYTHONPATH=$PWD python benchmarks/bench_rows.py
"""

import ctypes
import time

import Quillon.Model.Entity as entity_module
from Quillon.Model.Columns import FloatProperty, IntProperty, StrProperty
from Quillon.Model.Entity import Entity

ROWS = 100_000


class Reading(Entity):
    id = IntProperty(pk=True)
    sensor = StrProperty()
    site = StrProperty()
    unit = StrProperty()
    kind = IntProperty()
    level = IntProperty()
    batch = IntProperty()
    note = StrProperty()
    owner = StrProperty()
    value = FloatProperty(typeArgs=(10, 2))


class PlainReading(Entity):
    """The same table without a converting column (integers and texts pass unchanged)."""
    id = IntProperty(pk=True)
    sensor = StrProperty()
    site = StrProperty()
    unit = StrProperty()
    kind = IntProperty()
    level = IntProperty()
    batch = IntProperty()
    note = StrProperty()
    owner = StrProperty()
    value = StrProperty()


def fetched():
    names = [str(n) for n in Reading.mapping]  # fresh strings, as a cursor's description gives them
    return [dict(zip(names, [i, "s", "site", "C", 1, 2, 3, "n", "o", 1.5])) for i in range(ROWS)]


def native_entry_points():
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.py_object, ctypes.c_char_p]
    base = get(entity_module._C_API, b"Quillon.Model.Entity._C_API")
    build_row_address = ctypes.c_void_p.from_address(base + 8 * 8).value  # after version and seven pointers
    build_row = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_int)(build_row_address)
    # The plain dict build through the same kind of call.
    copy = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object)(
        ctypes.cast(ctypes.pythonapi.PyDict_Copy, ctypes.c_void_p).value)
    return build_row, copy


def timed(label, fn, rows, baseline=None):
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        fn(rows)
        best = min(best, time.perf_counter() - start)
    per_row = best / len(rows) * 1e9
    extra = f"   ({per_row / baseline:4.1f}x dict)" if baseline else ""
    print(f"{label:<52} {per_row:8.0f} ns/row{extra}")
    return per_row


def main():
    rows = fetched()
    build_row, copy = native_entry_points()

    base = timed("dict(values)", lambda rs: [dict(r) for r in rs], rows)
    native_base = timed("PyDict_Copy(values) through ctypes", lambda rs: [copy(r) for r in rs], rows)
    for model in (PlainReading, Reading):
        total = timed(f"buildRow({model.__name__}) through ctypes",
                      lambda rs, m=model: [build_row(m, r, 1) for r in rs], rows)
        print(f"{'  beyond the plain copy (both through ctypes)':<52} {total - native_base:8.0f} ns/row")
        timed(f"buildRow({model.__name__}, check off)", lambda rs, m=model: [build_row(m, r, 0) for r in rs], rows)
        timed(f"{model.__name__}.modelInstance(values)", lambda rs, c=model.modelInstance: [c(r) for r in rs], rows,
              base)


if __name__ == "__main__":
    main()
