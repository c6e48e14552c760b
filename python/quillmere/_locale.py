"""The locale the quillmere command sorts in, named by the environment as the
C library names it for setlocale(LC_ALL, ""), which GNU sort calls.

Each category takes LC_ALL if it is set and not empty, else its own
variable, else LANG, else "C". The names go to the extension's _Lines, which
loads them with newlocale() (never the process's own locale, which the
interpreter and other threads share) and, as setlocale() does, falls back
to C for all of them when any one cannot be loaded: a locale that is not
installed, even in a category sorting does not read, leaves everything C.
"""

from __future__ import annotations

import functools
import os
from dataclasses import dataclass, replace

# Names only the type checker needs; importing typing would slow the start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Mapping

# The categories sorting reads: collation, character classes, numbers,
# month names; then those that must load too.
USED = ("LC_COLLATE", "LC_CTYPE", "LC_NUMERIC", "LC_TIME")
CATEGORIES = USED + ("LC_MONETARY", "LC_MESSAGES", "LC_PAPER", "LC_NAME", "LC_ADDRESS",
                     "LC_TELEPHONE", "LC_MEASUREMENT", "LC_IDENTIFICATION")
# Names that are the C locale itself, in every category.
PLAIN = ("C", "POSIX")


def category_names(environ: Mapping[str, str]) -> dict[str, str]:
    """Each category's locale name."""
    default = environ.get("LC_ALL") or None
    lang = environ.get("LANG") or "C"
    return {category: default or environ.get(category) or lang for category in CATEGORIES}


def locale_names(environ: Mapping[str, str]) -> dict[str, str] | None:
    """Each category's locale name, or None when the categories sorting
    reads are all the C locale (which sorting then takes whatever the others
    say)."""
    names = category_names(environ)
    if all(names[category] in PLAIN for category in USED):
        return None
    return names


def environment() -> dict[str, str]:
    """The environment as the command was started with it. The interpreter
    sets LC_CTYPE to C.UTF-8 when it starts in the C locale (PEP 538), where
    GNU sort stays in C; that setting is undone from the environment the
    process was given."""
    env = dict(os.environ)
    if env.get("LC_CTYPE") != "C.UTF-8" or env.get("LC_ALL"):
        return env
    try:
        with open("/proc/self/environ", "rb") as file:
            given = dict(entry.partition(b"=")[::2] for entry in file.read().split(b"\0"))
    except OSError:
        return env
    original = given.get(b"LC_CTYPE")
    if original is None:
        del env["LC_CTYPE"]
    else:
        env["LC_CTYPE"] = os.fsdecode(original)
    return env


# glibc's numbers of the categories Python's locale module does not name.
GLIBC_CATEGORIES = {"LC_PAPER": 7, "LC_NAME": 8, "LC_ADDRESS": 9, "LC_TELEPHONE": 10,
                    "LC_MEASUREMENT": 11, "LC_IDENTIFICATION": 12}


@dataclass(frozen=True)
class Settings:
    """What GNU sort reports of the locale it runs in."""

    loads: bool  # every category loads, so the locale is in force
    utf8: bool  # its LC_CTYPE's character set is UTF-8
    collation: str | None  # LC_COLLATE's name, None for C's byte order
    decimal_point: str  # of -n and -h: the locale's if it is one byte, else "."
    thousands_separator: str  # "" for none


C_SETTINGS = Settings(True, False, None, ".", "")


@functools.cache
def settings() -> Settings:
    """The locale's settings, as setlocale(LC_ALL, "") takes them: all
    categories or, when any fails to load, none."""
    names = category_names(environment())
    if all(name in PLAIN for name in names.values()):
        return C_SETTINGS
    import locale  # only for --debug and messages, and so only when asked

    saved: dict[int, str] = {}
    try:
        for category, name in names.items():
            number = GLIBC_CATEGORIES.get(category) or getattr(locale, category)
            saved[number] = locale.setlocale(number)
            locale.setlocale(number, name)
        conventions = locale.localeconv()
        point = str(conventions["decimal_point"])
        separator = str(conventions["thousands_sep"])
        collation = names["LC_COLLATE"]
        return Settings(True, locale.nl_langinfo(locale.CODESET) == "UTF-8",
                        None if collation in PLAIN else collation,
                        point if len(point.encode()) == 1 else ".", separator)
    except locale.Error:
        return replace(C_SETTINGS, loads=False)
    finally:
        for number, name in saved.items():
            locale.setlocale(number, name)


def quote(text: str) -> str:
    """Text quoted as GNU tools quote it for the locale: ‘so’ where the
    character set is UTF-8, 'so' elsewhere."""
    return f"\u2018{text}\u2019" if settings().utf8 else f"'{text}'"
