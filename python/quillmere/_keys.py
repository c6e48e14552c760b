"""Key definitions of the quillmere command: -k keys and the ordering
letters of a key or of the whole command.

A KeyDef holds one key as the extension's _Lines reads it, by field name:
where it starts and ends in a record, and how it orders its text. _Lines
then finds and compares every record's key in C++.
"""

# Annotations are left unevaluated on 3.13 as on 3.14: some name types
# that are imported only for the type checker.
from __future__ import annotations

import re
import sys
from dataclasses import dataclass, replace

from quillmere._errors import UsageError
from quillmere._locale import quote

ORDERING_FLAGS = "bdfghiMnRrV"


@dataclass
class KeyDef:
    """One -k key, positions 0-based as GNU sort keeps them internally.

    end_field None means the key runs to the end of the record; end_char 0
    means to the end of field end_field. order is "" for text or one of the
    letters n, g, h, M and V; ignore is "", d or i; random (R) orders by a
    keyed hash of the key, whatever the order."""

    start_field: int = 0
    start_char: int = 0
    skip_start_blanks: bool = False
    end_field: int | None = None
    end_char: int = 0
    skip_end_blanks: bool = False
    order: str = ""
    fold: bool = False
    ignore: str = ""
    reverse: bool = False
    random: bool = False
    orders: str = ""  # every ordering letter given, to report a clash
    obsolete: bool = False  # given as +POS1 [-POS2]

    def has_options(self) -> bool:
        return bool(self.skip_start_blanks or self.skip_end_blanks or self.orders or self.fold
                    or self.ignore or self.reverse or self.random)

    def with_flags(self, flags: str, start: bool = True) -> KeyDef:
        """This key with ordering letters added; b applies to the start or end."""
        for flag in flags:
            if flag == "b":
                if start:
                    self.skip_start_blanks = True
                else:
                    self.skip_end_blanks = True
            elif flag == "f":
                self.fold = True
            elif flag == "r":
                self.reverse = True
            elif flag == "R":
                self.random = True
                self.orders += flag
            elif flag in "di":
                # -d takes in all that -i would leave out, so it wins.
                self.ignore = "d" if "d" in (flag, self.ignore) else "i"
                self.orders += flag
            else:
                self.order = flag
                self.orders += flag
        return self

    def check(self) -> None:
        """At most one of -n, -g, -h and -M, and then none of -R, -V, -d and -i."""
        numbers = set(self.orders) & set("nghM")
        if len(numbers) > 1 or (numbers and (self.random or self.ignore
                                             or "V" in self.orders)):
            # -d wins over -i, so only the one that counts is named.
            given = set(self.orders) - {"d", "i"} | {self.ignore} | ({"f"} if self.fold else set())
            letters = "".join(f for f in "dfghiMnRV" if f in given)
            raise UsageError(f"options '-{letters}' are incompatible")


SIZE_MAX = sys.maxsize  # far beyond any line; what the extension takes as a size
COUNT = re.compile(r"\s*\+?(\d+)")
FLAGS = re.compile(f"[{ORDERING_FLAGS}]*")


def parse_count(text: str) -> tuple[int | None, str]:
    """A count at the start of `text` and what follows it; None when there
    is none. A count too large for a size is the largest, as GNU sort has it."""
    m = COUNT.match(text)
    if not m:
        return None, text
    return min(int(m.group(1)), SIZE_MAX), text[m.end():]


def parse_keydef(text: str) -> KeyDef:
    """F[.C][OPTS][,F[.C][OPTS]], OPTS ordering letters, refused with GNU
    sort's messages."""
    def count(rest: str, where: str) -> tuple[int, str]:
        n, after = parse_count(rest)
        if n is None:
            raise UsageError(f"invalid number {where}: invalid count at start of {quote(rest)}")
        return n, after

    def bad(reason: str) -> UsageError:
        return UsageError(f"{reason}: invalid key definition {quote(text)}")

    field, rest = count(text, "at field start")
    if field == 0:
        raise bad("field number is zero")
    char = 1
    if rest.startswith("."):
        char, rest = count(rest[1:], "after '.'")
        if char == 0:
            raise bad("character offset is zero")
    flags = FLAGS.match(rest).group()  # type: ignore[union-attr]
    rest = rest[len(flags):]
    key = KeyDef(start_field=field - 1, start_char=char - 1).with_flags(flags)
    if not rest:
        return key
    if not rest.startswith(","):
        raise bad("stray character")
    end_field, rest = count(rest[1:], "after ','")
    if end_field == 0:
        raise bad("field number is zero")
    end_char = 0
    if rest.startswith("."):
        end_char, rest = count(rest[1:], "after '.'")
    flags = FLAGS.match(rest).group()  # type: ignore[union-attr]
    if rest[len(flags):]:
        raise bad("stray character")
    key.end_field, key.end_char = end_field - 1, end_char
    return key.with_flags(flags, start=False)


OBSOLETE_START = re.compile(f"\\+(\\s*\\+?\\d+)(?:\\.(\\s*\\+?\\d+))?([{ORDERING_FLAGS}]*)")


def obsolete_keydef(text: str, following: str | None) -> tuple[KeyDef, int] | None:
    """The obsolete key +POS1 [-POS2], fields and characters counted from 0,
    and how many arguments after `text` it took (0 or 1); None when `text`
    is no +POS1, and so an operand. A following argument that starts with a
    minus and a digit is its -POS2, which must then be valid."""
    m = OBSOLETE_START.fullmatch(text)
    if not m:
        return None
    field, char = (min(int(g), SIZE_MAX) if g else 0 for g in m.group(1, 2))
    key = KeyDef(start_field=field, start_char=char, obsolete=True).with_flags(m.group(3))
    if following is None or not re.match(r"-\d", following):
        return key, 0

    def bad(reason: str) -> UsageError:
        return UsageError(f"{reason}: invalid key definition {quote(following)}")

    end_field, rest = parse_count(following[1:])
    assert end_field is not None
    end_char = 0
    if rest.startswith("."):
        after, rest = parse_count(rest[1:])
        if after is None:
            raise UsageError(f"invalid number after '.': invalid count at start of {quote(rest)}")
        end_char = after
    flags = FLAGS.match(rest).group()  # type: ignore[union-attr]
    if rest[len(flags):]:
        raise bad("stray character")
    # -F ends at the end of field F (counted from 1, but -0 as -1 does);
    # -F.C, C characters into the field after it.
    if end_char == 0:
        key.end_field = max(end_field - 1, 0)
    else:
        key.end_field, key.end_char = end_field, end_char
    return key.with_flags(flags, start=False), 1


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
            key = replace(default, start_field=key.start_field, start_char=key.start_char,
                          end_field=key.end_field, end_char=key.end_char,
                          obsolete=key.obsolete)
        key.check()
        keys.append(key)
    return keys
