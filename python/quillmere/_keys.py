"""Sizes, key definitions and blocks of records, for the quillmere command.

Parses -S sizes and -k key definitions into the settings of the extension's
_Lines, which finds and compares every record's key in C++, and reads
inputs as blocks of whole records. UsageError, InputError and the read size
live here too, since every other module of the command imports this one.
"""

# Annotations are left unevaluated on 3.13 as on 3.14: some name types
# that are imported only for the type checker.
from __future__ import annotations

import io
import os
import re
import select
from dataclasses import dataclass

# Names only the type checker needs; importing typing would slow the start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Buffer, Callable, Iterator

BLOCK = 1 << 20  # bytes read at a time; big enough that per-block Python work is noise


class UsageError(Exception):
    """Bad options or arguments: exit status 2."""


class InputError(Exception):
    """Input that cannot be sorted as asked (bad CSV or JSON): exit status 1."""


# ---- sizes and key definitions ----

SIZE_UNITS = {"b": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30, "t": 1 << 40, "p": 1 << 50, "e": 1 << 60}


def parse_size(text: str) -> int:
    """A -S size: a number with an optional suffix b, K, M, G, T, P, E or %.

    As in GNU sort, a bare number counts kibibytes and % is a share of the
    physical memory."""
    m = re.fullmatch(r"(\d+)([bkmgtpe%]?)", text.strip(), re.IGNORECASE)
    if not m:
        raise UsageError(f"invalid -S size '{text}'")
    number, unit = int(m.group(1)), m.group(2).lower() or "k"
    if unit == "%":
        if number > 100:
            raise UsageError(f"invalid -S size '{text}'")
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") * number // 100
    return number * SIZE_UNITS[unit]


# The orderings of a key, by option letter, and their codes in _Lines.
ORDERS = {"": 0, "n": 1, "g": 2, "h": 3, "M": 4, "V": 5}
IGNORES = {"": 0, "d": 1, "i": 2}
ORDERING_FLAGS = "bdfghiMnrV"


@dataclass
class KeyDef:
    """One -k key, positions 0-based as GNU sort keeps them internally.

    efield None means the key runs to the end of the line; echar 0 means to
    the end of field efield. order is "" for text or one of n, g, h, M and
    V; ignore is "", d or i."""

    sfield: int = 0
    schar: int = 0
    sblank: bool = False
    efield: int | None = None
    echar: int = 0
    eblank: bool = False
    order: str = ""
    fold: bool = False
    ignore: str = ""
    reverse: bool = False
    orders: str = ""  # every ordering letter given, to report a clash

    def has_options(self) -> bool:
        return bool(self.sblank or self.eblank or self.orders or self.fold or self.ignore
                    or self.reverse)

    def with_flags(self, flags: str, start: bool = True) -> KeyDef:
        """This key with ordering letters added; b applies to the start or end."""
        for flag in flags:
            if flag == "b":
                if start:
                    self.sblank = True
                else:
                    self.eblank = True
            elif flag == "f":
                self.fold = True
            elif flag == "r":
                self.reverse = True
            elif flag in "di":
                # -d takes in all that -i would leave out, so it wins.
                self.ignore = "d" if "d" in (flag, self.ignore) else "i"
                self.orders += flag
            else:
                self.order = flag
                self.orders += flag
        return self

    def check(self) -> None:
        """At most one of -n, -g, -h and -M, and then neither -V nor -d or -i."""
        numbers = set(self.orders) & set("nghM")
        if len(numbers) + bool("V" in self.orders or self.ignore) > 1:
            letters = "".join(f for f in "dfghiMnV" if f in numbers | {self.ignore}
                              or (f == "f" and self.fold) or (f == "V" and "V" in self.orders))
            raise UsageError(f"options '-{letters}' are incompatible")

    def settings(self) -> tuple[int, int, bool, int, int, bool, int, bool, int, bool]:
        """The key as _Lines takes it."""
        return (self.sfield, self.schar, self.sblank, -1 if self.efield is None else self.efield,
                self.echar, self.eblank, ORDERS[self.order], self.fold, IGNORES[self.ignore],
                self.reverse)


KEYDEF = re.compile(r"(\d+)(?:\.(\d+))?([a-zA-Z]*)(?:,(\d+)(?:\.(\d+))?([a-zA-Z]*))?")


def check_flags(flags: str, where: str) -> None:
    for flag in flags:
        if flag not in ORDERING_FLAGS:
            raise UsageError(f"invalid ordering option '{flag}' in {where}")


def parse_keydef(text: str) -> KeyDef:
    """F[.C][OPTS][,F[.C][OPTS]], OPTS ordering letters."""
    m = KEYDEF.fullmatch(text)
    if not m:
        raise UsageError(f"invalid key definition '{text}'")
    sfield, schar, sflags, efield, echar, eflags = m.groups()
    check_flags(sflags + (eflags or ""), f"key '{text}'")
    if int(sfield) == 0 or (efield is not None and int(efield) == 0):
        raise UsageError(f"field number is zero: invalid key definition '{text}'")
    if schar is not None and int(schar) == 0:
        raise UsageError(f"character offset is zero: invalid key definition '{text}'")
    key = KeyDef(sfield=int(sfield) - 1, schar=int(schar) - 1 if schar else 0,
                 efield=int(efield) - 1 if efield is not None else None,
                 echar=int(echar) if echar else 0)
    return key.with_flags(sflags).with_flags(eflags or "", start=False)


def resolve_keys(keydefs: list[KeyDef], default: KeyDef) -> list[KeyDef]:
    """The keys to sort by. As in GNU sort, a key with no options of its own
    takes the global ones (`default`, a key over the whole line), and no -k
    means that key alone."""
    if not keydefs:
        default.check()
        return [default]
    keys = []
    for key in keydefs:
        if not key.has_options():
            key = KeyDef(key.sfield, key.schar, default.sblank, key.efield, key.echar,
                         default.sblank, default.order, default.fold, default.ignore,
                         default.reverse, default.orders)
        key.check()
        keys.append(key)
    return keys


def read_or_fail[*Ts, R](name: str, read: Callable[[*Ts], R], *args: *Ts) -> R:
    """Calls read(*args); an OSError becomes an InputError naming the input
    (the sorter's own OSErrors, from spilling, must keep their message)."""
    try:
        return read(*args)
    except OSError as e:
        raise InputError(f"read error on {name}: {e.strerror or e}") from None


# While the command's signal handlers are installed: the read end of a pipe
# that the interpreter writes to whenever a signal arrives (set_wakeup_fd).
# A signal that lands just before a read of a pipe or terminal would
# otherwise wait, unhandled, until input came; waiting for either ends that
# wait at once, and the handler runs on return.
signal_wakeup: int | None = None


def wait_for_input(file: io.FileIO) -> None:
    """Returns once the file has input, or once a signal has come and its
    handler has run (which raises, for the first ending signal)."""
    if signal_wakeup is not None:
        poll = select.poll()
        poll.register(file.fileno(), select.POLLIN)
        poll.register(signal_wakeup, select.POLLIN)
        while not any(fd == file.fileno() for fd, _ in poll.poll()):
            try:
                os.read(signal_wakeup, 512)
            except BlockingIOError:
                pass


def read_block(file: io.FileIO) -> bytes | None:
    """file.read(BLOCK), once the file has input or a signal has come."""
    wait_for_input(file)
    return file.read(BLOCK)


class Waiting(io.RawIOBase):
    """A file whose every read waits as read_block's does, for readers that
    buffer it; closing this leaves the file open."""

    def __init__(self, file: io.FileIO) -> None:
        self.file = file

    def readable(self) -> bool:
        return True

    def fileno(self) -> int:
        return self.file.fileno()

    def readinto(self, buffer: Buffer) -> int | None:
        wait_for_input(self.file)
        return self.file.readinto(buffer)


def line_blocks(file: io.FileIO, name: str,
                end: bytes = b"\n") -> Iterator[tuple[bytes, int]]:
    """(block, bytes read) pairs, each block whole records ending in `end`; a
    last record without it gets one. A record longer than a block is
    gathered in pieces, joined once its end is found."""
    pending = []
    while chunk := read_or_fail(name, read_block, file):
        cut = chunk.rfind(end) + 1
        if not cut:
            pending.append(chunk)
            yield b"", len(chunk)
            continue
        if pending:
            pending.append(chunk[:cut])
            block = b"".join(pending)
        else:
            block = chunk[:cut] if cut < len(chunk) else chunk
        pending = [chunk[cut:]] if cut < len(chunk) else []
        yield block, len(chunk)
    if pending:
        yield b"".join(pending) + end, 0
