"""The quillmere command's own errors, which main() turns into a message and
an exit status. Every other module of the command may import this one; it
imports nothing."""


class UsageError(Exception):
    """Bad options or arguments: exit status 2."""


class InputError(Exception):
    """Input that cannot be read or sorted as asked (a missing file, bad CSV
    or JSON), or output that cannot be written: exit status 1."""
