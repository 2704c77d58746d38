"""The package's exception classes.

Every error that Quillon raises on its own account derives from
``QuillonError``; driver errors (sqlite3, aiosqlite, aiomysql) pass through
unchanged.
"""


class QuillonError(Exception):
    """Base class of every exception raised by Quillon itself."""

    default_message = "Quillon error"

    def __init__(self, *args):
        super().__init__(*args)

    def __str__(self):
        if not self.args:
            return self.default_message
        return self.describe(*self.args)

    def describe(self, *args):
        return " ".join(str(a) for a in args)
