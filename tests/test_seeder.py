"""The test-data runner: registration and task records in this process, runs
in fresh interpreters (seeder_scenarios.py), blocking and awaited."""

import pytest

import seeder_scenarios
from conftest import run_scenario
from Quillon.Ext.Seeder import GeneratorRunner, RunnerTask, create_task, data_task

# ---------------------------------------------------------------------------
# Task records and registration (nothing here runs a task)
# ---------------------------------------------------------------------------


class FakeRow:
    """Stands for a model row: the runner only reads its `object`."""

    def __init__(self, model):
        self.object = model


class TestRunnerTask:
    def test_model_given(self):
        marker = type("Model", (), {})
        task = RunnerTask(marker, 3, lambda time: None)
        assert task.model is marker

    @pytest.mark.parametrize("model", [None, 0, ""])
    def test_model_learned_once_from_the_generator(self, model):
        calls = []
        learned = type("Learned", (), {})

        def generate(**kwargs):
            calls.append(kwargs)
            return FakeRow(learned)

        task = RunnerTask(model=model, count=5, generator=generate)
        assert task.model is learned
        assert task.model is learned
        assert calls == [{"time": 1}]

    def test_model_is_read_only(self):
        task = RunnerTask(None, 1, lambda time: None)
        with pytest.raises(AttributeError):
            task.model = object

    @pytest.mark.parametrize(
        "args, kwargs, error",
        [
            ((None, 1), {}, TypeError),
            ((None, 1, len, 4), {}, TypeError),
            ((None,), {"count": 1, "generator": len, "group": 1}, TypeError),
            ((None, "3", len), {}, TypeError),
            ((None, 1.0, len), {}, TypeError),
            ((None, 2**31, len), {}, OverflowError),
            ((None, -(2**31) - 1, len), {}, OverflowError),
        ],
    )
    def test_constructor_checks(self, args, kwargs, error):
        with pytest.raises(error):
            RunnerTask(*args, **kwargs)

    def test_32_bit_bounds_accepted(self):
        RunnerTask(None, 2**31 - 1, len)
        RunnerTask(None, -(2**31), len)


class TestRegistration:
    def test_create_task_returns_none(self):
        assert create_task(lambda time: None, None, 2, "in-process") is None

    @pytest.mark.parametrize("count, error", [("2", TypeError), (2.5, TypeError), (2**32, OverflowError)])
    def test_create_task_count_is_a_32_bit_int(self, count, error):
        with pytest.raises(error):
            create_task(lambda time: None, None, count)

    def test_create_task_needs_a_generator(self):
        with pytest.raises(TypeError):
            create_task()
        with pytest.raises(TypeError):
            create_task(len, unknown=1)

    def test_data_task_returns_the_function_unchanged(self):
        def generate(time):
            return None

        decorator = data_task(count=2, group="in-process")
        assert decorator(generate) is generate

    def test_data_task_checks_count_when_applied(self):
        with pytest.raises(TypeError):
            data_task(count="x")(len)


class TestRunnerSignature:
    def test_constructor(self):
        GeneratorRunner()
        GeneratorRunner(None, progress=True)
        with pytest.raises(TypeError):
            GeneratorRunner(None, False, 3)

    def test_run_group_takes_exactly_one_positional_argument(self):
        runner = GeneratorRunner()
        with pytest.raises(TypeError):
            runner.run_group()
        with pytest.raises(TypeError):
            runner.run_group("a", "b")
        with pytest.raises(TypeError):
            runner.run_group(group="a")

    def test_run_takes_no_arguments(self):
        with pytest.raises(TypeError):
            GeneratorRunner().run(1)

    def test_unknown_group_runs_nothing_without_a_database(self):
        assert GeneratorRunner().run_group("no such group") is None


# ---------------------------------------------------------------------------
# Runs on SQLite, blocking and awaited
# ---------------------------------------------------------------------------

BOTH = ["generates", "groups", "learned", "nokey", "failures", "wrong_rows", "progress", "transaction"]
ASYNC_ONLY = ["ready", "scheduling"]


@pytest.mark.parametrize("kind", ["blocking", "async"])
@pytest.mark.parametrize("name", BOTH)
def test_scenario(name, kind, tmp_path):
    run_scenario("seeder_scenarios.py", name, kind, tmp_path)


@pytest.mark.parametrize("name", ASYNC_ONLY)
def test_async_scenario(name, tmp_path):
    run_scenario("seeder_scenarios.py", name, "async", tmp_path)


def test_every_scenario_is_run():
    assert set(seeder_scenarios.SCENARIOS) == set(BOTH) | set(ASYNC_ONLY)
