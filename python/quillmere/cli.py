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
"""

import argparse
import csv
import io
import json
import operator
import os
import re
import signal
import sys
import tempfile
import time
from collections import deque
from dataclasses import dataclass
from itertools import compress, repeat, starmap

from _quillmere import Sorter

# Names only the type checker needs; importing typing would slow the start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable, Iterator, Sequence
    from types import FrameType
    from typing import BinaryIO, NoReturn

    from quillmere import SortKey

PROG = "quillmere"
BLOCK = 4 << 20  # bytes read at a time; big enough that per-block Python work is noise
DEFAULT_BUFFER = "256M"
MIN_BUFFER = 64 << 10


class UsageError(Exception):
    """Bad options or arguments: exit status 2."""


class InputError(Exception):
    """Input that cannot be sorted as asked (bad CSV or JSON): exit status 1."""


class Terminated(Exception):
    """SIGTERM, turned into an exception so that cleanup runs."""


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


@dataclass
class KeyDef:
    """One -k key, positions 0-based as GNU sort keeps them internally.

    efield None means the key runs to the end of the line; echar 0 means to
    the end of field efield."""

    sfield: int = 0
    schar: int = 0
    sblank: bool = False
    efield: int | None = None
    echar: int = 0
    eblank: bool = False
    numeric: bool = False
    reverse: bool = False

    def has_options(self) -> bool:
        return self.sblank or self.eblank or self.numeric or self.reverse


KEYDEF = re.compile(r"(\d+)(?:\.(\d+))?([a-zA-Z]*)(?:,(\d+)(?:\.(\d+))?([a-zA-Z]*))?")
SUPPORTED_FLAGS = "bnr"


def parse_keydef(text: str) -> KeyDef:
    """F[.C][OPTS][,F[.C][OPTS]], OPTS from b, n and r."""
    m = KEYDEF.fullmatch(text)
    if not m:
        raise UsageError(f"invalid key definition '{text}'")
    sfield, schar, sflags, efield, echar, eflags = m.groups()
    for flag in sflags + (eflags or ""):
        if flag not in SUPPORTED_FLAGS:
            raise UsageError(f"ordering option '{flag}' in key '{text}' is not supported "
                             f"(only b, n and r are)")
    if int(sfield) == 0 or (efield is not None and int(efield) == 0):
        raise UsageError(f"field number is zero: invalid key definition '{text}'")
    if schar is not None and int(schar) == 0:
        raise UsageError(f"character offset is zero: invalid key definition '{text}'")
    flags = sflags + (eflags or "")
    return KeyDef(
        sfield=int(sfield) - 1,
        schar=int(schar) - 1 if schar else 0,
        sblank="b" in sflags,
        efield=int(efield) - 1 if efield is not None else None,
        echar=int(echar) if echar else 0,
        eblank="b" in (eflags or ""),
        numeric="n" in flags,
        reverse="r" in flags,
    )


def resolve_keys(keydefs: list[KeyDef], blank: bool, numeric: bool,
                 reverse: bool) -> list[KeyDef]:
    """The keys to sort by. As in GNU sort, a key with no options of its own
    takes the global ones, and no -k means one key over the whole line."""
    if not keydefs:
        return [KeyDef(sblank=blank, numeric=numeric, reverse=reverse)]
    keys = []
    for key in keydefs:
        if not key.has_options():
            key = KeyDef(key.sfield, key.schar, blank, key.efield, key.echar, blank, numeric, reverse)
        keys.append(key)
    return keys


# ---- keys as C-level pipelines ----

# What the sorter gets for one line: a key element, or a tuple of them.
type KeyPart = bytes | int
# A key element for every line of a block.
type KeyColumn = Iterable[bytes] | Iterable[int]

IDENTITY = bytes(range(256))
INVERT = bytes(255 - i for i in range(256))
_escape_zeros = operator.methodcaller("replace", b"\0", b"\0\1")
_invert = operator.methodcaller("translate", INVERT)


def reversed_bytes(column: Iterable[bytes]) -> Iterator[bytes]:
    """Keys that sort in the opposite order of the byte strings in `column`.

    Escaping 0x00 as 0x00 0x01 and ending with 0x00 0x00 keeps the order and
    makes no key a prefix of another; then inverting every byte reverses it."""
    return map(_invert, map(operator.add, map(_escape_zeros, column), repeat(b"\0\0")))


# A number as GNU sort reads one: blanks, an optional minus, digits, an
# optional fraction. The groups are the sign (only when the value is not
# zero), the integer digits without leading zeros and the fraction without
# trailing zeros, so equal values give equal groups.
NUMBER = rb"[ \t]*(-(?=0*(?:[1-9]|\.0*[1-9])))?0*(\d*)(?:\.(\d*?)0*(?!\d))?"
NUMBER_RE = re.compile(NUMBER)


def number_groups(text: bytes) -> tuple[bytes, ...]:
    """NUMBER's groups in text: (sign, integer, fraction), empty when absent."""
    m = NUMBER_RE.match(text)
    assert m is not None  # every part of NUMBER is optional
    return m.groups(b"")


# A number's key is (m, digits): m is the count of integer digits, or its
# bitwise complement (-count - 1) when negative, so every negative sorts below
# zero and longer negatives lower; digits are the integer and fraction digits
# and a 0x00, inverted when negative. Reversing flips both.
_MASK = {b"": 0, b"-": -1}
_MASK_REVERSED = {b"": -1, b"-": 0}
_TABLE = {b"": IDENTITY, b"-": INVERT}
_TABLE_REVERSED = {b"": INVERT, b"-": IDENTITY}


def numeric_keys(signs: Iterable[bytes], ints: Iterable[bytes], fracs: Iterable[bytes],
                 reverse: bool) -> list[KeyColumn]:
    masks = _MASK_REVERSED if reverse else _MASK
    tables = _TABLE_REVERSED if reverse else _TABLE
    lengths = map(operator.xor, map(len, ints), map(masks.__getitem__, signs))
    digits = map(operator.add, map(operator.add, ints, fracs), repeat(b"\0"))
    return [lengths, map(bytes.translate, digits, map(tables.__getitem__, signs))]


def key_columns(keys: Sequence[KeyDef], groups: Sequence[Iterable[bytes]]) -> list[KeyColumn]:
    """Iterators of key elements, one per element, from the captured groups:
    one group per text key, three (sign, integer, fraction) per numeric key."""
    columns = []
    at = 0
    for key in keys:
        if key.numeric:
            signs, ints, fracs = groups[at:at + 3]
            columns += numeric_keys(signs, ints, fracs, key.reverse)
            at += 3
        else:
            columns.append(reversed_bytes(groups[at]) if key.reverse else groups[at])
            at += 1
    return columns


def sort_keys(keys: Sequence[KeyDef],
              groups: Sequence[Iterable[bytes]]) -> Iterable[KeyPart | tuple[KeyPart, ...]]:
    columns = key_columns(keys, groups)
    return columns[0] if len(columns) == 1 else zip(*columns)


# ---- finding keys in lines ----

def byte_class(tab: int) -> bytes:
    return rb"\x%02x" % tab


def start_pattern(key: KeyDef, tab: int | None) -> bytes:
    """Matches from the start of a line to the start of the key."""
    if key.sfield == 0:
        pattern = b""
    elif tab is None:
        # Without -t a field is its leading blanks and then non-blanks.
        pattern = rb"(?:[ \t]*[^ \t\n]*){%d}" % key.sfield
    else:
        t = byte_class(tab)
        pattern = rb"(?:(?:[^%s\n]*%s){%d}|[^\n]*)" % (t, t, key.sfield)
    return pattern + (rb"[ \t]*" if key.sblank else b"")


def key_pattern(key: KeyDef, tab: int | None) -> bytes:
    """Captures the key's groups from where start_pattern ends."""
    if key.efield is not None and key.efield < key.sfield:
        return b"()()()" if key.numeric else b"()"  # ends before it starts: empty
    if key.numeric:
        return NUMBER
    if key.efield is None:
        return rb"([^\n]*)"
    extra = key.efield - key.sfield
    if tab is None:
        return rb"((?:[ \t]*[^ \t\n]*){%d})" % (extra + 1)
    t = byte_class(tab)
    return rb"([^%s\n]*(?:%s[^%s\n]*){0,%d})" % (t, t, t, extra)


def has_pattern(key: KeyDef, tab: int | None) -> bool:
    """Whether a regular expression finds exactly GNU sort's key.

    Character positions are left to the line-by-line code, and so are
    separators that a blank skip or a number could run across."""
    if key.schar or (key.efield is not None and key.echar):
        return False
    if tab is None:
        return True
    if tab == 10:
        return False
    if key.sblank and tab in b" \t":
        return False
    return not (key.numeric and tab in b" \t-.0123456789")


_BLANKS = re.compile(rb"[ \t]*")
_FIELD = re.compile(rb"[ \t]*[^ \t]*")


def begin_field(line: bytes, key: KeyDef, tab: int | None) -> int:
    """Where the key starts in a line without its newline (GNU begfield)."""
    ptr, lim = 0, len(line)
    for _ in range(key.sfield):
        if ptr >= lim:
            break
        if tab is None:
            m = _FIELD.match(line, ptr)
            assert m is not None  # matches anywhere, if only the empty string
            ptr = m.end()
        else:
            found = line.find(tab, ptr)
            ptr = lim if found < 0 else found + 1
    if key.sblank:
        m = _BLANKS.match(line, ptr)
        assert m is not None
        ptr = m.end()
    return min(lim, ptr + key.schar)


def limit_field(line: bytes, key: KeyDef, tab: int | None) -> int:
    """Where the key ends in a line without its newline (GNU limfield)."""
    ptr, lim = 0, len(line)
    if key.efield is None:
        return lim
    eword, echar = key.efield + (key.echar == 0), key.echar
    while ptr < lim and eword:
        eword -= 1
        if tab is None:
            m = _FIELD.match(line, ptr)
            assert m is not None  # matches anywhere, if only the empty string
            ptr = m.end()
        else:
            found = line.find(tab, ptr)
            ptr = lim if found < 0 else found
            if ptr < lim and (eword or echar):
                ptr += 1
    if echar:
        if key.eblank:
            m = _BLANKS.match(line, ptr)
            assert m is not None
            ptr = m.end()
        ptr = min(lim, ptr + echar)
    return ptr


# Equal for two lines exactly when their keys are equal: the line without its
# newline for a whole-line key, else the tuple of captured key groups.
type LineIdentity = bytes | tuple[bytes, ...]


class LineKeys:
    """Keys of newline-terminated lines, a block of whole lines at a time.

    Three roads, fastest first: the whole line as its key (bytes.split), keys
    that one regular expression finds (findall captures every key's groups
    and the line itself), and character positions, found line by line in
    Python as GNU sort's begfield and limfield do."""

    def __init__(self, keys: list[KeyDef], tab: int | None) -> None:
        self.keys = keys
        self.tab = tab
        whole = keys[0]
        self.whole_line = (len(keys) == 1 and whole.sfield == 0 and whole.schar == 0
                           and whole.efield is None and not whole.sblank and not whole.numeric)
        self.pattern: re.Pattern[bytes] | None = None
        if not self.whole_line and all(has_pattern(k, tab) for k in keys):
            self.pattern = re.compile(
                b"".join(b"(?=" + start_pattern(k, tab) + key_pattern(k, tab) + b")" for k in keys)
                + rb"([^\n]*\n)")
        # findall's (key, line) rows are add_encoded's arguments as they stand.
        self.rows_are_pairs = len(keys) == 1 and not keys[0].numeric and not keys[0].reverse

    def lines(self, block: bytes) -> tuple[list[bytes], list[bytes]]:
        """The block's keys (without newlines) and its lines (with them)."""
        keys = block.split(b"\n")
        keys.pop()
        # bytes.splitlines also breaks at a lone \r, which is part of a line here.
        if b"\r" in block:
            return keys, list(map(operator.add, keys, repeat(b"\n")))
        return keys, block.splitlines(True)

    def rows(self, block: bytes) -> list[tuple[bytes, ...]]:
        """One tuple per line: the key groups, then the line."""
        if self.pattern is not None:
            return self.pattern.findall(block)
        rows = []
        tab = self.tab
        for line in block.split(b"\n")[:-1]:
            row: list[bytes] = []
            for key in self.keys:
                begin, end = begin_field(line, key, tab), limit_field(line, key, tab)
                text = line[begin:end] if end > begin else b""
                if key.numeric:
                    row += number_groups(text)
                else:
                    row.append(text)
            row.append(line + b"\n")
            rows.append(tuple(row))
        return rows

    def add_block(self, block: bytes, add: Callable[[SortKey, bytes], object]) -> int:
        """Adds every line of the block; returns how many."""
        if self.whole_line:
            keys, lines = self.lines(block)
            if self.keys[0].reverse:
                deque(map(add, reversed_bytes(keys), lines), 0)
            else:
                deque(map(add, keys, lines), 0)
            return len(lines)
        rows = self.rows(block)
        if not rows:
            return 0
        if self.rows_are_pairs:
            deque(starmap(add, rows), 0)
        else:
            columns = list(zip(*rows))
            deque(map(add, sort_keys(self.keys, columns[:-1]), columns[-1]), 0)
        return len(rows)

    def identities(self, block: bytes) -> tuple[Sequence[LineIdentity], list[bytes]]:
        """Values equal exactly when the lines' keys are equal, and the lines."""
        if self.whole_line:
            return self.lines(block)
        rows = self.rows(block)
        return list(map(operator.itemgetter(slice(0, -1)), rows)), [row[-1] for row in rows]


def read_or_fail[*Ts, R](name: str, read: Callable[[*Ts], R], *args: *Ts) -> R:
    """Calls read(*args); an OSError becomes an InputError naming the input
    (the sorter's own OSErrors, from spilling, must keep their message)."""
    try:
        return read(*args)
    except OSError as e:
        raise InputError(f"read error on {name}: {e.strerror or e}") from None


def line_blocks(file: io.FileIO, name: str) -> Iterator[tuple[bytes, int]]:
    """(block, bytes read) pairs, each block whole lines; a last line without
    a newline gets one. A line longer than a block is gathered in pieces,
    joined once its end is found."""
    pending = []
    while chunk := read_or_fail(name, file.read, BLOCK):
        cut = chunk.rfind(b"\n") + 1
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
        yield b"".join(pending) + b"\n", 0


# ---- CSV and JSON lines ----

def text_lines(file: io.BufferedReader) -> io.TextIOWrapper[io.BufferedReader]:
    return io.TextIOWrapper(file, encoding="utf-8", errors="surrogateescape", newline="")


def encode_text(text: str) -> bytes:
    return text.encode("utf-8", "surrogateescape")


class CsvRecords:
    """CSV records with their original text; the first row of each file is
    its header. The reader takes physical lines one at a time, so the lines it
    took for a record are that record's text, quoted newlines included."""

    def __init__(self, delimiter: str) -> None:
        self.delimiter = delimiter
        # (fields, text) of the first file with one
        self.header: tuple[list[str], str] | None = None
        self.ending = "\n"

    def read(self, file: io.FileIO, name: str) -> Iterator[tuple[list[str], bytes]]:
        taken: list[str] = []
        source = text_lines(io.BufferedReader(file, BLOCK))

        def tap() -> Iterator[str]:
            lines = iter(source)
            while line := read_or_fail(name, next, lines, ""):
                taken.append(line)
                yield line

        reader = csv.reader(tap(), delimiter=self.delimiter, strict=True)
        try:
            header = next(reader, None)
            if header is None:
                return
            text = "".join(taken)
            taken.clear()
            if self.header is None:
                self.header = (header, text)
                if text.endswith("\r\n"):
                    self.ending = "\r\n"
            elif header != self.header[0]:
                raise InputError(f"{name}: its header differs from the first file's")
            for row in reader:
                text = "".join(taken)
                taken.clear()
                if not text.endswith(("\n", "\r")):
                    text += self.ending
                yield row, encode_text(text)
        except csv.Error as e:
            raise InputError(f"{name}: line {reader.line_num}: {e}") from None
        finally:
            source.close()  # closes the file too, unless it is standard input

    def columns(self, names: list[str]) -> list[int]:
        """The header's index of each named column."""
        assert self.header is not None  # asked only once a header was read
        header = self.header[0]
        indexes = []
        for name in names:
            if name not in header:
                raise UsageError(f"no column named '{name}' in the CSV header")
            indexes.append(header.index(name))
        return indexes


class CsvKeys:
    """Keys of CSV rows: the named columns (all of them without -k), each
    compared as text (UTF-8 bytes) or, with -n, as a GNU sort number."""

    def __init__(self, names: list[str], numeric: bool, reverse: bool) -> None:
        self.names = names
        self.numeric = numeric
        self.reverse = reverse
        self.indexes: Sequence[int] | None = None

    def prepare(self, records: CsvRecords) -> None:
        """Finds the columns once the first header is known."""
        if self.names:
            self.indexes = records.columns(self.names)
        else:
            assert records.header is not None  # prepared only once a header was read
            self.indexes = range(len(records.header[0]))

    def batch(self, rows: list[list[str]]) -> list[KeyPart | tuple[KeyPart, ...]]:
        """Sort keys for a list of rows; a missing field counts as empty."""
        if not rows:
            # A file with no records, perhaps not even a header: nothing to
            # key, and no columns known yet.
            return []
        assert self.indexes is not None  # prepared with the first record
        groups: list[Iterable[bytes]] = []
        keys = [KeyDef(numeric=self.numeric, reverse=self.reverse) for _ in self.indexes]
        for i in self.indexes:
            values = [encode_text(row[i]) if i < len(row) else b"" for row in rows]
            if self.numeric:
                groups += zip(*map(number_groups, values))
            else:
                groups.append(values)
        return list(sort_keys(keys, groups)) if keys else [()] * len(rows)


# Missing fields first, then null, false and true, numbers, strings, arrays
# and objects; arrays element by element and objects by their sorted members.
MISSING, NULL, BOOL, NUMBER_TAG, STRING, ARRAY, OBJECT = range(7)
# Closes a reversed array or object. Lists sort after tuples and ints, so it
# sorts after every reversed element or member, as a shorter array must.
_END: tuple[list[SortKey]] = ([],)

type JsonValue = None | bool | int | float | str | list[JsonValue] | dict[str, JsonValue]
type JsonKey = tuple[SortKey, ...]


def json_key(value: JsonValue, reverse: bool = False) -> JsonKey:
    rest: JsonKey
    if value is None:
        tag, rest = NULL, ()
    elif isinstance(value, bool):
        tag, rest = BOOL, (-value if reverse else int(value),)
    elif isinstance(value, (int, float)):
        tag, rest = NUMBER_TAG, (-value if reverse else value,)
    elif isinstance(value, str):
        text = encode_text(value)
        tag, rest = STRING, (next(reversed_bytes([text])) if reverse else text,)
    elif isinstance(value, list):
        tag, rest = ARRAY, (tuple(json_key(v, reverse) for v in value) + (_END if reverse else ()),)
    else:
        members = tuple((json_key(k, reverse), json_key(v, reverse)) for k, v in sorted(value.items()))
        tag, rest = OBJECT, (members + (_END if reverse else ()),)
    return (-tag if reverse else tag,) + rest


class JsonKeys:
    """Keys of JSON lines: the named fields of each object (the whole value
    without -k); a line that is not an object has every field missing."""

    def __init__(self, names: list[str], reverse: bool) -> None:
        self.names = names
        self.reverse = reverse
        self.missing = (-MISSING if reverse else MISSING,)

    def of(self, line: bytes, where: str) -> JsonKey:
        try:
            value: JsonValue = json.loads(line.rstrip(b"\r\n")) if line.strip() else {}
        except json.JSONDecodeError as e:
            raise InputError(f"{where}: invalid JSON: {e.msg} at column {e.colno}") from None
        except ValueError as e:  # not UTF-8
            raise InputError(f"{where}: invalid JSON: {e}") from None
        if not self.names:
            return json_key(value, self.reverse)
        if not isinstance(value, dict):
            return tuple(self.missing for _ in self.names)
        return tuple(json_key(value[name], self.reverse) if name in value else self.missing
                     for name in self.names)


# ---- progress ----

def human_bytes(n: float) -> str:
    for unit in ("B", "KB", "MB", "GB"):
        if n < 1000:
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1000
    return f"{n:.1f} TB"


class Progress:
    """A status line on stderr, redrawn at most four times a second; does
    nothing unless it is enabled (stderr is a terminal and not --quiet)."""

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
        sys.stderr.write(f"\r\x1b[K{line}{rate}, {now - self.start:.0f} s")
        sys.stderr.flush()
        self.shown = True

    def clear(self) -> None:
        if self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
            self.shown = False


# ---- output ----

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
            self.file = open(fd, "wb", buffering=BLOCK)
        except BaseException:
            # main() has no Output to discard yet, so the temporary file is ours to remove.
            os.close(fd)
            os.unlink(self.temp)
            raise

    def open(self) -> BinaryIO:
        """The binary handle to write to, opened only after every input was read."""
        if self.file is None:
            if self.path is None:
                self.file = open(sys.stdout.fileno(), "wb", buffering=BLOCK, closefd=False)
            else:
                try:
                    self.file = open(self.target, "wb", buffering=BLOCK)
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
            except OSError:
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
    """The handle given to write_to: counts progress and, for -u, keeps only
    the first line of each run of equal keys. write_to hands over whole
    payloads, so each chunk is whole lines."""

    def __init__(self, file: BinaryIO, progress: Progress,
                 line_keys: LineKeys | None = None) -> None:
        self.file = file
        self.progress = progress
        self.line_keys = line_keys
        self.last: LineIdentity | None = None

    def write(self, chunk: bytes) -> None:
        self.progress.wrote(len(chunk))
        if self.line_keys is not None:
            keys, lines = self.line_keys.identities(chunk)
            if not lines:
                return
            keep = compress(lines[1:], map(operator.ne, keys[1:], keys))
            chunk = (lines[0] if keys[0] != self.last else b"") + b"".join(keep)
            self.last = keys[-1]
        self.file.write(chunk)


# ---- the command ----

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
