"""The quillmere command: sort text, CSV or JSON-lines files larger than memory.

Plain text is sorted as GNU sort sorts it in the C locale with -s: lines are
bytes; fields, keys and orderings (-t, -k, -b, -n, -g, -h, -M, -V, -f, -d,
-i, -r), unique (-u), checking (-c, -C) and NUL-terminated records (-z)
follow its rules, and the output is byte for byte the same. The extension's
_Lines finds every record's key in C++ a block at a time and pushes it into
a `Sorter`; the sorted records come out through `write_to`. Python here
parses arguments, opens files, and handles signals and progress.

Exit status: 0 on success, 1 when reading or writing fails, 2 for a usage
error. A signal that ends a process (HUP, INT, QUIT, TERM, PIPE, ALRM, XCPU,
XFSZ, VTALRM, PROF; those ignored at the start stay ignored) is cleaned up
after and then ends the command as it would have, as does writing into a
closed pipe (SIGPIPE, quietly); main() itself returns 128 + its number, and
entry() re-raises it. Nothing spilled outlives the command, and an -o file is
written beside its target and renamed into place, so an interrupted sort
leaves the old file, not half of a new one. A closed standard error stops
nothing (messages are then lost); a closed standard input or output is an
error only when it is to be read or written.

The keys of text lines are found in `_keys`, CSV and JSON-lines records are
read and keyed in `_records`, and progress and output are in `_output`.
"""

# Annotations are left unevaluated on 3.13 as on 3.14: some name types
# that are imported only for the type checker.
from __future__ import annotations

import argparse
import csv
import errno
import io
import os
import re
import signal
import sys
from collections import deque

from _quillmere import Sorter, _Lines
from quillmere import _keys
from quillmere._keys import (InputError, KeyDef, UsageError, check_flags, line_blocks,
                             parse_keydef, parse_size, resolve_keys)
from quillmere._output import PROG, Output, Progress, Sink
from quillmere._records import CsvKeys, CsvRecords, JsonKeys, encode_text

# Names only the type checker needs; importing typing would slow the start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator, Sequence
    from signal import _HANDLER
    from types import FrameType
    from typing import NoReturn

    from quillmere import SortKey

DEFAULT_BUFFER = "256M"
MIN_BUFFER = 64 << 10
# Of -S, what the interpreter, the read and write buffers and the merge's
# open runs take besides the sorter, so that the whole process stays near
# -S as sort does (at most a quarter of a small -S).
RESERVE = 16 << 20
# The sorter's max_bytes is a C long; 1E keeps clear of it and of any real memory.
MAX_BUFFER, MAX_BUFFER_TEXT = 1 << 60, "1E"
MAX_THREADS = 256  # far more would fail to start, or only fight over the CPUs
MAX_OPEN = 4096  # runs merged at once, each an open file

# The signals whose default action ends the process and that a terminal, a
# shell's job control, a timer or a resource limit sends.
ENDING_SIGNALS = (signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGTERM, signal.SIGPIPE,
                  signal.SIGALRM, signal.SIGXCPU, signal.SIGXFSZ, signal.SIGVTALRM, signal.SIGPROF)
# Python ignores these itself at start, so their being ignored says nothing
# of what the caller wanted.
PYTHON_IGNORES = (signal.SIGPIPE, signal.SIGXFSZ)


class Signalled(BaseException):
    """An ending signal, raised once from its handler so that cleanup runs.
    A BaseException, so that no handler of ordinary errors takes it."""


class Signals:
    """Handlers for the ending signals during one run of main(). The first
    signal raises Signalled and is remembered; later ones only arrive, since
    the cleanup of the first is then under way."""

    def __init__(self) -> None:
        self.signum = 0
        self.previous: dict[int, _HANDLER] = {}
        self.mask: set[int] | None = None
        self.wakeup: tuple[int, int] | None = None
        self.previous_wakeup = -1

    def install(self) -> None:
        # Waits for input also end when a signal arrives (see read_block).
        reader, writer = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
        self.wakeup = (reader, writer)
        self.previous_wakeup = signal.set_wakeup_fd(writer, warn_on_full_buffer=False)
        _keys.signal_wakeup = reader
        for signum in ENDING_SIGNALS:
            previous = signal.getsignal(signum)
            if previous == signal.SIG_IGN and signum not in PYTHON_IGNORES:
                continue  # under nohup, or a background job: it stays ignored
            self.previous[signum] = previous
            signal.signal(signum, self.handle)

    def handle(self, signum: int, frame: FrameType | None) -> None:
        if not self.signum:
            self.signum = signum
            raise Signalled

    def hold(self) -> None:
        """Blocks the signals, so that none cuts the cleanup short."""
        mask = signal.pthread_sigmask(signal.SIG_BLOCK, self.previous)
        if self.mask is None:
            self.mask = mask

    def restore(self) -> None:
        """Unblocks the signals, which raises one that came while they were
        held (if it is the first), then puts back the previous handlers."""
        if self.mask is not None:
            signal.pthread_sigmask(signal.SIG_SETMASK, self.mask)
        for signum, previous in self.previous.items():
            signal.signal(signum, previous if previous is not None else signal.SIG_DFL)
        self.previous.clear()
        if self.wakeup is not None:
            signal.set_wakeup_fd(self.previous_wakeup)
            _keys.signal_wakeup = None
            for fd in self.wakeup:
                os.close(fd)
            self.wakeup = None


class Options(argparse.Namespace):
    """The parsed command line, and what parse_args works out from it."""

    files: list[str]
    output: str | None
    field_separator: str | None
    key: list[str]
    numeric_sort: bool
    general_numeric_sort: bool
    human_numeric_sort: bool
    month_sort: bool
    version_sort: bool
    sort: str | None
    ignore_case: bool
    dictionary_order: bool
    ignore_nonprinting: bool
    reverse: bool
    ignore_leading_blanks: bool
    unique: bool
    stable: bool
    merge: bool
    check: str | None
    zero_terminated: bool
    files0_from: str | None
    buffer_size: str
    temporary_directory: str | None
    threads: int  # None from argparse until parse_args picks the default
    max_open: int
    quiet: bool
    csv: bool
    jsonl: bool
    buffer: int  # -S in bytes
    tab: int | None  # the -t byte
    default_key: KeyDef  # the whole line, with the global ordering options
    keys: list[KeyDef]  # only for plain text
    end: bytes  # what ends a record: newline, or NUL with -z


class Parser(argparse.ArgumentParser):
    """Reports a usage error by raising it, for main to print and exit 2."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


class ShowVersion(argparse.Action):
    """--version. The version is read from the package's metadata only when
    asked, which keeps every other start quick."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: object) -> None:
        super().__init__(option_strings, dest, nargs=0, help="print the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: object, option_string: str | None = None) -> NoReturn:
        import quillmere

        known = getattr(quillmere, "__version__", "(version unknown: not installed)")
        print(PROG, known)  # on standard output, as GNU tools do
        parser.exit()


# Global ordering options: (letter, dest, long option, help).
ORDERINGS = [
    ("d", "dictionary_order", "--dictionary-order", "consider only blanks, letters and digits"),
    ("f", "ignore_case", "--ignore-case", "fold lower case to upper case"),
    ("g", "general_numeric_sort", "--general-numeric-sort", "compare floating-point numbers, "
     "as strtold reads them (exponents, inf, nan)"),
    ("h", "human_numeric_sort", "--human-numeric-sort", "compare numbers with unit suffixes "
     "(2K, 1G)"),
    ("i", "ignore_nonprinting", "--ignore-nonprinting", "consider only printable characters"),
    ("M", "month_sort", "--month-sort", "compare month names (unknown < JAN < ... < DEC)"),
    ("n", "numeric_sort", "--numeric-sort", "compare numbers: blanks, an optional minus, digits "
     "and an optional fraction; anything else counts as zero"),
    ("V", "version_sort", "--version-sort", "compare version numbers within text"),
]
SORT_WORDS = {"general-numeric": "g", "human-numeric": "h", "month": "M", "numeric": "n",
              "version": "V"}


def build_parser() -> Parser:
    parser = Parser(
        prog=PROG,
        add_help=False,  # -h is human-numeric sort, as in GNU sort
        description="Sort lines of text files, or CSV and JSON-lines records, with memory "
                    "bounded by -S; larger inputs spill to temporary files. Plain text "
                    "sorts as 'LC_ALL=C sort -s' does, with the same options.",
        epilog="KEYDEF is F[.C][OPTS][,F[.C][OPTS]] for a start and an optional stop "
               "position, where F is a field number and C a character position in the "
               "field, both counted from 1 (C 0 in the stop position means the end of "
               "the field), and OPTS are ordering letters from b, n and r, which override "
               "the global ordering options for that key. Fields are separated by -t, or "
               "else each starts at the blanks before its non-blank text. With --csv or "
               "--jsonl, -k NAME picks a column or field by name; with --csv, NAME:OPTS "
               "orders that column by its own letters (-k city -k age:nr).",
    )
    add = parser.add_argument
    add("files", nargs="*", metavar="FILE", help="files to sort; none or - for standard input")
    add("--help", action="help", help="show this help and exit")
    add("--version", action=ShowVersion)
    add("-o", "--output", metavar="FILE", help="write to FILE (which may be an input) "
        "instead of standard output")
    add("-t", "--field-separator", metavar="SEP", help="separate fields by the byte SEP")
    add("-k", "--key", action="append", default=[], metavar="KEYDEF",
        help="sort by a key (several are compared in turn)")
    for letter, dest, long, text in ORDERINGS:
        add(f"-{letter}", long, dest=dest, action="store_true", help=text)
    add("--sort", choices=SORT_WORDS, metavar="WORD", help="sort by WORD: general-numeric (-g), "
        "human-numeric (-h), month (-M), numeric (-n) or version (-V)")
    add("-r", "--reverse", action="store_true", help="reverse the order of keys; lines with "
        "equal keys stay in input order")
    add("-b", "--ignore-leading-blanks", action="store_true", help="ignore leading blanks "
        "in keys")
    add("-u", "--unique", action="store_true", help="output only the first line of each run "
        "of equal keys")
    add("-s", "--stable", action="store_true", help="accepted for GNU sort's sake: sorting "
        "is always stable")
    add("-c", dest="check", action="store_const", const="diagnose-first",
        help="check that the input is sorted: report the first disorder, exit 1")
    add("-C", dest="check", action="store_const", const="quiet",
        help="check that the input is sorted, silently: exit 1 if not")
    add("--check", nargs="?", const="diagnose-first", metavar="quiet",
        choices=["diagnose-first", "quiet", "silent"], help="as -c, or -C with quiet or silent")
    add("-m", "--merge", action="store_true", help="merge sorted files (they are sorted "
        "all the same, so unsorted input is no error)")
    add("-z", "--zero-terminated", action="store_true", help="records end in NUL, not newline")
    add("--files0-from", metavar="F", help="read the input file names from F, each ended by "
        "NUL (- for standard input)")
    add("-S", "--buffer-size", default=DEFAULT_BUFFER, metavar="SIZE",
        help=f"memory for lines and keys, as 512M, 4G or 20%% (default {DEFAULT_BUFFER}; a "
             "bare number counts KiB)")
    add("-T", "--temporary-directory", metavar="DIR", help="spill into DIR (default $TMPDIR "
        "or /tmp)")
    add("--parallel", "--threads", dest="threads", type=int, metavar="N",
        help="threads for sorting and compressing spilled runs (default: the CPUs, at most 8)")
    add("--max-open", "--batch-size", dest="max_open", type=int, default=64, metavar="N",
        help="merge at most N spilled runs at once (default 64)")
    add("--quiet", "-q", action="store_true", help="show no progress on a terminal")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--csv", action="store_true", help="sort CSV records by named columns "
                      "(-k NAME); the header stays first")
    mode.add_argument("--jsonl", action="store_true", help="sort JSON lines by named fields "
                      "(-k NAME); missing fields sort first")
    return parser


def parse_args(argv: Sequence[str] | None) -> Options:
    opts = build_parser().parse_intermixed_args(argv, Options())
    buffer = parse_size(opts.buffer_size)
    if buffer > MAX_BUFFER:
        raise UsageError(f"-S must be at most {MAX_BUFFER_TEXT}, not '{opts.buffer_size}'")
    opts.buffer = max(buffer, MIN_BUFFER)  # raised silently, as GNU sort does
    if opts.threads is None:
        opts.threads = min(os.process_cpu_count() or 1, 8)
    if not 1 <= opts.threads <= MAX_THREADS:
        raise UsageError(f"--parallel must be from 1 to {MAX_THREADS}, not {opts.threads}")
    if not 2 <= opts.max_open <= MAX_OPEN:
        raise UsageError(f"--max-open must be from 2 to {MAX_OPEN}, not {opts.max_open}")
    opts.tab = None
    if opts.field_separator is not None:
        tab = os.fsencode(opts.field_separator)
        if tab == b"\\0":
            tab = b"\0"
        if len(tab) != 1:
            raise UsageError(f"the field separator must be one byte, not '{opts.field_separator}'")
        if opts.jsonl:
            raise UsageError("-t cannot be used with --jsonl")
        opts.tab = tab[0]
    letters = "".join(letter for letter, dest, _, _ in ORDERINGS if getattr(opts, dest))
    if opts.sort is not None:
        letters += SORT_WORDS[opts.sort]
    opts.default_key = KeyDef(sblank=opts.ignore_leading_blanks, eblank=opts.ignore_leading_blanks,
                              reverse=opts.reverse).with_flags(letters)
    opts.end = b"\0" if opts.zero_terminated else b"\n"
    if opts.check and opts.output is not None:
        raise UsageError("options '-co' are incompatible")
    if opts.check and len(opts.files) > 1:
        raise UsageError(f"extra operand '{opts.files[1]}' not allowed with -c")
    if opts.files0_from is not None and opts.files:
        raise UsageError(f"extra operand '{opts.files[0]}': file operands cannot be combined "
                         "with --files0-from")
    if opts.csv or opts.jsonl:
        mode = "--csv" if opts.csv else "--jsonl"
        for flag, used in (("-z", opts.zero_terminated), ("-c", opts.check)):
            if used:
                raise UsageError(f"{flag} cannot be used with {mode}")
        if opts.jsonl and letters:
            raise UsageError(f"-{letters[0]} cannot be used with --jsonl: JSON values sort "
                             "by type and value")
        if opts.jsonl and opts.ignore_leading_blanks:
            raise UsageError("-b cannot be used with --jsonl")
        opts.default_key.check()
    else:
        keydefs = [parse_keydef(k) for k in opts.key]
        opts.keys = resolve_keys(keydefs, opts.default_key)
    return opts


class Job:
    """One run of the command: reads every input into a sorter, then writes."""

    def __init__(self, opts: Options, progress: Progress) -> None:
        self.opts = opts
        self.progress = progress

    def inputs(self) -> Iterator[tuple[str, io.FileIO]]:
        """Yields (name, binary file) for each input, in order."""
        for name in self.opts.files or ["-"]:
            if name == "-":
                yield "standard input", open(sys.stdin.fileno(), "rb", buffering=0, closefd=False)
                continue
            try:
                file = open(name, "rb", buffering=0)
            except OSError as e:
                raise InputError(f"cannot read {name}: {e.strerror}") from None
            with file:
                yield name, file

    def check_inputs(self) -> None:
        """Fails before any sorting on inputs that are missing or unreadable;
        they are not opened here, since opening a named pipe would block."""
        for name in self.opts.files:
            if name == "-":
                continue
            try:
                os.stat(name)
            except OSError as e:
                raise InputError(f"cannot read {name}: {e.strerror}") from None
            if not os.access(name, os.R_OK):
                raise InputError(f"cannot read {name}: Permission denied")

    def read_file_names(self) -> None:
        """--files0-from: the inputs are the NUL-terminated names in a file."""
        source = self.opts.files0_from
        assert source is not None
        name = "standard input" if source == "-" else source
        try:
            if source == "-":
                data = sys.stdin.buffer.read()
            else:
                with open(source, "rb") as f:
                    data = f.read()
        except OSError as e:
            raise InputError(f"cannot read file names from {name}: {e.strerror}") from None
        names = data.split(b"\0")
        if names[-1] == b"":
            names.pop()
        for number, file in enumerate(names, 1):
            if not file:
                raise InputError(f"{source}:{number}: invalid zero-length file name")
            if file == b"-" and source == "-":
                raise InputError(f"when reading file names from standard input, no file name "
                                 f"of '-' allowed")
        self.opts.files = [os.fsdecode(file) for file in names]

    def lines(self) -> _Lines:
        return _Lines([key.settings() for key in self.opts.keys], self.opts.tab,
                      self.opts.end[0])

    def check_order(self) -> int:
        """-c and -C: 0 when the input is in order, else 1 (saying where, for -c)."""
        lines = self.lines()
        end = self.opts.end
        number = 0  # records before the current block
        for name, file in self.inputs():
            for block, _ in line_blocks(file, name, end):
                at = lines.check(block, self.opts.unique)
                if at >= 0:
                    if self.opts.check == "diagnose-first":
                        shown = "-" if name == "standard input" else name
                        record = block.split(end, at + 1)[at]
                        message = f"{PROG}: {shown}:{number + at + 1}: disorder: ".encode()
                        sys.stderr.flush()
                        sys.stderr.buffer.write(message + record + end)
                        sys.stderr.flush()
                    return 1
                number += block.count(end)
        return 0

    def run(self, output: Output) -> int:
        opts = self.opts
        if opts.files0_from is not None:
            self.read_file_names()
        self.check_inputs()
        if opts.check:
            return self.check_order()
        try:
            # Lines go in and come out as encoded payloads; no item is ever decoded.
            sorter: Sorter[bytes] = Sorter(max_bytes=opts.buffer - min(RESERVE, opts.buffer // 4),
                                           tmp_dir=opts.temporary_directory,
                                           max_open=opts.max_open, threads=opts.threads)
        except OSError as e:
            raise InputError(f"cannot spill into the temporary directory: {describe(e)}") from None
        with sorter:
            if opts.csv:
                self.write_structured(sorter, output, *self.read_csv(sorter))
            elif opts.jsonl:
                self.write_structured(sorter, output, *self.read_jsonl(sorter))
            else:
                self.write_lines(sorter, output, self.read_lines(sorter))
        return 0

    def read_lines(self, sorter: Sorter[bytes]) -> _Lines:
        lines = self.lines()
        add = lines.add
        for name, file in self.inputs():
            for block, size in line_blocks(file, name, self.opts.end):
                self.progress.read(add(sorter, block), size)
        return lines

    def write_lines(self, sorter: Sorter[bytes], output: Output, lines: _Lines) -> None:
        self.progress.set_phase("merging")
        sink = Sink(output.open(), self.progress, lines.unique if self.opts.unique else None)
        lines.write_to(sorter, sink)
        output.commit()

    def read_csv(self, sorter: Sorter[bytes]) -> tuple[bytes, Callable[[bytes], SortKey]]:
        opts = self.opts
        records = CsvRecords(chr(opts.tab) if opts.tab is not None else ",")
        keys = CsvKeys(opts.key, opts.default_key)
        add = sorter.add_encoded
        csv.field_size_limit(sys.maxsize)  # a record is bounded by memory, not by csv
        for name, file in self.inputs():
            batch = []
            for row, text in records.read(file, name):
                if keys.indexes is None:
                    keys.prepare(records)
                batch.append((row, text))
                if len(batch) == 4096:
                    self.add_csv_batch(keys, batch, add)
            self.add_csv_batch(keys, batch, add)
        if records.header is not None and keys.indexes is None:
            keys.prepare(records)  # checks the names even when there are no rows
        header = encode_text(records.header[1]) if records.header else b""
        if header and not header.endswith((b"\n", b"\r")):
            header += b"\n"

        def key_of(text: bytes) -> SortKey:
            row = next(csv.reader(io.StringIO(text.decode("utf-8", "surrogateescape"), newline=""),
                                  delimiter=records.delimiter), [])
            return keys.batch([row])[0]

        return header, key_of

    def add_csv_batch(self, keys: CsvKeys, batch: list[tuple[list[str], bytes]],
                      add: Callable[[SortKey, bytes], object]) -> None:
        rows = [row for row, _ in batch]
        texts = [text for _, text in batch]
        deque(map(add, keys.batch(rows), texts), 0)
        self.progress.read(len(batch), sum(map(len, texts)))
        batch.clear()

    def read_jsonl(self, sorter: Sorter[bytes]) -> tuple[bytes, Callable[[bytes], SortKey]]:
        keys = JsonKeys(self.opts.key, self.opts.reverse)
        add = sorter.add_encoded
        for name, file in self.inputs():
            number = 0
            try:
                for block, size in line_blocks(file, name):
                    lines = block.splitlines(True) if b"\r" not in block else [
                        line + b"\n" for line in block.split(b"\n")[:-1]]
                    for line in lines:
                        number += 1
                        add(keys.of(line, f"{name}: line {number}"), line)
                    self.progress.read(len(lines), size)
            except RecursionError:
                raise InputError(f"{name}: line {number}: JSON nested too deeply to sort") from None
        keys.check_names()
        return b"", lambda line: keys.of(line, "output")

    def write_structured(self, sorter: Sorter[bytes], output: Output, header: bytes,
                         key_of: Callable[[bytes], SortKey]) -> None:
        self.progress.set_phase("merging")
        file = output.open()
        file.write(header)
        if not self.opts.unique:
            sorter.write_to(Sink(file, self.progress))
        else:
            last = None  # no key is None: they are bytes or tuples
            for payload in sorter.encoded():
                self.progress.wrote(len(payload))
                key = key_of(payload)
                if key != last:
                    file.write(payload)
                last = key
        output.commit()


class Session:
    """One run of main() after the signals are set up: what it prints and
    what its cleanup must undo."""

    def __init__(self, closed: set[int]) -> None:
        self.closed = closed  # standard descriptors that main() found closed
        self.progress = Progress(False)
        self.output: Output | None = None

    def say(self, message: str) -> None:
        """Writes a message on stderr, clearing the progress line first."""
        self.progress.clear()
        if sys.stderr is None:
            return  # stderr was closed: the message has nowhere to go
        try:
            print(f"{PROG}: {message}", file=sys.stderr)
        except OSError:
            pass  # as above; the status still tells

    def run(self, argv: Sequence[str] | None) -> int:
        try:
            opts = parse_args(argv)
        except UsageError as e:
            self.say(f"{e} (see '{PROG} --help')")
            return 2
        to_stdout = opts.output in (None, "-")
        self.progress = Progress(self.shows_progress(opts.quiet, to_stdout))
        try:
            self.check_standard_streams(opts, to_stdout)
            self.output = Output(None if to_stdout else opts.output)
            return Job(opts, self.progress).run(self.output)
        except BrokenPipeError:
            # Python ignores SIGPIPE; end as it would: quietly, then by the signal.
            return 128 + signal.SIGPIPE
        except UsageError as e:
            self.say(str(e))
            return 2
        except InputError as e:
            self.say(str(e))
        except OSError as e:
            self.say(describe(e))
        except (ValueError, RuntimeError) as e:
            self.say(str(e))
        return 1

    def shows_progress(self, quiet: bool, to_stdout: bool) -> bool:
        """Progress goes on stderr when it is a terminal, unless the sorted
        lines go to that same terminal, where it would mix with them."""
        if quiet or 2 in self.closed or not os.isatty(2):
            return False
        return not (to_stdout and os.isatty(1) and os.fstat(1).st_rdev == os.fstat(2).st_rdev)

    def check_standard_streams(self, opts: Options, to_stdout: bool) -> None:
        """Fails before any sorting on a closed stream that is to be used."""
        bad = os.strerror(errno.EBADF)
        if 0 in self.closed and (not opts.files or "-" in opts.files):
            raise InputError(f"cannot read standard input: {bad}")
        if 1 in self.closed and to_stdout and not opts.check:
            raise InputError(f"cannot write standard output: {bad}")

    def cleanup(self, status: int) -> None:
        """Undoes what a failed run left; safe to repeat."""
        if status and self.output is not None:
            self.output.discard()
        self.progress.clear()


def occupy_closed_descriptors() -> set[int]:
    """Puts /dev/null on whichever of descriptors 0, 1 and 2 are closed, so
    that no file opened later takes their place (sorted lines must never go
    into an input or a spilled run), and returns which they were."""
    closed = set()
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            closed.add(fd)
    for fd in sorted(closed):  # each open takes the lowest free descriptor: this one
        null = os.open(os.devnull, os.O_RDWR)
        if null != fd:
            os.dup2(null, fd)
            os.close(null)
    return closed


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command and returns its exit status: 128 + the signal's
    number when a signal (or a closed pipe) ended it, after cleaning up."""
    session = Session(occupy_closed_descriptors())
    signals = Signals()
    status = 1  # until the job succeeds, so that an unexpected error discards the output too
    try:
        signals.install()
        status = session.run(argv)
    except Signalled:
        status = 128 + signals.signum
    finally:
        while True:  # twice at most: only the first signal raises
            try:
                signals.hold()
                session.cleanup(status)
                signals.restore()
                break
            except Signalled:
                status = 128 + signals.signum
    return status


def entry() -> NoReturn:
    """The console command: exits with main()'s status or, when a signal
    ended it, dies of that signal, so that its parent sees what happened."""
    status = main()
    if status > 128:
        signum = status - 128
        signal.signal(signum, signal.SIG_DFL)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signum})
        signal.raise_signal(signum)
    sys.exit(status)


def describe(error: OSError) -> str:
    """An OSError's message: Python's own carry strerror and filename; the
    sorter's carry the path in their one message, which ends in the errno."""
    if error.strerror:
        return f"{error.filename}: {error.strerror}" if error.filename else error.strerror
    return re.sub(r" \(os error \d+\)$", "", str(error))
