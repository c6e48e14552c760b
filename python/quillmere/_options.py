"""The quillmere command's options: what it accepts, and how each option is
read, checked and turned into what the job uses.

The command line is read as GNU sort reads it, so that scripts keep
working: options and operands in any order (unless POSIXLY_CORRECT is set),
short options bundled (-nrk2), long options abbreviated to any unambiguous
prefix, "--" ending the options, the obsolete keys +POS1 [-POS2], and GNU's
messages for what it refuses. Each option is declared once, with option():
its spellings, whether it takes an argument, its help, and the function that
takes it in, called in command-line order. The checks of the whole line
then run in `finish`.
"""

# Annotations are left unevaluated on 3.13 as on 3.14: some name types
# that are imported only for the type checker.
from __future__ import annotations

import os
import re
import resource
import sys
import textwrap

from _quillmere import _DEFAULT_MAX_BYTES, _DEFAULT_MAX_OPEN
from quillmere._errors import UsageError
from quillmere._keys import KeyDef, obsolete_keydef, parse_count, parse_keydef, resolve_keys
from quillmere._locale import quote
from quillmere._output import PROG

# Names only the type checker needs; importing typing would slow the start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Sequence
    from typing import NoReturn

    type Take = Callable[[Options, str | None], None]


class Options:
    """The parsed command line, and what the checks work out from it."""

    def __init__(self) -> None:
        self.files: list[str] = []
        self.output: str | None = None
        self.tab: int | None = None  # the -t byte
        self.key: list[str] = []  # -k as given: KEYDEFs, or names with --csv and --jsonl
        self.keydefs: list[KeyDef] = []  # -k and +POS keys, for plain text
        self.letters = ""  # the global ordering letters given, as -k letters
        self.reverse = False
        self.ignore_leading_blanks = False
        self.unique = False
        self.stable = False
        self.merge = False
        self.check: str | None = None  # "diagnose-first" or "quiet"
        self.check_flag = ""  # how -c or -C was given, for messages
        self.debug = False
        self.zero_terminated = False
        self.files0_from: str | None = None
        self.buffer = _DEFAULT_MAX_BYTES  # -S in bytes
        self.temporary_directories: list[str] = []
        self.threads = min(os.process_cpu_count() or 1, 8)
        self.max_open = _DEFAULT_MAX_OPEN
        self.compress_program: str | None = None
        self.random_source: str | None = None
        self.header = 0
        self.quiet = False
        self.csv = False
        self.jsonl = False
        self.structured = False  # --csv or --jsonl somewhere on the line
        self.default_key = KeyDef()  # the whole line, with the global ordering options
        self.keys: list[KeyDef] = []  # only for plain text
        self.end = b"\n"  # what ends a record: newline, or NUL with -z


NONE, REQUIRED, OPTIONAL = range(3)


class Option:
    """One option: its letter and long name, whether it takes an argument,
    whether GNU sort has it, its help, and what takes it in."""

    def __init__(self, short: str | None, long: str | None, argument: int, metavar: str,
                 text: str, gnu: bool, group: str) -> None:
        self.short = short
        self.long = long
        self.argument = argument
        self.metavar = metavar
        self.text = text
        self.gnu = gnu
        self.group = group
        self.take: Take = lambda opts, value: None


# In GNU sort's order, which decides how an ambiguous abbreviation lists its
# candidates.
OPTIONS: list[Option] = []


def option(short: str | None, long: str | None = None, argument: int = NONE, metavar: str = "",
           text: str = "", gnu: bool = True, group: str = "other") -> Callable[[Take], Take]:
    """Declares an option; used as a decorator, the function takes it in."""
    entry = Option(short, long, argument, metavar, text, gnu, group)
    OPTIONS.append(entry)

    def set_take(take: Take) -> Take:
        entry.take = take
        return take

    return set_take


def refuse(message: str, status: int = 2, hint: bool = False) -> NoReturn:
    raise UsageError(message, status, hint)


# ---- numbers as GNU sort reads them ----

SIZE_MAX = (1 << 64) - 1


SIZE_UNITS = {"b": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30, "t": 1 << 40, "p": 1 << 50,
              "e": 1 << 60, "z": 1 << 70, "y": 1 << 80, "r": 1 << 90, "q": 1 << 100}
MIN_BUFFER = 64 << 10
# The sorter's max_bytes is a C long; 1E keeps clear of it and of any real memory.
MAX_BUFFER = 1 << 60


def parse_size(text: str) -> int:
    """A -S size: a number with an optional suffix b, K, M, G, T, P, E, Z, Y,
    R, Q or %. As in GNU sort, a bare number counts kibibytes and % is a
    share of the physical memory."""
    m = re.fullmatch(r"\s*(\d+)(.*)", text, re.DOTALL)
    if not m:
        refuse(f"invalid -S argument '{text}'")
    number, unit = int(m.group(1)), m.group(2)
    if unit == "%":
        size = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") * number // 100
    elif unit == "" or (len(unit) == 1 and unit.lower() in SIZE_UNITS and unit != "B"):
        size = number * SIZE_UNITS[unit.lower() or "k"]
    else:
        refuse(f"invalid suffix in -S argument '{text}'")
    if size > SIZE_MAX:
        refuse(f"-S argument '{text}' too large")
    return size


def size_text(size: int) -> str:
    """A size as -S takes it, in the largest unit that holds it whole."""
    for unit in "EPTGMK":
        if size % SIZE_UNITS[unit.lower()] == 0:
            return f"{size // SIZE_UNITS[unit.lower()]}{unit}"
    return f"{size}b"


def choose(value: str, choices: dict[str, str], name: str) -> str:
    """An argument that names one of `choices`, or an unambiguous prefix of
    one, as GNU tools match them."""
    if value in choices:
        return choices[value]
    found = {meaning for word, meaning in choices.items() if word.startswith(value)}
    if len(found) == 1:
        return found.pop()
    problem = "invalid" if not found else "ambiguous"
    groups: dict[str, list[str]] = {}
    for word, meaning in choices.items():
        groups.setdefault(meaning, []).append(quote(word))
    valid = "".join(f"\n  - {', '.join(words)}" for words in groups.values())
    refuse(f"{problem} argument {quote(value)} for {quote('--' + name)}\nValid arguments "
           f"are:{valid}", status=1, hint=True)


# ---- the options, in GNU sort's order ----

# Global ordering options: (letter, long option, help).
ORDERINGS = [
    ("d", "dictionary-order", "consider only blanks, letters and digits"),
    ("f", "ignore-case", "fold lower case to upper case"),
    ("g", "general-numeric-sort", "compare floating-point numbers, as strtold reads them "
     "(exponents, inf, nan)"),
    ("h", "human-numeric-sort", "compare numbers with unit suffixes (2K, 1G)"),
    ("i", "ignore-nonprinting", "consider only printable characters"),
    ("M", "month-sort", "compare month names (unknown < JAN < ... < DEC)"),
    ("n", "numeric-sort", "compare numbers: blanks, an optional minus, digits and an optional "
     "fraction; anything else counts as zero"),
    ("R", "random-sort", "order keys by a keyed hash, keeping equal keys together"),
    ("V", "version-sort", "compare version numbers within text"),
]
SORT_WORDS = {"general-numeric": "g", "human-numeric": "h", "month": "M", "numeric": "n",
              "random": "R", "version": "V"}


@option("b", "ignore-leading-blanks", group="ordering", text="ignore leading blanks in keys")
def take_blanks(opts: Options, value: str | None) -> None:
    opts.ignore_leading_blanks = True


def set_check(opts: Options, mode: str, flag: str) -> None:
    if opts.check is not None and opts.check != mode:
        refuse("options '-cC' are incompatible")
    opts.check = mode
    opts.check_flag = flag


@option("c", text="check that the input is sorted: report the first disorder, exit 1")
def take_diagnosing_check(opts: Options, value: str | None) -> None:
    set_check(opts, "diagnose-first", "c")


@option(None, "check", OPTIONAL, "WHAT", text="as -c, or as -C with quiet or silent")
def take_check(opts: Options, value: str | None) -> None:
    mode = "diagnose-first" if value is None else choose(
        value, {"quiet": "quiet", "silent": "quiet", "diagnose-first": "diagnose-first"}, "check")
    set_check(opts, mode, "c" if mode == "diagnose-first" else "C")


@option("C", text="check that the input is sorted, silently: exit 1 if not")
def take_quiet_check(opts: Options, value: str | None) -> None:
    set_check(opts, "quiet", "C")


@option(None, "compress-program", REQUIRED, "PROG", text="accepted and ignored: spilled runs "
        "are always compressed, by the sorter itself")
def take_compress_program(opts: Options, value: str | None) -> None:
    assert value is not None
    if opts.compress_program is not None and opts.compress_program != value:
        refuse("multiple compress programs specified")
    opts.compress_program = value


@option(None, "debug", text="under each output line, mark what each key compares; warn "
        "on stderr about doubtful options")
def take_debug(opts: Options, value: str | None) -> None:
    opts.debug = True


def ordering(letter: str) -> Take:
    def take(opts: Options, value: str | None) -> None:
        opts.letters += letter
    return take


for letter, long, text in ORDERINGS[:2]:
    option(letter, long, group="ordering", text=text)(ordering(letter))


@option(None, "files0-from", REQUIRED, "F", text="read the input file names from F, each "
        "ended by NUL (- for standard input)")
def take_files0_from(opts: Options, value: str | None) -> None:
    opts.files0_from = value


for letter, long, text in ORDERINGS[2:5]:
    option(letter, long, group="ordering", text=text)(ordering(letter))


@option("k", "key", REQUIRED, "KEYDEF", text="sort by a key (several are compared in turn)")
def take_key(opts: Options, value: str | None) -> None:
    assert value is not None
    opts.key.append(value)
    if not opts.structured:  # with --csv or --jsonl, -k names columns or fields
        opts.keydefs.append(parse_keydef(value))


@option("m", "merge", text="merge files already sorted, in passes of at most --batch-size")
def take_merge(opts: Options, value: str | None) -> None:
    opts.merge = True


for letter, long, text in ORDERINGS[5:8]:
    option(letter, long, group="ordering", text=text)(ordering(letter))


@option("o", "output", REQUIRED, "FILE", text="write to FILE (which may be an input) instead "
        "of standard output; it is opened once every input is read")
def take_output(opts: Options, value: str | None) -> None:
    if opts.output is not None and opts.output != value:
        refuse("multiple output files specified")
    opts.output = value


@option(None, "random-source", REQUIRED, "FILE", group="ordering",
        text="take the hash key of -R from FILE")
def take_random_source(opts: Options, value: str | None) -> None:
    if opts.random_source is not None and opts.random_source != value:
        refuse("multiple random sources specified")
    opts.random_source = value


@option("r", "reverse", group="ordering",
        text="reverse the order of keys, and of whole lines compared as a last resort")
def take_reverse(opts: Options, value: str | None) -> None:
    opts.reverse = True


@option(None, "sort", REQUIRED, "WORD", group="ordering",
        text="sort by WORD: general-numeric (-g), human-numeric (-h), month (-M), numeric "
             "(-n), random (-R) or version (-V)")
def take_sort(opts: Options, value: str | None) -> None:
    assert value is not None
    opts.letters += choose(value, SORT_WORDS, "sort")


option(*ORDERINGS[8][:2], group="ordering", text=ORDERINGS[8][2])(ordering("V"))


@option("s", "stable", text="keep lines with equal keys in input order, rather than comparing "
        "whole lines as a last resort")
def take_stable(opts: Options, value: str | None) -> None:
    opts.stable = True


def open_file_limit() -> int:
    """The most inputs one merge may open: the open-file limit, less the
    standard streams and the output."""
    soft = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
    return max(soft - 3, 2) if soft != resource.RLIM_INFINITY else sys.maxsize


MAX_OPEN = 4096  # runs merged at once, each an open file


@option(None, "batch-size", REQUIRED, "NMERGE", text="merge at most NMERGE inputs or "
        f"spilled runs at once (default {_DEFAULT_MAX_OPEN}, and at most what the open-file "
        "limit allows)")
def take_batch_size(opts: Options, value: str | None) -> None:
    assert value is not None
    m = re.fullmatch(r"\s*\+?(\d+)(.*)", value, re.DOTALL)
    if not m:
        refuse(f"invalid --batch-size argument '{value}'")
    if m.group(2):
        refuse(f"invalid suffix in --batch-size argument '{value}'")
    batch, most = int(m.group(1)), open_file_limit()
    if batch < 2:
        refuse(f"invalid --batch-size argument {quote(value)}\n{PROG}: minimum --batch-size "
               f"argument is {quote('2')}")
    if batch > most:
        refuse(f"--batch-size argument {quote(value)} too large\n{PROG}: maximum --batch-size "
               f"argument with current rlimit is {most}")
    opts.max_open = min(batch, MAX_OPEN)


@option("S", "buffer-size", REQUIRED, "SIZE",
        text=f"memory for the whole command, as 512M, 4G or 20% (default "
             f"{size_text(_DEFAULT_MAX_BYTES)}; a bare number counts KiB)")
def take_buffer_size(opts: Options, value: str | None) -> None:
    assert value is not None
    # Raised to a workable least, and lowered to what any machine has, silently.
    opts.buffer = min(max(parse_size(value), MIN_BUFFER), MAX_BUFFER)


@option("t", "field-separator", REQUIRED, "SEP", text="separate fields by the byte SEP "
        "(\\0 for NUL)")
def take_field_separator(opts: Options, value: str | None) -> None:
    assert value is not None
    tab = os.fsencode(value)
    if not tab:
        refuse("empty tab")
    if tab == b"\\0":
        tab = b"\0"
    if len(tab) != 1:
        refuse(f"multi-character tab {quote(value)}")
    if opts.tab is not None and opts.tab != tab[0]:
        refuse("incompatible tabs")
    opts.tab = tab[0]


@option("T", "temporary-directory", REQUIRED, "DIR", text="spill into DIR (default $TMPDIR "
        "or /tmp); given more than once, into the first")
def take_temporary_directory(opts: Options, value: str | None) -> None:
    assert value is not None
    opts.temporary_directories.append(value)


@option("u", "unique", text="output only the first line of each run of equal keys; with -c, "
        "check that no two lines have equal keys")
def take_unique(opts: Options, value: str | None) -> None:
    opts.unique = True


@option("y", argument=REQUIRED, metavar="N", text="")
def take_obsolete_y(opts: Options, value: str | None) -> None:
    pass  # accepted and ignored, as by other sorts


@option("z", "zero-terminated", text="records end in NUL, not newline")
def take_zero_terminated(opts: Options, value: str | None) -> None:
    opts.zero_terminated = True
    opts.end = b"\0"


MAX_THREADS = 256  # far more would fail to start, or only fight over the CPUs


def take_threads(opts: Options, value: str | None, name: str) -> None:
    assert value is not None
    count, rest = parse_count(value)
    if count is None or rest:
        refuse(f"invalid --{name} argument '{value}'")
    if count == 0:
        refuse("number in parallel must be nonzero")
    opts.threads = min(count, MAX_THREADS)


@option(None, "parallel", REQUIRED, "N", text="threads for sorting and compressing spilled "
        "runs (default: the CPUs, at most 8)")
def take_parallel(opts: Options, value: str | None) -> None:
    take_threads(opts, value, "parallel")


@option(None, "help", text="show this help and exit")
def take_help(opts: Options, value: str | None) -> None:
    sys.stdout.write(help_text())
    sys.stdout.flush()
    raise SystemExit(0)


@option(None, "version", text="show the version and exit")
def take_version(opts: Options, value: str | None) -> None:
    # Read from the package's metadata only when asked, which keeps every
    # other start quick.
    import quillmere

    known = getattr(quillmere, "__version__", "(version unknown: not installed)")
    print(PROG, known)  # on standard output, as GNU tools do
    raise SystemExit(0)


# Options of our own: abbreviations match them only when they match no
# option of GNU sort, so that every abbreviation a script uses keeps its meaning.

@option(None, "threads", REQUIRED, "N", gnu=False, text="the same as --parallel")
def take_threads_option(opts: Options, value: str | None) -> None:
    take_threads(opts, value, "threads")


@option(None, "max-open", REQUIRED, "N", gnu=False,
        text=f"merge at most N spilled runs at once, from 2 to {MAX_OPEN}")
def take_max_open(opts: Options, value: str | None) -> None:
    assert value is not None
    count, rest = parse_count(value)
    if count is None or rest or not 2 <= count <= MAX_OPEN:
        refuse(f"--max-open must be from 2 to {MAX_OPEN}, not {value}")
    opts.max_open = count


@option(None, "header", REQUIRED, "N", gnu=False, text="keep the first N lines of the first "
        "input first, unsorted, and skip the first N lines of every other input")
def take_header(opts: Options, value: str | None) -> None:
    assert value is not None
    count, rest = parse_count(value)
    if count is None or rest:
        refuse(f"invalid --header argument '{value}'")
    opts.header = count


@option("q", "quiet", gnu=False, text="show no progress on a terminal")
def take_quiet(opts: Options, value: str | None) -> None:
    opts.quiet = True


@option(None, "csv", gnu=False, text="sort CSV records by named columns (-k NAME); the header "
        "stays first")
def take_csv(opts: Options, value: str | None) -> None:
    if opts.jsonl:
        refuse("--csv cannot be used with --jsonl")
    opts.csv = True


@option(None, "jsonl", gnu=False, text="sort JSON lines by named fields (-k NAME); missing "
        "fields sort first")
def take_jsonl(opts: Options, value: str | None) -> None:
    if opts.csv:
        refuse("--jsonl cannot be used with --csv")
    opts.jsonl = True


# ---- reading the command line ----

SHORT = {entry.short: entry for entry in OPTIONS if entry.short}
LONG = {entry.long: entry for entry in OPTIONS if entry.long}


def find_long(name: str) -> Option:
    """The option that `name` spells or abbreviates."""
    if name in LONG:
        return LONG[name]
    for ours in False, True:
        found = [entry for entry in OPTIONS
                 if entry.long and entry.long.startswith(name) and (ours or entry.gnu)]
        if len(found) == 1:
            return found[0]
        if found:
            listed = " ".join(f"'--{entry.long}'" for entry in found)
            refuse(f"option '--{name}' is ambiguous; possibilities: {listed}", hint=True)
    refuse(f"unrecognized option '--{name}'", hint=True)


# A step of the command line: an option and its argument, an operand, or
# an obsolete +POS1 [-POS2] key.
type Step = tuple[Option, str | None] | str | KeyDef


def steps(args: list[str]) -> list[Step | UsageError]:
    """The command line as steps, in order; reading stops at its first
    error, which ends the list, so that options before it take effect (and
    report their own errors) first, as in GNU sort."""
    out: list[Step | UsageError] = []
    posix = "POSIXLY_CORRECT" in os.environ
    i = 0
    try:
        while i < len(args):
            arg = args[i]
            i += 1
            if arg == "--":
                out += args[i:]
                break
            if arg.startswith("--"):
                name, eq, value = arg[2:].partition("=")
                entry = find_long(name)
                if entry.argument == NONE and eq:
                    refuse(f"option '--{entry.long}' doesn't allow an argument", hint=True)
                if entry.argument == REQUIRED and not eq:
                    if i == len(args):
                        refuse(f"option '--{entry.long}' requires an argument", hint=True)
                    value, i = args[i], i + 1
                out.append((entry, value if eq or entry.argument == REQUIRED else None))
            elif arg.startswith("-") and arg != "-":
                at = 1
                while at < len(arg):
                    letter = arg[at]
                    at += 1
                    if letter not in SHORT:
                        refuse(f"invalid option -- '{letter}'", hint=True)
                    entry = SHORT[letter]
                    if entry.argument == NONE:
                        out.append((entry, None))
                        continue
                    if at < len(arg):
                        value = arg[at:]
                    elif letter == "y" and i < len(args) and not args[i].isdigit():
                        value = ""  # -y takes a following argument only when it is a number
                    elif entry.argument == OPTIONAL:
                        value = None
                    elif i == len(args):
                        refuse(f"option requires an argument -- '{letter}'", hint=True)
                    else:
                        value, i = args[i], i + 1
                    out.append((entry, value))
                    break
            else:
                key = obsolete_keydef(arg, args[i] if i < len(args) else None)
                if key is None:
                    out.append(arg)
                    if posix:
                        out += args[i:]
                        break
                    continue
                keydef, took_end = key
                i += took_end
                out.append(keydef)
    except UsageError as error:
        out.append(error)
    return out


def parse_args(argv: Sequence[str] | None) -> Options:
    args = list(sys.argv[1:] if argv is None else argv)
    read = steps(args)
    opts = Options()
    opts.structured = any(isinstance(step, tuple) and step[0].long in ("csv", "jsonl")
                          for step in read)
    for step in read:
        if isinstance(step, UsageError):
            raise step
        if isinstance(step, tuple):
            entry, value = step
            entry.take(opts, value)
        elif isinstance(step, KeyDef):
            if opts.structured:
                refuse("+POS keys cannot be used with --csv or --jsonl")
            opts.keydefs.append(step)
        else:
            opts.files.append(step)
    finish(opts)
    return opts


def finish(opts: Options) -> None:
    """The checks of the whole command line, in GNU sort's order, and what
    they work out."""
    if opts.files0_from is not None and opts.files:
        refuse(f"extra operand '{opts.files[0]}'\nfile operands cannot be combined with "
               "--files0-from", hint=True)
    blanks = opts.ignore_leading_blanks
    opts.default_key = KeyDef(skip_start_blanks=blanks, skip_end_blanks=blanks,
                              reverse=opts.reverse).with_flags(opts.letters)
    if opts.structured:
        check_structured(opts)
    else:
        opts.keys = resolve_keys(opts.keydefs, opts.default_key)
    if opts.check:
        if len(opts.files) > 1:
            refuse(f"extra operand '{opts.files[1]}' not allowed with -{opts.check_flag}")
        if opts.debug:
            refuse(f"options '-{opts.check_flag} --debug' are incompatible")
        if opts.output is not None:
            refuse(f"options '-{opts.check_flag}o' are incompatible")
    if opts.debug and opts.output is not None:
        refuse("options '-o --debug' are incompatible")  # the marks go with the lines


def check_structured(opts: Options) -> None:
    """What neither --csv nor --jsonl takes."""
    mode = "--csv" if opts.csv else "--jsonl"
    for flag, used in (("-z", opts.zero_terminated), ("-c", opts.check), ("-m", opts.merge),
                       ("--debug", opts.debug), ("--header", opts.header)):
        if used:
            refuse(f"{flag} cannot be used with {mode}")
    if opts.jsonl:
        if opts.tab is not None:
            refuse("-t cannot be used with --jsonl")
        if opts.letters:
            refuse(f"-{opts.letters[0]} cannot be used with --jsonl: JSON values sort by "
                   "type and value")
        if opts.ignore_leading_blanks:
            refuse("-b cannot be used with --jsonl")
    opts.default_key.check()


# ---- help ----

DESCRIPTION = """\
Sort lines of text files, or CSV and JSON-lines records, with memory bounded
by -S; larger inputs spill to temporary files. Plain text sorts as GNU sort
does, with the same options, in the same locale: lines whose keys are equal
compare whole as a last resort, unless -s or -u."""

EPILOG = """\
KEYDEF is F[.C][OPTS][,F[.C][OPTS]] for a start and an optional stop
position, where F is a field number and C a character position in the field,
both counted from 1 (C 0 in the stop position means the end of the field),
and OPTS are ordering letters from b, d, f, g, h, i, M, n, R, r and V, which
override the global ordering options for that key. Fields are separated by
-t, or else each starts at the blanks before its non-blank text. The obsolete
+POS1 [-POS2] counts fields and characters from 0. With --csv or --jsonl,
-k NAME picks a column or field by name; with --csv, NAME:OPTS orders that
column by its own letters (-k city -k age:nr).

Without -s or -u, lines with equal keys compare as whole lines, by the
locale's collation (LC_ALL, LC_COLLATE, LANG), reversed by -r. -m merges
inputs that are each sorted already, in constant memory; -c and -C check
that order. Exit status: 0 on success, 1 when -c or -C finds disorder, 2 for
an error."""


def help_text() -> str:
    lines = [f"Usage: {PROG} [OPTION]... [FILE]...", f"  or:  {PROG} [OPTION]... "
             "--files0-from=F", "", DESCRIPTION, ""]
    for group, title in ("ordering", "Ordering options:"), ("other", "Other options:"):
        lines += [title, ""]
        for entry in OPTIONS:
            if entry.group != group or not entry.text:
                continue
            names = [f"-{entry.short}"] if entry.short else []
            if entry.long:
                metavar = {NONE: "", REQUIRED: f"={entry.metavar}",
                           OPTIONAL: f"[={entry.metavar}]"}[entry.argument]
                names.append(f"--{entry.long}{metavar}")
            elif entry.argument == REQUIRED:
                names[-1] += f" {entry.metavar}"
            lines.append(("  " if entry.short else "      ") + ", ".join(names))
            lines += textwrap.wrap(entry.text, 79, initial_indent=" " * 8,
                                   subsequent_indent=" " * 8)
        lines.append("")
    lines.append(EPILOG)
    return "\n".join(lines) + "\n"
