"""CSV and JSON-lines records for the quillmere command, and their sort keys.

A CSV record keeps its original text, quoted newlines and all, and is keyed
by named columns, each ordered as a -k key orders its text (by its own
letters after a colon, or the global ones); a JSON line is keyed by named
fields, compared by JSON type and then by value. Text compares in the
locale's collation, as plain text does (the locale as _locale names it).
"""

# Annotations are left unevaluated on 3.13 as on 3.14: some name types
# that are imported only for the type checker.
from __future__ import annotations

import csv
import io
import json

from _quillmere import _Lines
from quillmere._errors import InputError, UsageError
from quillmere._input import BLOCK, Waiting, read_or_fail
from quillmere._keys import ORDERING_FLAGS, KeyDef

# Names only the type checker needs; importing typing would slow the start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator, Sequence
    from typing import Any

    from _quillmere import Sorter
    from quillmere import SortKey


BOM = "\ufeff"


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

    def read(self, file: Waiting, name: str) -> Iterator[tuple[list[str], bytes]]:
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
            if header and header[0].startswith(BOM):
                # Spreadsheets start files with a byte-order mark; it is no part of the
                # first name, though the header text written out keeps it.
                header[0] = header[0].removeprefix(BOM)
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
                raise UsageError(f"no column named '{name}' in the CSV header "
                                 f"(columns: {', '.join(header)})")
            indexes.append(header.index(name))
        return indexes


class CsvKeys:
    """Keys of CSV rows: the named columns (all of them without -k), each
    ordered as a -k key orders its text: by the letters after a colon in its
    name (-k age:nr), or else by the global ordering options."""

    def __init__(self, names: list[str], default: KeyDef,
                 hash_key: Callable[[Sequence[KeyDef]], bytes | None],
                 locale: dict[str, str] | None = None) -> None:
        self.hash_key = hash_key  # for random columns, once they are known
        self.locale = locale
        self.names: list[str] = []
        self.keys: list[KeyDef] = []
        for name in names:
            column, colon, flags = name.rpartition(":")
            if colon and flags and all(flag in ORDERING_FLAGS for flag in flags):
                key = KeyDef().with_flags(flags)
                key.check()
                name = column
            else:
                key = default
            self.names.append(name)
            self.keys.append(key)
        self.default = default
        self.indexes: Sequence[int] | None = None
        self.lines: _Lines | None = None

    def prepare(self, records: CsvRecords) -> None:
        """Finds the columns once the first header is known."""
        if self.names:
            self.indexes = records.columns(self.names)
        else:
            assert records.header is not None  # prepared only once a header was read
            self.indexes = range(len(records.header[0]))
            self.keys = [self.default] * len(self.indexes)
        self.lines = _Lines(self.keys, None, 10, hash_key=self.hash_key(self.keys),
                            locale=self.locale)

    def add(self, sorter: Sorter[Any], rows: list[list[str]], texts: list[bytes]) -> None:
        """Adds each row's text to the sorter, keyed by the row's columns; a
        missing field counts as empty."""
        if not rows:
            # A file with no records, perhaps not even a header: nothing to
            # key, and no columns known yet.
            return
        assert self.lines is not None  # prepared with the first record
        self.lines.add_texts(sorter, list(map(self.texts, rows)), texts)

    def key(self, row: list[str]) -> bytes:
        """The key of one row, as add() keys it: for -u, which compares the
        keys of the records written."""
        assert self.lines is not None  # prepared, since records were added
        return self.lines.texts_key(self.texts(row))

    def texts(self, row: list[str]) -> list[bytes]:
        """The texts a row is keyed by: its named columns, a missing one empty."""
        assert self.indexes is not None  # prepared with the first record
        return [encode_text(row[i]) if i < len(row) else b"" for i in self.indexes]


INVERT = bytes(255 - i for i in range(256))


def reversed_bytes(text: bytes) -> bytes:
    """A key that sorts in the opposite order of byte strings: escaping 0x00
    as 0x00 0x01 and ending with 0x00 0x00 makes no key a prefix of another;
    then inverting every byte reverses the order."""
    return (text.replace(b"\0", b"\0\1") + b"\0\0").translate(INVERT)


# Missing fields first, then null, false and true, numbers, strings, arrays
# and objects; arrays element by element and objects by their sorted members.
MISSING, NULL, BOOL, NUMBER_TAG, STRING, ARRAY, OBJECT = range(7)
# Closes a reversed array or object. Lists sort after tuples and ints, so it
# sorts after every reversed element or member, as a shorter array must.
_END: tuple[list[SortKey]] = ([],)

type JsonValue = None | bool | int | float | str | list[JsonValue] | dict[str, JsonValue]
type JsonKey = tuple[SortKey, ...]


def json_key(value: JsonValue, reverse: bool = False,
             collate: Callable[[Sequence[bytes]], bytes] | None = None) -> JsonKey:
    """The key of a JSON value; `collate`, if given, turns a string's UTF-8
    (in a one-item list) into the bytes it orders by."""
    rest: JsonKey
    if value is None:
        tag, rest = NULL, ()
    elif isinstance(value, bool):
        tag, rest = BOOL, (-value if reverse else int(value),)
    elif isinstance(value, (int, float)):
        tag, rest = NUMBER_TAG, (-value if reverse else value,)
    elif isinstance(value, str):
        text = encode_text(value) if collate is None else collate([encode_text(value)])
        tag, rest = STRING, (reversed_bytes(text) if reverse else text,)
    elif isinstance(value, list):
        tag, rest = ARRAY, (tuple(json_key(v, reverse, collate) for v in value)
                            + (_END if reverse else ()),)
    else:
        members = tuple((json_key(k, reverse, collate), json_key(v, reverse, collate))
                        for k, v in sorted(value.items()))
        tag, rest = OBJECT, (members + (_END if reverse else ()),)
    return (-tag if reverse else tag,) + rest


class JsonKeys:
    """Keys of JSON lines: the named fields of each object (the whole value
    without -k); a line that is not an object has every field missing."""

    def __init__(self, names: list[str], reverse: bool,
                 locale: dict[str, str] | None = None) -> None:
        self.names = names
        self.reverse = reverse
        # Strings in the locale's collation: the key of one whole text.
        self.collate = None if locale is None else _Lines([KeyDef()], None, 10,
                                                           locale=locale).texts_key
        self.missing = (-MISSING if reverse else MISSING,)
        self.unseen = set(names)  # named fields no record has had yet
        self.records = 0

    def check_names(self) -> None:
        """Fails on a named field that no record has, as CSV fails on a
        column missing from the header: likely a misspelt name."""
        for name in self.names:
            if self.records and name in self.unseen:
                raise UsageError(f"no field named '{name}' in any JSON record")

    def of(self, line: bytes, where: str) -> JsonKey:
        value: JsonValue = {}  # a blank line has every field missing
        if line.strip():
            self.records += 1
            try:
                value = json.loads(line.rstrip(b"\r\n"))
            except json.JSONDecodeError as e:
                raise InputError(f"{where}: invalid JSON: {e.msg} at column {e.colno}") from None
            except ValueError as e:  # not UTF-8
                raise InputError(f"{where}: invalid JSON: {e}") from None
        if not self.names:
            return json_key(value, self.reverse, self.collate)
        if not isinstance(value, dict):
            return tuple(self.missing for _ in self.names)
        if self.unseen:
            self.unseen.difference_update(value.keys())
        return tuple(json_key(value[name], self.reverse, self.collate) if name in value
                     else self.missing for name in self.names)
