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


def locale_names(environ: Mapping[str, str]) -> dict[str, str] | None:
    """Each category's locale name, or None when the categories sorting
    reads are all the C locale (which sorting then takes whatever the others
    say)."""
    default = environ.get("LC_ALL") or None
    lang = environ.get("LANG") or "C"
    names = {category: default or environ.get(category) or lang for category in CATEGORIES}
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


@functools.cache
def utf8_quotes() -> bool:
    """Whether GNU tools would quote in ‘this’ style here: when the locale
    loads, every category of it, and its LC_CTYPE's character set is UTF-8."""
    names = locale_names(environment())
    if names is None:
        return False
    import locale  # only for a message, and so only when one is made

    saved: dict[int, str] = {}
    try:
        for category, name in names.items():
            number = GLIBC_CATEGORIES.get(category) or getattr(locale, category)
            saved[number] = locale.setlocale(number)
            locale.setlocale(number, name)
        return locale.nl_langinfo(locale.CODESET) == "UTF-8"
    except locale.Error:
        return False
    finally:
        for number, name in saved.items():
            locale.setlocale(number, name)


def quote(text: str) -> str:
    """Text quoted as GNU tools quote it for the locale: ‘so’ where the
    character set is UTF-8, 'so' elsewhere."""
    return f"\u2018{text}\u2019" if utf8_quotes() else f"'{text}'"
