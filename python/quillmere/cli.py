"""The quillmere command: sort text, CSV or JSON-lines files larger than memory.

Plain text is sorted as GNU sort sorts it, in the locale the environment
names: fields, keys and orderings (-t, -k, -b, -n, -g, -h, -M, -V, -R, -f,
-d, -i, -r), the last-resort comparison of whole lines (unless -s or -u),
unique (-u), checking (-c, -C), merging (-m) and NUL-terminated records
(-z) follow its rules, and the output is byte for byte the same. The
extension's _Lines finds every record's key in C++ a block at a time and
pushes it into a `Sorter`; the sorted records come out through `write_to`.
Python here parses arguments, opens files, and handles signals and progress.

Exit status: 0 on success, 1 when -c or -C finds disorder, 2 for any error,
as GNU sort has them. A signal that ends a process (HUP, INT, QUIT, TERM,
PIPE, ALRM, XCPU, XFSZ, VTALRM, PROF; those ignored at the start stay
ignored) is cleaned up after and then ends the command as it would have, as
does writing into a closed pipe (SIGPIPE, quietly); main() itself returns
128 + its number, and entry() re-raises it. Nothing spilled outlives the
command. An -o file is opened only once every input has been read, so a
sort interrupted before that leaves the old file. A closed standard error
stops nothing (messages are then lost); a closed standard input or output is
an error only when it is to be read or written.

This module holds one run: the job (reading every input into a sorter, then
writing) and the session around it (messages, exit status, cleanup). The
options are declared and checked in `_options`, -k keys are defined in
`_keys`, inputs are read in `_input`, the signals are handled in `_signals`,
CSV and JSON-lines records are read and keyed in `_records`, progress and
output are in `_output`, and the errors every module raises in `_errors`.
"""

# Annotations are left unevaluated on 3.13 as on 3.14: some name types
# that are imported only for the type checker.
from __future__ import annotations

import contextlib
import csv
import errno
import io
import os
import re
import shutil
import signal
import sys
import tempfile

from _quillmere import Sorter, _keep_freed_memory, _LineMerge, _Lines
from quillmere._debug import marks_keys, marks_whole, warnings
from quillmere._errors import InputError, UsageError, quote, quote_name
from quillmere._input import BLOCK, Waiting, line_blocks, split_header
from quillmere._locale import environment, locale_names, quote as locale_quote, settings
from quillmere._options import open_file_limit, parse_args
from quillmere._output import PROG, Output, Progress, Sink, write_failed
from quillmere._records import CsvKeys, CsvRecords, JsonKeys, encode_text
from quillmere._signals import Signalled, Signals

# Names only the type checker needs; importing typing would slow the start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator, Sequence
    from typing import NoReturn

    from quillmere import SortKey
    from quillmere._keys import KeyDef
    from quillmere._options import Options
    from quillmere._signals import Wakeup

# Of -S, what the interpreter, the read and write buffers and the merge's
# open runs take besides the sorter, so that the whole process stays near
# -S as sort does (at most a quarter of a small -S).
RESERVE = 16 << 20


class Job:
    """One run of the command: reads every input into a sorter, then writes."""

    def __init__(self, opts: Options, progress: Progress, wakeup: Wakeup | None) -> None:
        self.opts = opts
        self.progress = progress
        self.wakeup = wakeup  # ends a wait for input when a signal comes
        self.header: list[bytes] = []  # --header: the first input's first lines
        self.temporaries: list[str] = []  # files of -m's passes, removed once merged
        self.locale = locale_names(environment())  # None: the C locale

    def open_input(self, name: str) -> tuple[str, Waiting]:
        """(name, raw binary file) for an input; each read of it waits for
        input or a signal."""
        if name == "-":
            stdin = open(sys.stdin.fileno(), "rb", buffering=0, closefd=False)
            return "standard input", Waiting(stdin, self.wakeup)
        try:
            file = open(name, "rb", buffering=0)
        except IsADirectoryError as e:
            # A directory opens, as far as GNU sort sees, and fails to read.
            raise InputError(f"read failed: {quote_name(name)}: {e.strerror}") from None
        except OSError as e:
            raise InputError(f"cannot read: {quote_name(name)}: {e.strerror}") from None
        return name, Waiting(file, self.wakeup)

    def records(self, number: int, name: str, file: Waiting) -> Iterator[tuple[bytes, int]]:
        """Input `number`'s blocks of whole records, without its header lines
        (those of the first input are kept for the output)."""
        blocks = line_blocks(file, name, self.opts.end)
        if not self.opts.header:
            return blocks
        return split_header(blocks, self.opts.header, self.opts.end,
                            self.header if number == 0 else [])

    def inputs(self) -> Iterator[tuple[str, Waiting]]:
        """Yields (name, raw binary file) for each input, in order, closing
        each once the next is asked for."""
        for name in self.opts.files or ["-"]:
            shown, file = self.open_input(name)
            with file.file:
                yield shown, file

    def check_inputs(self) -> None:
        """Fails before any sorting on inputs that are missing or unreadable;
        they are not opened here, since opening a named pipe would block."""
        failed = "open failed" if self.opts.check else "cannot read"
        for name in self.opts.files:
            if name == "-":
                continue
            try:
                os.stat(name)
            except OSError as e:
                raise InputError(f"{failed}: {quote_name(name)}: {e.strerror}") from None
            if not os.access(name, os.R_OK):
                raise InputError(f"{failed}: {quote_name(name)}: Permission denied")
            if os.path.isdir(name):
                raise InputError(f"read failed: {quote_name(name)}: Is a directory")

    def read_file_names(self) -> None:
        """--files0-from: the inputs are the NUL-terminated names in a file."""
        source = self.opts.files0_from
        assert source is not None
        try:
            file = sys.stdin.buffer if source == "-" else open(source, "rb")
        except OSError as e:
            raise InputError(f"open failed: {quote_name(source)}: {e.strerror}") from None
        try:
            with file:
                data = file.read()
        except OSError:
            raise InputError(f"cannot read file names from {quote(source)}") from None
        names = data.split(b"\0")
        if names[-1] == b"":
            names.pop()
        if not names:
            raise InputError(f"no input from {quote(source)}")
        for number, file in enumerate(names, 1):
            if not file:
                raise InputError(f"{source}:{number}: invalid zero-length file name")
            if file == b"-" and source == "-":
                raise InputError(f"when reading file names from standard input, no file name "
                                 f"of '-' allowed")
        self.opts.files = [os.fsdecode(file) for file in names]

    def lines(self) -> _Lines:
        opts = self.opts
        # Lines with equal keys compare whole, as bytes or in the locale's
        # collation (reversed by a global -r), unless -s or -u keeps them in
        # input order.
        last_resort = 0 if opts.stable or opts.unique else -1 if opts.reverse else 1
        return _Lines(opts.keys, opts.tab, opts.end[0], last_resort, self.hash_key(opts.keys),
                      self.locale)

    def hash_key(self, keys: Sequence[KeyDef]) -> bytes | None:
        """What keys the hash of -R: 16 bytes of --random-source, read only
        when a key is random, or else of the system's randomness."""
        if not any(key.random for key in keys):
            return None
        source = self.opts.random_source
        if source is None:
            return os.urandom(16)
        try:
            with open(source, "rb") as file:
                data = file.read(16)
        except OSError as e:
            raise InputError(f"open failed: {quote_name(source)}: {e.strerror}") from None
        if len(data) < 16:
            raise InputError(f"{locale_quote(source)}: end of file")
        return data

    def check_order(self) -> int:
        """-c and -C: 0 when the input is in order, else 1 (saying where, for -c)."""
        lines = self.lines()
        end = self.opts.end
        number = 0  # records before the current block
        for name, file in self.inputs():
            # Header lines are counted, not checked.
            number += self.opts.header
            for block, _ in self.records(0, name, file):
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
        if opts.merge and not (opts.csv or opts.jsonl):
            self.merge(output)
            return 0
        # As GNU sort: the first -T, else $TMPDIR, else /tmp. A sorter makes
        # its directory there at once, so a missing one fails now, not once
        # the first spill is due.
        directory = self.temporary_directory()
        try:
            # Lines go in and come out as encoded payloads; no item is ever decoded.
            sorter: Sorter[bytes] = Sorter(max_bytes=opts.buffer - min(RESERVE, opts.buffer // 4),
                                           tmp_dir=directory, max_open=max_open(opts.max_open),
                                           threads=opts.threads)
        except OSError as e:
            raise InputError(f"cannot create temporary file in {quote(directory)}: "
                             f"{reason(e)}") from None
        with sorter:
            if opts.csv:
                self.write_structured(sorter, output, *self.read_csv(sorter))
            elif opts.jsonl:
                self.write_structured(sorter, output, *self.read_jsonl(sorter))
            else:
                self.write_lines(sorter, output, self.read_lines(sorter))
        return 0

    def temporary_directory(self) -> str:
        """As GNU sort: the first -T, else $TMPDIR, else /tmp."""
        given = self.opts.temporary_directories
        return given[0] if given else os.environ.get("TMPDIR") or "/tmp"

    def read_lines(self, sorter: Sorter[bytes]) -> _Lines:
        lines = self.lines()
        add = lines.add
        for number, (name, file) in enumerate(self.inputs()):
            for block, size in self.records(number, name, file):
                self.progress.read(add(sorter, block), size)
        return lines

    def open_output(self, output: Output, lines: _Lines) -> Sink:
        """The output, opened once every input is read, with --header's lines
        written first."""
        file = output.open()
        file.write(b"".join(self.header))
        opts = self.opts
        return Sink(file, self.progress, lines.unique if opts.unique else None,
                    self.marked(lines) if opts.debug else None)

    def marked(self, lines: _Lines) -> Callable[[bytes], bytes]:
        """--debug: sorted lines with what their keys compare marked under each."""
        keys, whole = marks_keys(self.opts), marks_whole(self.opts)
        return lambda chunk: lines._marked(chunk, keys, whole)

    def write_lines(self, sorter: Sorter[bytes], output: Output, lines: _Lines) -> None:
        self.progress.set_phase("merging")
        lines.write_to(sorter, self.open_output(output, lines))
        output.commit()

    def merge(self, output: Output) -> None:
        """-m: inputs that are each in order, merged as they are. With more
        than the batch size, each pass merges every group of that many
        consecutive inputs into a temporary file, so that equal keys still
        come from the earlier input first, and removes the files it merged.
        An input that is also the output is copied first, since the output is
        opened before that input has been read."""
        lines = self.lines()
        names = self.copy_output_inputs(self.opts.files or ["-"])
        batch = max_open(self.opts.max_open)
        first = True  # the inputs as given, whose header lines count
        while len(names) > batch:
            merged = []
            for start in range(0, len(names), batch):
                merged.append(self.temporary())
                with open(merged[-1], "wb") as file:
                    self.merge_into(lines, names[start:start + batch], start if first else None,
                                    lambda: Sink(file, self.progress))
            self.remove_temporaries(keep=merged)
            names, first = merged, False
        self.progress.set_phase("merging")
        self.merge_into(lines, names, 0 if first else None,
                        lambda: self.open_output(output, lines))
        output.commit()

    def merge_into(self, lines: _Lines, names: list[str], number: int | None,
                   open_sink: Callable[[], Sink]) -> None:
        """Merges `names`, every one open at once, into the sink that
        `open_sink` opens once they are (and the first input's header lines
        are read). `number` is names[0]'s place among the inputs as given,
        None for a pass's files, which hold no header lines."""
        with contextlib.ExitStack() as stack:
            sources = []
            for i, name in enumerate(names):
                shown, file = self.open_input(name)
                stack.enter_context(file.file)
                sources.append(line_blocks(file, shown, self.opts.end) if number is None
                               else self.records(number + i, shown, file))
            merge = _LineMerge(lines, len(sources))
            sink = open_sink()
            while True:
                chunk, wanted = merge.take(BLOCK)
                if chunk:
                    sink.write(chunk)
                if wanted == -2:
                    return
                if wanted >= 0:
                    merge.feed(wanted, next_block(sources[wanted], self.progress))

    def temporary(self) -> str:
        """A new temporary file for a merge pass, removed at the end."""
        directory = self.temporary_directory()
        try:
            fd, path = tempfile.mkstemp(prefix="quillmere-merge-", dir=directory)
        except OSError as e:
            raise InputError(f"cannot create temporary file in {quote(directory)}: "
                             f"{e.strerror}") from None
        os.close(fd)
        self.temporaries.append(path)
        return path

    def copy_output_inputs(self, names: list[str]) -> list[str]:
        """The inputs, with a copy in place of each that is the -o file."""
        out = self.opts.output
        if out is None or not os.path.exists(out):
            return names
        copies: dict[str, str] = {}
        result = []
        for name in names:
            if name != "-" and os.path.exists(name) and os.path.samefile(name, out):
                if name not in copies:
                    copies[name] = self.temporary()
                    with open(name, "rb") as src, open(copies[name], "wb") as dst:
                        shutil.copyfileobj(src, dst, BLOCK)
                name = copies[name]
            result.append(name)
        return result

    def remove_temporaries(self, keep: Sequence[str] = ()) -> None:
        for path in self.temporaries:
            if path not in keep:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(path)
        self.temporaries = [path for path in self.temporaries if path in keep]

    def read_csv(self, sorter: Sorter[bytes]) -> tuple[bytes, Callable[[bytes], SortKey]]:
        opts = self.opts
        records = CsvRecords(chr(opts.tab) if opts.tab is not None else ",")
        keys = CsvKeys(opts.key, opts.default_key, self.hash_key, self.locale)
        csv.field_size_limit(sys.maxsize)  # a record is bounded by memory, not by csv
        for name, file in self.inputs():
            batch = []
            for row, text in records.read(file, name):
                if keys.indexes is None:
                    keys.prepare(records)
                batch.append((row, text))
                if len(batch) == 4096:
                    self.add_csv_batch(sorter, keys, batch)
            self.add_csv_batch(sorter, keys, batch)
        if records.header is not None and keys.indexes is None:
            keys.prepare(records)  # checks the names even when there are no rows
        header = encode_text(records.header[1]) if records.header else b""
        if header and not header.endswith((b"\n", b"\r")):
            header += b"\n"

        def key_of(text: bytes) -> SortKey:
            row = next(csv.reader(io.StringIO(text.decode("utf-8", "surrogateescape"), newline=""),
                                  delimiter=records.delimiter), [])
            return keys.key(row)

        return header, key_of

    def add_csv_batch(self, sorter: Sorter[bytes], keys: CsvKeys,
                      batch: list[tuple[list[str], bytes]]) -> None:
        texts = [text for _, text in batch]
        keys.add(sorter, [row for row, _ in batch], texts)
        self.progress.read(len(batch), sum(map(len, texts)))
        batch.clear()

    def read_jsonl(self, sorter: Sorter[bytes]) -> tuple[bytes, Callable[[bytes], SortKey]]:
        keys = JsonKeys(self.opts.key, self.opts.reverse, self.locale)
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
        self.job: Job | None = None

    def say(self, message: str, prefixed: bool = True) -> None:
        """Writes a message on stderr, clearing the progress line first."""
        self.progress.clear()
        if sys.stderr is None:
            return  # stderr was closed: the message has nowhere to go
        try:
            print(f"{PROG}: {message}" if prefixed else message, file=sys.stderr)
        except OSError:
            pass  # as above; the status still tells

    def run(self, argv: Sequence[str] | None, wakeup: Wakeup | None) -> int:
        """Parses the command line and runs the job; `wakeup`, from the
        signal handlers, is handed to the job's reads of input."""
        try:
            opts = parse_args(argv)
        except UsageError as e:
            self.usage(e)
            return e.status
        if opts.debug:
            for warning in warnings(opts, settings()):
                self.say(warning)
        to_stdout = opts.output is None  # "-o -" is a file named "-", as in GNU sort
        self.progress = Progress(self.shows_progress(opts.quiet, to_stdout))
        try:
            self.check_standard_streams(opts, to_stdout)
            self.output = Output(None if to_stdout else opts.output)
            self.job = Job(opts, self.progress, wakeup)
            return self.job.run(self.output)
        except BrokenPipeError:
            # Python ignores SIGPIPE; end as it would: quietly, then by the signal.
            return 128 + signal.SIGPIPE
        except UsageError as e:
            self.usage(e)
            return e.status
        except InputError as e:
            self.say(str(e))
        except OSError as e:
            self.say(describe(e))
        except (ValueError, RuntimeError) as e:
            self.say(str(e))
        return 2

    def usage(self, error: UsageError) -> None:
        self.say(str(error))
        if error.hint:
            self.say(f"Try '{PROG} --help' for more information.", prefixed=False)

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
            raise InputError(f"stat failed: -: {bad}")
        if 1 in self.closed and to_stdout and not opts.check:
            raise InputError(write_failed("fflush", "standard output", bad))

    def cleanup(self, status: int) -> None:
        """Undoes what a failed run left; safe to repeat."""
        if status and self.output is not None:
            self.output.discard()
        if self.job is not None:
            self.job.remove_temporaries()
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
        status = session.run(argv, signals.install())
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
    _keep_freed_memory()  # this process is the sort alone
    status = main()
    if status > 128:
        signum = status - 128
        signal.signal(signum, signal.SIG_DFL)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signum})
        signal.raise_signal(signum)
    sys.exit(status)


def next_block(blocks: Iterator[tuple[bytes, int]], progress: Progress) -> bytes:
    """The next block of whole records, or b"" once the input has ended."""
    for block, size in blocks:
        progress.read(0, size)
        if block:
            return block
    return b""


def max_open(batch: int) -> int:
    """Runs merged at once: at most `batch`, and as many as the open-file
    limit leaves room for beside what this process holds open already (a
    few, and the files being read)."""
    return max(2, min(batch, open_file_limit() - 16))


def reason(error: OSError) -> str:
    """Why an OSError happened, without the path: its strerror, or the
    sorter's, whose one message ends in the errno."""
    if error.strerror:
        return error.strerror
    found = re.search(r" \(os error (\d+)\)$", str(error))
    return os.strerror(int(found.group(1))) if found else str(error)


def describe(error: OSError) -> str:
    """An OSError's message: Python's own carry strerror and filename; the
    sorter's carry the path in their one message, which ends in the errno."""
    if error.strerror:
        return f"{error.filename}: {error.strerror}" if error.filename else error.strerror
    return re.sub(r" \(os error \d+\)$", "", str(error))
