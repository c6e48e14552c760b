"""The quillmere command: sort text, CSV or JSON-lines files larger than memory.

Plain text is sorted as GNU sort sorts it in the C locale with -s: lines are
bytes, fields, keys (-t, -k, -b), numbers (-n), reverse (-r) and unique (-u)
follow its rules, and the output is byte for byte the same. Lines go through
a `Sorter` as (key, line) pairs added with `add_encoded` and come out through
`write_to`; for the common keys the per-line work (splitting, finding fields,
parsing numbers, inverting keys for -r) is done by C-level callables (regular
expressions, bytes methods, map and zip) so that no Python code runs per line.

Exit status: 0 on success, 1 when reading or writing fails, 2 for a usage
error, 130 on Ctrl-C (143 on SIGTERM). Nothing spilled outlives the command,
and an -o file is written beside its target and renamed into place, so an
interrupted sort leaves the old file, not half of a new one.

The keys of text lines are found in `_keys`, CSV and JSON-lines records are
read and keyed in `_records`, and progress and output are in `_output`.
"""

# Annotations are left unevaluated on 3.13 as on 3.14: some name types
# that are imported only for the type checker.
from __future__ import annotations

import argparse
import csv
import io
import os
import signal
import sys
from collections import deque

from _quillmere import Sorter
from quillmere._keys import (InputError, LineKeys, UsageError, line_blocks, parse_keydef, parse_size,
                             resolve_keys)
from quillmere._output import PROG, Output, Progress, Sink
from quillmere._records import CsvKeys, CsvRecords, JsonKeys, encode_text

# Names only the type checker needs; importing typing would slow the start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator, Sequence
    from types import FrameType
    from typing import NoReturn

    from quillmere import SortKey
    from quillmere._keys import KeyDef

DEFAULT_BUFFER = "256M"
MIN_BUFFER = 64 << 10


class Terminated(Exception):
    """SIGTERM, turned into an exception so that cleanup runs."""


class Options(argparse.Namespace):
    """The parsed command line, and what parse_args works out from it."""

    files: list[str]
    output: str | None
    field_separator: str | None
    key: list[str]
    numeric_sort: bool
    reverse: bool
    ignore_leading_blanks: bool
    unique: bool
    stable: bool
    buffer_size: str
    temporary_directory: str | None
    threads: int  # None from argparse until parse_args picks the default
    max_open: int
    quiet: bool
    csv: bool
    jsonl: bool
    buffer: int  # -S in bytes
    tab: int | None  # the -t byte
    keys: list[KeyDef]  # only for plain text


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


def build_parser() -> Parser:
    parser = Parser(
        prog=PROG,
        description="Sort lines of text files, or CSV and JSON-lines records, with memory "
                    "bounded by -S; larger inputs spill to temporary files. Plain text "
                    "sorts as 'LC_ALL=C sort -s' does, with the same options.",
        epilog="KEYDEF is F[.C][OPTS][,F[.C][OPTS]] for a start and an optional stop "
               "position, where F is a field number and C a character position in the "
               "field, both counted from 1 (C 0 in the stop position means the end of "
               "the field), and OPTS are ordering letters from b, n and r, which override "
               "the global ordering options for that key. Fields are separated by -t, or "
               "else each starts at the blanks before its non-blank text. With --csv or "
               "--jsonl, -k NAME picks a column or field by name.",
    )
    add = parser.add_argument
    add("files", nargs="*", metavar="FILE", help="files to sort; none or - for standard input")
    add("--version", action=ShowVersion)
    add("-o", "--output", metavar="FILE", help="write to FILE (which may be an input) "
        "instead of standard output")
    add("-t", "--field-separator", metavar="SEP", help="separate fields by the byte SEP")
    add("-k", "--key", action="append", default=[], metavar="KEYDEF",
        help="sort by a key (several are compared in turn)")
    add("-n", "--numeric-sort", action="store_true", help="compare numbers: blanks, an "
        "optional minus, digits and an optional fraction; anything else counts as zero")
    add("-r", "--reverse", action="store_true", help="reverse the order of keys; lines with "
        "equal keys stay in input order")
    add("-b", "--ignore-leading-blanks", action="store_true", help="ignore leading blanks "
        "in keys")
    add("-u", "--unique", action="store_true", help="output only the first line of each run "
        "of equal keys")
    add("-s", "--stable", action="store_true", help="accepted for GNU sort's sake: sorting "
        "is always stable")
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
    opts.buffer = max(parse_size(opts.buffer_size), MIN_BUFFER)
    if opts.threads is None:
        opts.threads = min(os.process_cpu_count() or 1, 8)
    if opts.threads < 1:
        raise UsageError(f"--parallel must be at least 1, not {opts.threads}")
    if opts.max_open < 2:
        raise UsageError(f"--max-open must be at least 2, not {opts.max_open}")
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
    if opts.csv or opts.jsonl:
        if opts.ignore_leading_blanks:
            raise UsageError("-b cannot be used with --csv or --jsonl")
        if opts.jsonl and opts.numeric_sort:
            raise UsageError("-n cannot be used with --jsonl: JSON numbers sort as numbers")
    else:
        keydefs = [parse_keydef(k) for k in opts.key]
        opts.keys = resolve_keys(keydefs, opts.ignore_leading_blanks, opts.numeric_sort,
                                 opts.reverse)
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

    def run(self, output: Output) -> None:
        opts = self.opts
        self.check_inputs()
        try:
            # Lines go in and come out as encoded payloads; no item is ever decoded.
            sorter: Sorter[bytes] = Sorter(max_bytes=opts.buffer,
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

    def read_lines(self, sorter: Sorter[bytes]) -> LineKeys:
        line_keys = LineKeys(self.opts.keys, self.opts.tab)
        add = sorter.add_encoded
        for name, file in self.inputs():
            for block, size in line_blocks(file, name):
                self.progress.read(line_keys.add_block(block, add), size)
        return line_keys

    def write_lines(self, sorter: Sorter[bytes], output: Output, line_keys: LineKeys) -> None:
        self.progress.set_phase("merging")
        sink = Sink(output.open(), self.progress, line_keys if self.opts.unique else None)
        sorter.write_to(sink)
        output.commit()

    def read_csv(self, sorter: Sorter[bytes]) -> tuple[bytes, Callable[[bytes], SortKey]]:
        opts = self.opts
        records = CsvRecords(chr(opts.tab) if opts.tab is not None else ",")
        keys = CsvKeys(opts.key, opts.numeric_sort, opts.reverse)
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


def on_sigterm(signum: int, frame: FrameType | None) -> NoReturn:
    raise Terminated


def main(argv: Sequence[str] | None = None) -> int:
    try:
        opts = parse_args(argv)
    except UsageError as e:
        print(f"{PROG}: {e} (see '{PROG} --help')", file=sys.stderr)
        return 2
    progress = Progress(sys.stderr.isatty() and not opts.quiet)
    output = None
    status = 1  # until the job succeeds, so that an unexpected error discards the output too
    previous = signal.signal(signal.SIGTERM, on_sigterm)
    try:
        output = Output(opts.output if opts.output not in (None, "-") else None)
        Job(opts, progress).run(output)
        status = 0
    except KeyboardInterrupt:
        status = 130
    except Terminated:
        status = 143
    except BrokenPipeError:
        status = 141  # as if killed by SIGPIPE, quietly, like sort in a pipe
    except UsageError as e:
        print(f"{PROG}: {e}", file=sys.stderr)
        status = 2
    except InputError as e:
        print(f"{PROG}: {e}", file=sys.stderr)
        status = 1
    except OSError as e:
        print(f"{PROG}: {describe(e)}", file=sys.stderr)
        status = 1
    except (ValueError, RuntimeError) as e:
        print(f"{PROG}: {e}", file=sys.stderr)
        status = 1
    finally:
        # A second Ctrl-C must not cut the cleanup short.
        interrupt = signal.signal(signal.SIGINT, signal.SIG_IGN)
        if status and output is not None:
            output.discard()
        progress.clear()
        signal.signal(signal.SIGINT, interrupt)
        signal.signal(signal.SIGTERM, previous)
    if status == 141:
        # Nothing more can go to a closed pipe; keep the interpreter from trying at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return status


def describe(error: OSError) -> str:
    """An OSError's message: Python's own carry strerror and filename; the
    sorter's carry the path in their one message."""
    if error.strerror:
        return f"{error.filename}: {error.strerror}" if error.filename else error.strerror
    return str(error)
