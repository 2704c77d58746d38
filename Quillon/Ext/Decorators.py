"""Decorators applied to the classes Quillon generates."""

_registry = {}


def pydantic_support(model):
    """Registers the pydantic model generated for a model class and returns it.

    The registry lets applications look up the validation model of a table by
    its class name (``pydantic_model("User")``).
    """
    _registry[model.__name__] = model
    return model


def pydantic_model(name):
    """The pydantic model generated for the model class called ``name``."""
    return _registry[name]
