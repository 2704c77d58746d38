"""Module state and the interpreter: every native module is loaded once per
process, in the main interpreter; imports warn about nothing; the checks that
the design makes assertions follow the interpreter's -O.  Each runs in a
fresh interpreter."""

import subprocess
import sys
import textwrap

import pytest

from conftest import run_python

MODULES = [
    "Quillon.DB.DB",
    "Quillon.DB.Connector",
    "Quillon.DB.Generator",
    "Quillon.Model.Columns",
    "Quillon.Model.Entity",
    "Quillon.Model.Executors",
    "Quillon.Ext.Paging",
    "Quillon.Ext.Seeder",
]


@pytest.mark.parametrize("driver", ["aiomysql", "pymysql"])
def test_a_missing_driver_fails_the_import_and_the_program_exits(driver):
    # Blocked drivers make the import fail part-way; nothing it began may run at exit.
    out = run_python(
        f"""
        import sys
        sys.modules[{driver!r}] = None
        try:
            import Quillon.DB.DB
        except ImportError as e:
            print("refused:", {driver!r} in str(e))
        """
    )
    assert out.strip() == "refused: True"


def test_importing_every_module_warns_about_nothing():
    out = run_python(
        f"""
        import warnings
        warnings.simplefilter("error")
        import {", ".join(MODULES)}
        print("imported")
        """
    )
    assert out.strip() == "imported"


SECOND_LOADS = {
    "removed from sys.modules": """
        del sys.modules[name]
        importlib.import_module(name)
    """,
    "second module object": """
        spec = importlib.util.find_spec(name)
        spec.loader.exec_module(importlib.util.module_from_spec(spec))
    """,
}


@pytest.mark.parametrize("second_load", SECOND_LOADS.values(), ids=SECOND_LOADS.keys())
def test_a_module_loads_once_per_process(second_load):
    out = run_python(
        f"""
        import importlib, importlib.util, sys
        modules = {MODULES!r}
        for name in modules:
            importlib.import_module(name)
        types = {{name: dict(vars(sys.modules[name])) for name in modules}}
        for name in modules:
            kept = sys.modules[name]
            try:
{textwrap.indent(textwrap.dedent(second_load), " " * 16)}
            except ImportError as e:
                assert "is already loaded in this process" in str(e), e
            else:
                raise AssertionError(name + " loaded twice")
            sys.modules[name] = kept
        from Quillon.Model.Columns import IntProperty
        from Quillon.Model.Entity import Entity
        class Item(Entity):
            tableName = "item"
            id = IntProperty(pk=True)
        print(isinstance(Item.id, sys.modules["Quillon.Model.Columns"].BaseProperty))
        """
    )
    assert out.strip() == "True"


def test_subinterpreters_are_refused():
    pytest.importorskip("_testcapi")
    proc = run_python(
        """
        import sys, _testcapi
        # A subinterpreter sharing the GIL runs the module's own refusal
        # (it prints its traceback on standard error).
        print(_testcapi.run_in_subinterp("import Quillon.Model.Columns"))
        if sys.version_info >= (3, 12):
            # An interpreter of its own (own GIL) refuses before the module runs.
            try:
                import _interpreters as interpreters
            except ImportError:
                import _xxsubinterpreters as interpreters
            interp = interpreters.create()
            try:
                failure = interpreters.run_string(interp, "import Quillon.Model.Columns")
            except Exception as e:
                failure = e
            print("does not support loading in subinterpreters" in str(failure))
        else:
            print(True)
        import Quillon.Model.Columns
        print("main")
        """,
        check=False,
    )
    assert proc.returncode == 0 and proc.stdout.split() == ["-1", "True", "main"], proc.stderr
    assert "ImportError: Quillon.Model.Columns cannot be loaded in a subinterpreter" in proc.stderr


def test_optimized_interpreter_runs_no_assertion_checks():
    # With -O the checks the design writes as assertions are off: what
    # follows them reports the bad argument instead.
    code = """
        import asyncio
        from Quillon.DB.Connector import AioSqliteConnector
        from Quillon.DB.Generator import SqlGenerator
        from Quillon.Ext.Paging import Paging

        class NoModel:
            @classmethod
            def getExecutor(cls):
                raise LookupError("getExecutor reached")

        def outcome(call):
            try:
                call()
            except Exception as e:
                return type(e).__name__
            return "no error"

        async def process():
            c = AioSqliteConnector(asyncio.get_running_loop(), path=":memory:")
            await c.asyncProcess()

        print(outcome(lambda: Paging(NoModel, pageSize=0)), outcome(lambda: SqlGenerator().From(5)),
              outcome(lambda: asyncio.run(process())))
    """
    proc = subprocess.run(
        [sys.executable, "-O", "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["LookupError", "AttributeError", "TypeError"]
