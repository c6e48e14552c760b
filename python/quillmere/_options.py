"""The quillmere command's options: what it accepts, and how each option is
checked and turned into what the job uses.

Each option is declared once, with option(): the arguments of argparse's
add_argument, and, decorated by it, the function that checks the option
once the whole command line is read and works out what it means. The help
lists the options in the order they are declared here.
"""

# Annotations are left unevaluated on 3.13 as on 3.14: some name types
# that are imported only for the type checker.
from __future__ import annotations

import argparse
import os
import re

from _quillmere import _DEFAULT_MAX_BYTES, _DEFAULT_MAX_OPEN
from quillmere._errors import UsageError
from quillmere._keys import KeyDef, parse_keydef, resolve_keys
from quillmere._output import PROG

# Names only the type checker needs; importing typing would slow the start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Sequence
    from typing import Any, NoReturn

    type Check = Callable[[Options], None]


class Options(argparse.Namespace):
    """The parsed command line, and what the checks work out from it."""

    files: list[str]
    output: str | None
    field_separator: str | None
    key: list[str]
    numeric_sort: bool
    general_numeric_sort: bool
    human_numeric_sort: bool
    month_sort: bool
    version_sort: bool
    sort: str | None
    ignore_case: bool
    dictionary_order: bool
    ignore_nonprinting: bool
    reverse: bool
    ignore_leading_blanks: bool
    unique: bool
    stable: bool
    merge: bool
    check: str | None
    zero_terminated: bool
    files0_from: str | None
    buffer_size: str | None
    temporary_directory: str | None
    threads: int  # None from argparse until its check picks the default
    max_open: int
    quiet: bool
    csv: bool
    jsonl: bool
    buffer: int  # -S in bytes
    tab: int | None  # the -t byte
    letters: str  # the global ordering letters given, as -k letters
    default_key: KeyDef  # the whole line, with the global ordering options
    keys: list[KeyDef]  # only for plain text
    end: bytes  # what ends a record: newline, or NUL with -z


class Option:
    """One entry of the command line and its check. The checks run in the
    order declared, except that those marked `first` (the sorter's own
    settings) run before all others."""

    def __init__(self, flags: tuple[str, ...], settings: dict[str, Any], first: bool,
                 exclusive: str | None) -> None:
        self.flags = flags
        self.settings = settings  # for add_argument
        self.first = first
        self.exclusive = exclusive  # the name of a group of which at most one may be given
        self.check: Check | None = None


OPTIONS: list[Option] = []


def option(*flags: str, first: bool = False, exclusive: str | None = None,
           **settings: Any) -> Callable[[Check], Check]:
    """Declares an option; used as a decorator, the function is its check."""
    entry = Option(flags, settings, first, exclusive)
    OPTIONS.append(entry)

    def set_check(check: Check) -> Check:
        entry.check = check
        return check

    return set_check


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


# ---- sizes ----

SIZE_UNITS = {"b": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30, "t": 1 << 40, "p": 1 << 50,
              "e": 1 << 60}
MIN_BUFFER = 64 << 10
# The sorter's max_bytes is a C long; 1E keeps clear of it and of any real memory.
MAX_BUFFER = 1 << 60


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


def size_text(size: int) -> str:
    """A size as -S takes it, in the largest unit that holds it whole."""
    for unit in "EPTGMK":
        if size % SIZE_UNITS[unit.lower()] == 0:
            return f"{size // SIZE_UNITS[unit.lower()]}{unit}"
    return f"{size}b"


# ---- the options, in the order of the help ----

option("files", nargs="*", metavar="FILE", help="files to sort; none or - for standard input")
option("--help", action="help", help="show this help and exit")
option("--version", action=ShowVersion)
option("-o", "--output", metavar="FILE", help="write to FILE (which may be an input) "
       "instead of standard output")


@option("-t", "--field-separator", metavar="SEP", help="separate fields by the byte SEP")
def check_field_separator(opts: Options) -> None:
    opts.tab = None
    if opts.field_separator is None:
        return
    tab = os.fsencode(opts.field_separator)
    if tab == b"\\0":
        tab = b"\0"
    if len(tab) != 1:
        raise UsageError(f"the field separator must be one byte, not '{opts.field_separator}'")
    if opts.jsonl:
        raise UsageError("-t cannot be used with --jsonl")
    opts.tab = tab[0]


# The keys are checked last of all, in parse_args: a key without letters of
# its own takes the global ones, so those must all be known.
option("-k", "--key", action="append", default=[], metavar="KEYDEF",
       help="sort by a key (several are compared in turn)")

# Global ordering options: (letter, dest, long option, help).
ORDERINGS = [
    ("d", "dictionary_order", "--dictionary-order", "consider only blanks, letters and digits"),
    ("f", "ignore_case", "--ignore-case", "fold lower case to upper case"),
    ("g", "general_numeric_sort", "--general-numeric-sort", "compare floating-point numbers, "
     "as strtold reads them (exponents, inf, nan)"),
    ("h", "human_numeric_sort", "--human-numeric-sort", "compare numbers with unit suffixes "
     "(2K, 1G)"),
    ("i", "ignore_nonprinting", "--ignore-nonprinting", "consider only printable characters"),
    ("M", "month_sort", "--month-sort", "compare month names (unknown < JAN < ... < DEC)"),
    ("n", "numeric_sort", "--numeric-sort", "compare numbers: blanks, an optional minus, digits "
     "and an optional fraction; anything else counts as zero"),
    ("V", "version_sort", "--version-sort", "compare version numbers within text"),
]
for letter, dest, long, text in ORDERINGS:
    option(f"-{letter}", long, dest=dest, action="store_true", help=text)
SORT_WORDS = {"general-numeric": "g", "human-numeric": "h", "month": "M", "numeric": "n",
              "version": "V"}
option("--sort", choices=SORT_WORDS, metavar="WORD", help="sort by WORD: general-numeric (-g), "
       "human-numeric (-h), month (-M), numeric (-n) or version (-V)")
option("-r", "--reverse", action="store_true", help="reverse the order of keys, and of whole "
       "lines compared as a last resort")
option("-b", "--ignore-leading-blanks", action="store_true", help="ignore leading blanks "
       "in keys")


def global_key(opts: Options) -> None:
    """The key over the whole line that the global ordering options make
    (-b, -r, --sort and the letters of ORDERINGS)."""
    opts.letters = "".join(letter for letter, dest, _, _ in ORDERINGS if getattr(opts, dest))
    if opts.sort is not None:
        opts.letters += SORT_WORDS[opts.sort]
    blanks = opts.ignore_leading_blanks
    opts.default_key = KeyDef(skip_start_blanks=blanks, skip_end_blanks=blanks,
                              reverse=opts.reverse).with_flags(opts.letters)


option("-u", "--unique", action="store_true", help="output only the first line of each run "
       "of equal keys")
option("-s", "--stable", action="store_true", help="keep lines with equal keys in input "
       "order, rather than comparing whole lines as a last resort")
option("-c", dest="check", action="store_const", const="diagnose-first",
       help="check that the input is sorted: report the first disorder, exit 1")
option("-C", dest="check", action="store_const", const="quiet",
       help="check that the input is sorted, silently: exit 1 if not")


@option("--check", nargs="?", const="diagnose-first", metavar="quiet",
        choices=["diagnose-first", "quiet", "silent"], help="as -c, or -C with quiet or silent")
def check_checking(opts: Options) -> None:
    if opts.check and opts.output is not None:
        raise UsageError("options '-co' are incompatible")
    if opts.check and len(opts.files) > 1:
        raise UsageError(f"extra operand '{opts.files[1]}' not allowed with -c")


option("-m", "--merge", action="store_true", help="merge sorted files (they are sorted "
       "all the same, so unsorted input is no error)")


@option("-z", "--zero-terminated", action="store_true", help="records end in NUL, not newline")
def check_zero_terminated(opts: Options) -> None:
    opts.end = b"\0" if opts.zero_terminated else b"\n"


@option("--files0-from", metavar="F", help="read the input file names from F, each ended by "
        "NUL (- for standard input)")
def check_files0_from(opts: Options) -> None:
    if opts.files0_from is not None and opts.files:
        raise UsageError(f"extra operand '{opts.files[0]}': file operands cannot be combined "
                         "with --files0-from")


@option("-S", "--buffer-size", first=True, metavar="SIZE",
        help=f"memory for lines and keys, as 512M, 4G or 20%% (default "
             f"{size_text(_DEFAULT_MAX_BYTES)}; a bare number counts KiB)")
def check_buffer_size(opts: Options) -> None:
    if opts.buffer_size is None:
        opts.buffer = _DEFAULT_MAX_BYTES
        return
    buffer = parse_size(opts.buffer_size)
    if buffer > MAX_BUFFER:
        raise UsageError(f"-S must be at most {size_text(MAX_BUFFER)}, not '{opts.buffer_size}'")
    opts.buffer = max(buffer, MIN_BUFFER)  # raised silently, as GNU sort does


option("-T", "--temporary-directory", metavar="DIR", help="spill into DIR (default $TMPDIR "
       "or /tmp)")

MAX_THREADS = 256  # far more would fail to start, or only fight over the CPUs


@option("--parallel", "--threads", first=True, dest="threads", type=int, metavar="N",
        help="threads for sorting and compressing spilled runs (default: the CPUs, at most 8)")
def check_threads(opts: Options) -> None:
    if opts.threads is None:
        opts.threads = min(os.process_cpu_count() or 1, 8)
    if not 1 <= opts.threads <= MAX_THREADS:
        raise UsageError(f"--parallel must be from 1 to {MAX_THREADS}, not {opts.threads}")


MAX_OPEN = 4096  # runs merged at once, each an open file


@option("--max-open", "--batch-size", first=True, dest="max_open", type=int,
        default=_DEFAULT_MAX_OPEN, metavar="N",
        help=f"merge at most N spilled runs at once (default {_DEFAULT_MAX_OPEN})")
def check_max_open(opts: Options) -> None:
    if not 2 <= opts.max_open <= MAX_OPEN:
        raise UsageError(f"--max-open must be from 2 to {MAX_OPEN}, not {opts.max_open}")


option("--quiet", "-q", action="store_true", help="show no progress on a terminal")


def check_structured(opts: Options, mode: str) -> None:
    """What neither --csv nor --jsonl takes."""
    for flag, used in (("-z", opts.zero_terminated), ("-c", opts.check)):
        if used:
            raise UsageError(f"{flag} cannot be used with {mode}")


@option("--csv", exclusive="format", action="store_true", help="sort CSV records by named "
        "columns (-k NAME); the header stays first")
def check_csv(opts: Options) -> None:
    if opts.csv:
        check_structured(opts, "--csv")
        opts.default_key.check()


@option("--jsonl", exclusive="format", action="store_true", help="sort JSON lines by named "
        "fields (-k NAME); missing fields sort first")
def check_jsonl(opts: Options) -> None:
    if not opts.jsonl:
        return
    check_structured(opts, "--jsonl")
    if opts.letters:
        raise UsageError(f"-{opts.letters[0]} cannot be used with --jsonl: JSON values sort "
                         "by type and value")
    if opts.ignore_leading_blanks:
        raise UsageError("-b cannot be used with --jsonl")
    opts.default_key.check()


def build_parser() -> Parser:
    parser = Parser(
        prog=PROG,
        add_help=False,  # -h is human-numeric sort, as in GNU sort
        description="Sort lines of text files, or CSV and JSON-lines records, with memory "
                    "bounded by -S; larger inputs spill to temporary files. Plain text "
                    "sorts as 'LC_ALL=C sort -s' does, with the same options.",
        epilog="KEYDEF is F[.C][OPTS][,F[.C][OPTS]] for a start and an optional stop "
               "position, where F is a field number and C a character position in the "
               "field, both counted from 1 (C 0 in the stop position means the end of "
               "the field), and OPTS are ordering letters from b, n and r, which override "
               "the global ordering options for that key. Fields are separated by -t, or "
               "else each starts at the blanks before its non-blank text. With --csv or "
               "--jsonl, -k NAME picks a column or field by name; with --csv, NAME:OPTS "
               "orders that column by its own letters (-k city -k age:nr).",
    )
    groups: dict[str, argparse._MutuallyExclusiveGroup] = {}
    for entry in OPTIONS:
        if entry.exclusive is None:
            parser.add_argument(*entry.flags, **entry.settings)
            continue
        if entry.exclusive not in groups:
            groups[entry.exclusive] = parser.add_mutually_exclusive_group()
        groups[entry.exclusive].add_argument(*entry.flags, **entry.settings)
    return parser


def parse_args(argv: Sequence[str] | None) -> Options:
    opts = build_parser().parse_intermixed_args(argv, Options())
    global_key(opts)
    for first in True, False:
        for entry in OPTIONS:
            if entry.check is not None and entry.first == first:
                entry.check(opts)
    if not (opts.csv or opts.jsonl):
        opts.keys = resolve_keys([parse_keydef(k) for k in opts.key], opts.default_key)
    return opts
