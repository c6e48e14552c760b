"""--debug: the warnings about the command line that GNU sort gives, in its
words and order. The marks under each output line are drawn by
_Lines._marked."""

from __future__ import annotations

from quillmere._locale import Settings, quote

# Names only the type checker needs; importing typing would slow the start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from quillmere._keys import KeyDef
    from quillmere._options import Options

# The ordering letters in the order the warnings name them.
LETTERS = "bdfghiMnRrV"


def flags(key: KeyDef) -> set[str]:
    """What a key was given: its letters, with -b's two halves apart ("<b"
    for the start, "b>" for the end)."""
    # Every ordering letter given counts, though only the last one orders.
    given = set(key.orders) - {"d", "i"} | {key.ignore} - {""}
    for letter, on in (("<b", key.skip_start_blanks), ("b>", key.skip_end_blanks),
                       ("f", key.fold), ("R", key.random), ("r", key.reverse)):
        if on:
            given.add(letter)
    return given


def letters(given: set[str]) -> str:
    """Flags as the letters a warning names."""
    given = {flag.strip("<>") for flag in given}
    return "".join(letter for letter in LETTERS if letter in given)


def reads_number(key: KeyDef) -> bool:
    return key.order in ("n", "g", "h")


def spans(key: KeyDef) -> bool:
    """Whether a key may take in more than one field."""
    return key.end_field is None or key.end_field > key.start_field


def key_warnings(number: int, key: KeyDef, tab: int | None) -> list[str]:
    """What is doubtful about one -k key, with the global options it takes."""
    out = []
    end = None if key.end_field is None else key.end_field + 1  # counted from 1
    if key.obsolete:
        start = key.start_field
        shown = f"+{start}" + (f" -{end}" if end is not None else "")
        instead = f"-k {start + 1}" + (f",{end}" if end is not None else "")
        out.append(f"obsolescent key {quote(shown)} used; consider {quote(instead)} instead")
    if end is not None and end < key.start_field + 1:
        return [*out, f"key {number} has zero width and will be ignored"]
    # A key that ends within the first field has no blanks before it.
    in_first_field = end == 1 and key.end_char > 0
    if tab is None and not in_first_field:
        # Numbers and months skip blanks of their own accord, at the start.
        skips = key.skip_start_blanks or (
            (reads_number(key) or key.order == "M") and key.start_char == 0)
        if not skips or (key.end_char > 0 and not key.skip_end_blanks):
            out.append(f"leading blanks are significant in key {number}; consider also "
                       "specifying 'b'")
    if reads_number(key) and spans(key):
        out.append(f"key {number} is numeric and spans multiple fields")
    return out


def warnings(opts: Options, locale: Settings) -> list[str]:
    """Every warning about the command line, in order."""
    out = [] if locale.loads else ["failed to set locale"]
    out.append(f"text ordering performed using {quote(locale.collation)} sorting rules"
               if locale.collation else "text ordering performed using simple byte comparison")
    given = opts.keydefs
    for number, key in enumerate(opts.keys if given else [], 1):
        out += key_warnings(number, key, opts.tab)
    # A number may run on across fields' separators where a key spans fields.
    spanning = [key for key in opts.keys if reads_number(key) and spans(key)] if given else []
    tab = None if opts.tab is None else chr(opts.tab)
    if spanning and tab == locale.decimal_point:
        out.append(f"field separator {quote(tab)} is treated as a decimal point in numbers")
    elif tab == locale.thousands_separator and any(key.order in ("n", "h") for key in spanning):
        out.append(f"field separator {quote(tab)} is treated as a group separator in numbers")
    elif any(reads_number(key) for key in opts.keys):
        out.append(f"numbers use {quote(locale.decimal_point)} as a decimal point in this "
                   "locale")
    if len(locale.thousands_separator.encode()) > 1 and any(key.order in ("n", "h")
                                                            for key in opts.keys):
        out.append("the multi-byte number group separator in this locale is not supported")
    if given and all(key.has_options() for key in given):
        # Every key has letters of its own, so the global ones order nothing
        # but where a key was given the same, and a global -r still reverses
        # the last resort.
        unused = flags(opts.default_key).difference(*map(flags, given))
        last_resort = not (opts.stable or opts.unique)
        ignored = letters(unused - {"r"} if last_resort else unused)
        if ignored:
            plural = "options" if len(ignored) > 1 else "option"
            verb = "are" if len(ignored) > 1 else "is"
            out.append(f"{plural} '-{ignored}' {verb} ignored")
        if "r" in unused and last_resort:
            out.append("option '-r' only applies to last-resort comparison")
    return out


def marks_keys(opts: Options) -> bool:
    """Whether the output's lines have their keys marked: there is a -k, or
    a global letter other than -r. Else only whole lines are."""
    return bool(opts.keydefs) or bool(flags(opts.default_key) - {"r"})


def marks_whole(opts: Options) -> bool:
    """Whether the output's lines are marked whole, as the last resort
    compares them (or as the only key)."""
    return not marks_keys(opts) or not (opts.stable or opts.unique)
