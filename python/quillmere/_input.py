"""Reading the quillmere command's inputs: blocks of whole records, and
waits for input that a signal can end.

Each input is read through a Waiting file, whose every read first waits for
input or for the signal wake-up it was given, whichever comes first; text
and JSON lines are taken from it a block of whole records at a time, CSV
through a buffered reader over it.
"""

# Annotations are left unevaluated on 3.13 as on 3.14: some name types
# that are imported only for the type checker.
from __future__ import annotations

import io
import itertools
import select

from quillmere._errors import InputError, quote_name

# Names only the type checker needs; importing typing would slow the start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Buffer, Callable, Iterator

    from _typeshed import MaybeNone

    from quillmere._signals import Wakeup

BLOCK = 1 << 20  # bytes read at a time; big enough that per-block Python work is noise


def read_or_fail[*Ts, R](name: str, read: Callable[[*Ts], R], *args: *Ts) -> R:
    """Calls read(*args); an OSError becomes an InputError naming the input
    (the sorter's own OSErrors, from spilling, must keep their message)."""
    try:
        return read(*args)
    except OSError as e:
        raise InputError(f"read failed: {quote_name(name)}: {e.strerror or e}") from None


def wait_for_input(file: io.FileIO, wakeup: Wakeup | None) -> None:
    """Returns once the file has input, or once a signal has come and its
    handler has run (which raises, for the first ending signal)."""
    if wakeup is None or wakeup.closed:
        return
    poll = select.poll()
    poll.register(file.fileno(), select.POLLIN)
    poll.register(wakeup.fileno(), select.POLLIN)
    while not any(fd == file.fileno() for fd, _ in poll.poll()):
        wakeup.drain()


class Waiting(io.RawIOBase):
    """A file whose every read waits for input or a signal first, as
    wait_for_input does (not at all without a wake-up); closing this leaves
    the file open."""

    def __init__(self, file: io.FileIO, wakeup: Wakeup | None) -> None:
        self.file = file
        self.wakeup = wakeup

    def readable(self) -> bool:
        return True

    def fileno(self) -> int:
        return self.file.fileno()

    def read(self, size: int = -1, /) -> bytes | MaybeNone:  # as FileIO.read
        wait_for_input(self.file, self.wakeup)
        return self.file.read(size)

    def readinto(self, buffer: Buffer) -> int | None:
        wait_for_input(self.file, self.wakeup)
        return self.file.readinto(buffer)


def line_blocks(file: io.RawIOBase, name: str,
                end: bytes = b"\n") -> Iterator[tuple[bytes, int]]:
    """(block, bytes read) pairs, each block whole records ending in `end`; a
    last record without it gets one. A record longer than a block is
    gathered in pieces, joined once its end is found."""
    pending = []
    while chunk := read_or_fail(name, file.read, BLOCK):
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


def split_header(blocks: Iterator[tuple[bytes, int]], count: int, end: bytes,
                 taken: list[bytes]) -> Iterator[tuple[bytes, int]]:
    """The blocks of whole records without their first `count` records,
    which are read into `taken` at once, before any block is asked for."""
    first: list[tuple[bytes, int]] = []
    for block, size in blocks:
        while count and block:
            cut = block.index(end) + 1
            taken.append(block[:cut])
            block = block[cut:]
            count -= 1
        first.append((block, size))
        if not count:
            break
    return itertools.chain(first, blocks)
