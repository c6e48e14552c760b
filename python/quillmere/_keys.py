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
from dataclasses import dataclass

from quillmere._errors import UsageError

ORDERING_FLAGS = "bdfghiMnrV"


@dataclass
class KeyDef:
    """One -k key, positions 0-based as GNU sort keeps them internally.

    end_field None means the key runs to the end of the record; end_char 0
    means to the end of field end_field. order is "" for text or one of the
    letters n, g, h, M and V; ignore is "", d or i."""

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
    orders: str = ""  # every ordering letter given, to report a clash

    def has_options(self) -> bool:
        return bool(self.skip_start_blanks or self.skip_end_blanks or self.orders or self.fold
                    or self.ignore or self.reverse)

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
            elif flag in "di":
                # -d takes in all that -i would leave out, so it wins.
                self.ignore = "d" if "d" in (flag, self.ignore) else "i"
                self.orders += flag
            else:
                self.order = flag
                self.orders += flag
        return self

    def check(self) -> None:
        """At most one of -n, -g, -h and -M, and then neither -V nor -d or -i."""
        numbers = set(self.orders) & set("nghM")
        if len(numbers) + bool("V" in self.orders or self.ignore) > 1:
            letters = "".join(f for f in "dfghiMnV" if f in numbers | {self.ignore}
                              or (f == "f" and self.fold) or (f == "V" and "V" in self.orders))
            raise UsageError(f"options '-{letters}' are incompatible")


KEYDEF = re.compile(r"(\d+)(?:\.(\d+))?([a-zA-Z]*)(?:,(\d+)(?:\.(\d+))?([a-zA-Z]*))?")


def check_flags(flags: str, where: str) -> None:
    for flag in flags:
        if flag not in ORDERING_FLAGS:
            raise UsageError(f"invalid ordering option '{flag}' in {where}")


def parse_keydef(text: str) -> KeyDef:
    """F[.C][OPTS][,F[.C][OPTS]], OPTS ordering letters."""
    m = KEYDEF.fullmatch(text)
    if not m:
        raise UsageError(f"invalid key definition '{text}'")
    sfield, schar, sflags, efield, echar, eflags = m.groups()
    check_flags(sflags + (eflags or ""), f"key '{text}'")
    if int(sfield) == 0 or (efield is not None and int(efield) == 0):
        raise UsageError(f"field number is zero: invalid key definition '{text}'")
    if schar is not None and int(schar) == 0:
        raise UsageError(f"character offset is zero: invalid key definition '{text}'")
    key = KeyDef(start_field=int(sfield) - 1, start_char=int(schar) - 1 if schar else 0,
                 end_field=int(efield) - 1 if efield is not None else None,
                 end_char=int(echar) if echar else 0)
    return key.with_flags(sflags).with_flags(eflags or "", start=False)


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
            key = KeyDef(key.start_field, key.start_char, default.skip_start_blanks,
                         key.end_field, key.end_char, default.skip_start_blanks, default.order,
                         default.fold, default.ignore, default.reverse, default.orders)
        key.check()
        keys.append(key)
    return keys
