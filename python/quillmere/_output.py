"""Progress and output for the quillmere command.

The status line on a terminal; where the sorted lines go (standard output,
or an -o file replaced only once it is complete); and the handle the sorter
writes to, which counts progress and, for -u on text, drops repeated keys.
"""

# Annotations are left unevaluated on 3.13 as on 3.14: some name types
# that are imported only for the type checker.
from __future__ import annotations

import io
import os
import sys
import tempfile
import time

from quillmere._errors import InputError
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
    """A buffered output whose write errors say which output failed, as
    'write error on NAME: REASON'. A closed pipe stays a BrokenPipeError,
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
            raise self.failed(e) from None

    def flush(self) -> None:
        try:
            super().flush()
        except BrokenPipeError:
            raise
        except OSError as e:
            raise self.failed(e) from None

    def failed(self, error: OSError) -> InputError:
        return InputError(f"write error on {self.output_name}: {error.strerror or error}")


class Output:
    """Where the sorted lines go: standard output, a device or pipe written in
    place, or a regular file written to a temporary file in its directory and
    renamed over it once complete (keeping the old file's permissions; a hard
    link to the old file keeps the old content). When only the file, not its
    directory, is writable, the file is truncated and written in place once
    every input has been read, as GNU sort does."""

    def __init__(self, path: str | None) -> None:
        self.path = path
        self.temp: str | None = None
        self.file: BinaryIO | None = None
        if path is None:
            return
        self.target = os.path.realpath(path)
        try:
            st = os.stat(self.target)
        except FileNotFoundError:
            st = None
        except OSError as e:
            raise InputError(f"cannot write {path}: {e.strerror}") from None
        if st is not None and os.path.isdir(self.target):
            raise InputError(f"cannot write {path}: Is a directory")
        if st is not None and not os.path.isfile(self.target):
            return  # a device or a pipe: opened in place once everything is read
        directory = os.path.dirname(self.target)
        try:
            fd, self.temp = tempfile.mkstemp(prefix=".quillmere-", dir=directory)
        except PermissionError:
            if st is not None and os.access(self.target, os.W_OK):
                return
            raise InputError(f"cannot write {path}: Permission denied") from None
        except OSError as e:
            raise InputError(f"cannot write {path}: {e.strerror}") from None
        if st is not None:
            mode = st.st_mode & 0o7777
        else:
            mode = 0o666 & ~current_umask()
        try:
            os.fchmod(fd, mode)
            self.file = Writer(io.FileIO(fd, "wb"), path)
        except BaseException:
            # main() has no Output to discard yet, so the temporary file is ours to remove.
            os.close(fd)
            os.unlink(self.temp)
            raise

    def open(self) -> BinaryIO:
        """The binary handle to write to, opened only after every input was read."""
        if self.file is None:
            if self.path is None:
                self.file = Writer(io.FileIO(1, "wb", closefd=False), "standard output")
            else:
                try:
                    self.file = Writer(io.FileIO(self.target, "wb"), self.path)
                except OSError as e:
                    raise InputError(f"cannot write {self.path}: {e.strerror}") from None
        return self.file

    def commit(self) -> None:
        assert self.file is not None  # open() came first
        self.file.flush()
        if self.temp is not None:
            self.file.close()
            os.replace(self.temp, self.target)
            self.temp = None
        elif self.path is not None:
            self.file.close()

    def discard(self) -> None:
        if self.file is not None:
            try:
                self.file.close()
            except (OSError, InputError):
                pass  # the output is being given up; its write error no longer matters
        if self.temp is not None:
            try:
                os.unlink(self.temp)
            except OSError:
                pass
            self.temp = None


def current_umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


class Sink:
    """The handle given to write_to: counts progress and, for -u, passes each
    chunk through `unique`, which keeps only the first line of each run of
    equal keys. write_to hands over whole payloads, so each chunk is whole
    lines."""

    def __init__(self, file: BinaryIO, progress: Progress,
                 unique: Callable[[bytes], bytes] | None = None) -> None:
        self.file = file
        self.progress = progress
        self.unique = unique

    def write(self, chunk: bytes) -> None:
        self.progress.wrote(len(chunk))
        self.file.write(chunk if self.unique is None else self.unique(chunk))
