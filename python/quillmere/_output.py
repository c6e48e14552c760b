"""Progress and output for the quillmere command.

The status line on a terminal; where the sorted lines go (standard output,
or an -o file opened once every input is read); and the handle the sorter
writes to, which counts progress and, for -u on text, drops repeated keys.
"""

# Annotations are left unevaluated on 3.13 as on 3.14: some name types
# that are imported only for the type checker.
from __future__ import annotations

import io
import os
import sys
import time

from quillmere._errors import InputError, quote_name
from quillmere._input import BLOCK

# Names only the type checker needs; importing typing would slow the start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Buffer, Callable
    from typing import BinaryIO

PROG = "quillmere"


# ---- progress ----

def human_bytes(n: float) -> str:
    for unit in ("B", "KB", "MB", "GB"):
        if n < 1000:
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1000
    return f"{n:.1f} TB"


class Progress:
    """A status line on stderr, redrawn at most four times a second; does
    nothing unless it is enabled (stderr is a terminal that the sorted lines
    do not go to, and not --quiet)."""

    def __init__(self, enabled: bool) -> None:
        self.enabled = enabled
        self.phase = "reading"
        self.items = 0
        self.bytes = 0
        self.written = 0
        self.start = self.phase_start = time.monotonic()
        self.drawn = 0.0
        self.shown = False

    def read(self, items: int, nbytes: int) -> None:
        self.items += items
        self.bytes += nbytes
        self.draw()

    def wrote(self, nbytes: int) -> None:
        if self.phase != "writing":
            self.set_phase("writing")
        self.written += nbytes
        self.draw()

    def set_phase(self, phase: str) -> None:
        self.phase = phase
        self.phase_start = time.monotonic()
        self.draw(force=True)

    def draw(self, force: bool = False) -> None:
        if not self.enabled:
            return
        now = time.monotonic()
        if not force and now - self.drawn < 0.25:
            return
        self.drawn = now
        done = self.written if self.phase == "writing" else self.bytes
        elapsed = now - self.phase_start
        rate = f", {human_bytes(done / elapsed)}/s" if elapsed > 0.5 and self.phase != "merging" else ""
        line = f"{PROG}: {self.phase}: {self.items:,} lines, {human_bytes(self.bytes)}"
        if self.phase == "writing":
            line += f", {human_bytes(self.written)} written"
        self.shown = True
        self.show(f"\r\x1b[K{line}{rate}, {now - self.start:.0f} s")

    def clear(self) -> None:
        if self.shown:
            self.shown = False
            self.show("\r\x1b[K")

    def show(self, text: str) -> None:
        try:
            sys.stderr.write(text)
            sys.stderr.flush()
        except OSError:
            # The terminal is gone (it hung up); progress must not fail the sort.
            self.enabled = self.shown = False


# ---- output ----

class Writer(io.BufferedWriter):
    """A buffered output whose write errors say which output failed, as GNU
    sort's do. A closed pipe stays a BrokenPipeError,
    which ends the command quietly."""

    def __init__(self, raw: io.FileIO, name: str) -> None:
        super().__init__(raw, BLOCK)
        self.output_name = name

    def write(self, data: Buffer, /) -> int:
        try:
            return super().write(data)
        except BrokenPipeError:
            raise
        except OSError as e:
            raise InputError(write_failed("write", self.output_name, e.strerror)) from None

    def flush(self) -> None:
        try:
            super().flush()
        except BrokenPipeError:
            raise
        except OSError as e:
            raise InputError(write_failed("fflush", self.output_name, e.strerror)) from None


def write_failed(step: str, name: str, reason: str | None) -> str:
    """GNU sort's message for output that failed at a write or at the last flush."""
    shown = quote_name(name)
    if step == "write":
        return f"write failed: {shown}: {reason}"
    return f"fflush failed: {shown}: {reason}\n{PROG}: write error"


class Output:
    """Where the sorted lines go: standard output, or an -o file, opened (and
    truncated, in place, so that its links, owner and mode stay) only once
    every input has been read, as GNU sort does: -o may name an input."""

    def __init__(self, path: str | None) -> None:
        self.path = path
        self.file: BinaryIO | None = None

    def open(self) -> BinaryIO:
        """The binary handle to write to, opened only after every input was read."""
        if self.file is None:
            if self.path is None:
                self.file = Writer(io.FileIO(1, "wb", closefd=False), "standard output")
            else:
                try:
                    fd = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
                except OSError as e:
                    raise InputError(f"open failed: {quote_name(self.path)}: "
                                     f"{e.strerror}") from None
                self.file = Writer(io.FileIO(fd, "wb"), self.path)
        return self.file

    def commit(self) -> None:
        assert self.file is not None  # open() came first
        self.file.flush()
        if self.path is not None:
            self.file.close()

    def discard(self) -> None:
        if self.file is not None:
            try:
                self.file.close()
            except (OSError, InputError):
                pass  # the output is being given up; its write error no longer matters


class Sink:
    """The handle given to write_to: counts progress and, for -u, passes each
    chunk through `unique`, which keeps only the first line of each run of
    equal keys. write_to hands over whole payloads, so each chunk is whole
    lines."""

    def __init__(self, file: BinaryIO, progress: Progress,
                 unique: Callable[[bytes], bytes] | None = None,
                 show: Callable[[bytes], bytes] | None = None) -> None:
        self.file = file
        self.progress = progress
        self.unique = unique
        self.show = show  # what is written for a chunk, if not the chunk itself (--debug)

    def write(self, chunk: bytes) -> None:
        self.progress.wrote(len(chunk))
        if self.unique is not None:
            chunk = self.unique(chunk)
        self.file.write(chunk if self.show is None else self.show(chunk))
