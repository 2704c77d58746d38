"""Test-data generation tasks run blocking or on an event loop."""

from asyncio import AbstractEventLoop
from typing import Any, Callable, Coroutine, Hashable, TypeVar

from Quillon.Model.Entity import Entity, ModelInstance

_Generator = TypeVar("_Generator", bound=Callable[..., ModelInstance | None])

class RunnerTask:
    """One registered generation task: ``count`` rows made by ``generator(time=n)``."""

    def __init__(
        self, model: type[Entity] | None, count: int, generator: Callable[..., ModelInstance | None]
    ) -> None: ...
    @property
    def model(self) -> type[Entity]: ...

class GeneratorRunner:
    """Runs the registered generation tasks; ``loop`` is used with asyncio connectors."""

    def __init__(self, loop: AbstractEventLoop | None = None, progress: bool = False) -> None: ...
    def run(self) -> Coroutine[Any, Any, None] | None:
        """Runs every task; inside the running loop of an asyncio connector it returns the
        coroutine that does so instead (await it)."""
    def arun(self) -> Coroutine[Any, Any, None]: ...
    def run_group(self, group: Hashable, /) -> Coroutine[Any, Any, None] | None:
        """Runs the group's tasks; inside a running loop, the coroutine that does so."""

def create_task(
    generator: Callable[..., ModelInstance | None],
    model: type[Entity] | None = None,
    count: int = 1,
    group: Hashable | None = None,
) -> None: ...
def data_task(
    model: type[Entity] | None = None, count: int = 1, group: Hashable | None = None
) -> Callable[[_Generator], _Generator]: ...
