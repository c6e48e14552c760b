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
