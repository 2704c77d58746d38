"""``DictPlus``: a dict whose entries also read and write as attributes."""

from abc import ABCMeta


class DictPlus(dict, metaclass=ABCMeta):
    """A dict that exposes its entries as attributes.

    Reading an attribute returns the entry of that name when there is one (an
    entry wins over a method of the class); writing an attribute stores the
    entry of that name.

    Native dict types with the same behaviour (``Quillon.Ext.Paging.Page``)
    are registered as virtual subclasses: an immutable native type cannot
    derive from this mutable class, yet ``isinstance(page, DictPlus)`` holds.
    """

    __slots__ = ()

    def __getattribute__(self, name):
        if dict.__contains__(self, name):
            return dict.__getitem__(self, name)
        return object.__getattribute__(self, name)

    def __getattr__(self, name):
        raise AttributeError(f"{type(self).__name__!r} object has no attribute or entry {name!r}")

    def __setattr__(self, name, value):
        self[name] = value

    def __delattr__(self, name):
        try:
            del self[name]
        except KeyError:
            raise AttributeError(name) from None
