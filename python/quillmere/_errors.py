"""The quillmere command's own errors, which main() turns into a message and
an exit status. Every other module of the command may import this one; it
imports nothing else of the command."""

import re


class UsageError(Exception):
    """Bad options or arguments: exit status 2 (1 for a word that names
    nothing, as GNU sort has it), and with `hint` a pointer to --help."""

    def __init__(self, message: str, status: int = 2, hint: bool = False) -> None:
        super().__init__(message)
        self.status = status
        self.hint = hint


class InputError(Exception):
    """Input that cannot be read or sorted as asked (a missing file, bad CSV
    or JSON), or output that cannot be written: exit status 2."""


# Names that a shell would take as they are; others are quoted in messages.
PLAIN_NAME = re.compile(r"[A-Za-z0-9_./:+,=@%^-]+")


def quote_name(name: str) -> str:
    """A file name as GNU tools show it in a message: as it is when a shell
    would read it so, else in single quotes."""
    if PLAIN_NAME.fullmatch(name):
        return name
    return quote(name)


def quote(text: str) -> str:
    """Text in single quotes, as GNU tools quote a name they always quote."""
    return "'" + text.replace("'", "'\\''") + "'"
