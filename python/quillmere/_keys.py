"""Keys of plain-text lines as GNU sort finds them, for the quillmere command.

Parses -S sizes and -k key definitions, and turns a block of whole lines
into (key, line) pairs for the sorter: with regular expressions, bytes
methods, map and zip where those find the keys (no Python code per line),
else line by line. UsageError, InputError and the read size live here too,
since every other module of the command imports this one.
"""

# Annotations are left unevaluated on 3.13 as on 3.14: some name types
# that are imported only for the type checker.
from __future__ import annotations

import operator
import os
import re
from collections import deque
from dataclasses import dataclass
from itertools import repeat, starmap

# Names only the type checker needs; importing typing would slow the start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    import io
    from collections.abc import Callable, Iterable, Iterator, Sequence

    from quillmere import SortKey

BLOCK = 4 << 20  # bytes read at a time; big enough that per-block Python work is noise


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
