"""The quillmere command against GNU sort in the same locale: text in the
locale's collation (invalid UTF-8 and NUL bytes too), -f, -d and -i by its
character classes, -n, -h and -g by its decimal point and thousands
separator, -M by its month names; the locale named by LC_ALL, LC_* and LANG
as the C library names it, C when one is not installed. Messages are
compared with LC_MESSAGES=C."""

import ctypes
import os
import random
import shlex
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

from _quillmere import _Lines
from quillmere import cli
from quillmere._keys import KeyDef

LIBC = ctypes.CDLL("libc.so.6")
LIBC.newlocale.restype = ctypes.c_void_p
LIBC.newlocale.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p]
LIBC.freelocale.argtypes = [ctypes.c_void_p]


def installed(name):
    locale = LIBC.newlocale(0x1FBF, name.encode(), None)  # LC_ALL_MASK
    if locale:
        LIBC.freelocale(locale)
    return bool(locale)


# The environment without any locale variable, which each run then sets.
BASE = {k: v for k, v in os.environ.items()
        if not k.startswith("LC_") and k not in ("LANG", "LANGUAGE")}
LATIN1 = "de_DE"  # ISO-8859-1
LOCALES = ["en_US.UTF-8", "de_DE.UTF-8", "sv_SE.UTF-8", "fr_FR.UTF-8", "fr_CA.UTF-8", LATIN1,
           "C.UTF-8", "xx_YY.UTF-8"]


def charset(locale):
    return "latin-1" if locale == LATIN1 else "utf-8"


def gnu(env, *args, stdin=None):
    """GNU sort's (status, stdout, stderr) in the environment `env` adds to BASE."""
    proc = subprocess.run(["sort", *map(str, args)], input=stdin, capture_output=True,
                          env=dict(BASE, **env), timeout=60)
    return proc.returncode, proc.stdout, proc.stderr


def ours(env, *args, stdin=None):
    """The command's (status, stdout, stderr) in its own process."""
    proc = subprocess.run([sys.executable, "-m", "quillmere", *map(str, args)], input=stdin,
                          capture_output=True, env=dict(BASE, PYTHONPATH=os.pathsep.join(sys.path),
                                                        **env), timeout=60)
    return proc.returncode, proc.stdout, proc.stderr


def run(folder, env, *args):
    """Runs the command in-process in the environment `env` with -o, and
    returns what it wrote."""
    saved = dict(os.environ)
    os.environ.clear()
    os.environ.update(BASE, **env)
    try:
        out = folder / "out"
        assert cli.main([*map(str, args), "-o", str(out)]) == 0
        return out.read_bytes()
    finally:
        os.environ.clear()
        os.environ.update(saved)


# Words that the locales order in their own ways: case and accents (equal
# at the first levels, then apart), ß against ss, punctuation and blanks
# that collation passes over at first, digits next to blanks and letters
# (which strcoll walks in a way of its own: "12a", "1 2a"), thousands
# separators and decimal points of either kind, unit suffixes, month names
# of several languages, invalid UTF-8, controls and a NUL byte.
WORDS = ["apple", "Apple", "APPLE", "äpfel", "Äpfel", "zebra", "éclair", "eclair", "Eclair",
         "straße", "strasse", "Strasse", "résumé", "resume", "co-op", "coop", "co op", "naïve",
         "12a", "1 2a", "v1.2a", "v12a", "$5", "5$", "1,000", "1.000", "1,5", "-2,5", "-1.5",
         "10", "9", "0.5", ",5", "1,,0", "1K", "2,5M", "1,5K", "1.5G", "janv.", "févr.", "mars",
         "März", "Mär", "Mai", "May", "Okt", "Oct", "déc.", "DEC", "jul", "x\0y", "\x01", "\xff",
         "\xc3", "", "-", "~", "Ω", "œuvre", "oeuvre", "5 €", "€5", "1\xa0000", "’s",
         "5’a"]
LATIN1_WORDS = [w for w in WORDS if all(ord(c) < 256 for c in w)] + ["caf\xe9", "\xa4"]


def words(locale):
    """The words in the locale's character set; "\xff" and "\xc3" stay
    single bytes, not valid UTF-8."""
    if locale == LATIN1:
        return [w.encode("latin-1") for w in LATIN1_WORDS]
    return [w.encode("latin-1" if w in ("\xff", "\xc3") else "utf-8") for w in WORDS]


def make_lines(rng, words, count):
    lines = []
    for _ in range(count):
        fields = [rng.choice([b"", b" ", b"\t"]) + rng.choice(words)
                  for _ in range(rng.randint(1, 4))]
        lines.append(rng.choice([b" ", b",", b", "]).join(fields) + b"\n")
    return b"".join(lines)


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """For each locale, about 2000 lines of its words (several times -S 64K)."""
    folder = tmp_path_factory.mktemp("locale")
    for locale in LOCALES:
        rng = random.Random(locale)
        (folder / locale).write_bytes(make_lines(rng, words(locale), 2000))
    return folder


OPTIONS = ["", "-r", "-u", "-ru", "-s", "-f", "-fu", "-d", "-i", "-dfr", "-b", "-k2", "-k2,2",
           "-k2,2r -k1,1", "-t, -k2,2", "-t, -k2,2 -u", "-s -k1,1", "-k1.2,1.4", "-n", "-nr", "-nu",
           "-t, -k2n", "-h", "-hr", "-g", "-M", "-Mr", "-Mu", "-k2,2M -k1,1", "-V", "-z", "-zf"]


@pytest.mark.parametrize("locale", LOCALES)
@pytest.mark.parametrize("options", OPTIONS)
def test_matches_gnu_sort_in_locales(inputs, spill_dir, locale, options):
    if not installed(locale) and locale != "xx_YY.UTF-8":
        pytest.skip(f"{locale} is not installed")
    options = shlex.split(options)
    data = (inputs / locale).read_bytes()
    if "-z" in options or "-zf" in options:
        data = data.replace(b"\n", b"\0")
    (spill_dir.parent / "in").write_bytes(data)
    env = {"LC_ALL": locale}
    out = run(spill_dir.parent, env, *options, "-S", "64K", "-T", spill_dir, "--parallel", 2,
              spill_dir.parent / "in")
    assert out == gnu(env, *options, stdin=data)[1]


# Lines whose order shows each category: collation, -f in Latin-1, -n and
# -h separators, -M names, -g numbers.
PROBE = "\n".join(["b", "A", "a", "B", "é", "f", "ä", "z", "1,000", "999", "1.5", "1,5", "2K",
                   "1,5K", "Mär", "MÄR", "März", "Mai", "Mar", "May", "janv.", "Okt", "Oct",
                   "i", "I", "ı", "İ", "12a", "1 2a"]) + "\n"


@pytest.mark.parametrize("env", [
    {"LANG": "en_US.UTF-8"},
    {"LANG": "xx_YY.UTF-8", "LC_COLLATE": "en_US.UTF-8"},  # one missing: all of it is C
    {"LANG": "en_US.UTF-8", "LC_PAPER": "xx_YY"},  # even in a category sort never reads
    {"LANG": "en_US.UTF-8", "LC_MESSAGES": "../en_US.UTF-8"},
    {"LC_ALL": "de_DE.UTF-8", "LANG": "xx_YY"},  # LC_ALL wins
    {"LC_ALL": "", "LANG": "de_DE.UTF-8", "LC_NUMERIC": "en_US.UTF-8"},  # empty is unset
    {"LC_COLLATE": "C", "LANG": "sv_SE.UTF-8"},
    {"LC_TIME": "de_DE.UTF-8", "LC_CTYPE": "C"},
    {"LC_TIME": "de_DE.UTF-8", "LC_NUMERIC": "de_DE.UTF-8"},
    {"LC_CTYPE": "tr_TR.UTF-8", "LC_COLLATE": "tr_TR.UTF-8"},
    {"LC_ALL": "POSIX"}, {"LANG": "C.UTF-8"}, {"LC_ALL": "fr_FR.UTF-8"},
], ids=lambda env: ",".join(f"{k}={v}" for k, v in env.items()))
def test_environment_names_the_locale(tmp_path, env):
    """Each category follows LC_ALL, else its own variable, else LANG;
    a name that is not installed leaves every category C, as GNU sort has it."""
    data = PROBE.encode()
    for options in [], ["-f"], ["-n"], ["-h"], ["-M"], ["-g"], ["-fu"]:
        (tmp_path / "in").write_bytes(data)
        assert run(tmp_path, env, *options, tmp_path / "in") == gnu(env, *options, stdin=data)[1], \
            options


@pytest.mark.parametrize("locale", ["en_US.UTF-8", "de_DE.UTF-8", LATIN1, "C.UTF-8"])
@pytest.mark.parametrize("options", [[], ["-u"], ["-f"], ["-n"], ["-k2,2", "-t,"], ["-M", "-r"]])
def test_check_in_locales(tmp_path, locale, options):
    """-c and -C find the first disorder by the locale's order (with -u,
    the first pair equal in it: "\\x01" and "\\xff" are equal in en_US) and
    say it as GNU sort does."""
    env = {"LANG": locale, "LC_MESSAGES": "C"}
    data = make_lines(random.Random(5), words(locale), 300) + b"\x01\n\xff\n"
    ordered = gnu(env, *options, stdin=data)[1]
    for text in data, ordered, ordered.replace(b"\n", b"\n\xff\n", 1):
        path = tmp_path / "in"
        path.write_bytes(text)
        for check in "-c", "-C":
            status, _, err = ours(env, check, *options, path)
            want_status, _, want_err = gnu(env, check, *options, path)
            assert (status, err) == (want_status, want_err.replace(b"sort:", b"quillmere:", 1))


def test_csv_and_jsonl_collate(tmp_path):
    """CSV columns and JSON strings compare in the locale's collation, ties
    in input order: as GNU sort -s orders the same texts."""
    env = {"LC_ALL": "en_US.UTF-8"}
    names = [w for w in WORDS if w and "\0" not in w and "," not in w and w.isprintable()]
    rng = random.Random(3)
    rows = [(rng.choice(names), rng.randrange(5)) for _ in range(300)]
    body = "".join(f"{name},{n}\n" for name, n in rows).encode()
    (tmp_path / "in.csv").write_bytes(b"name,n\n" + body)
    for options, gnu_options in [(["-k", "name"], ["-k1,1"]), (["-k", "name", "-r"], ["-k1,1r"]),
                                 (["-k", "name:f", "-k", "n"], ["-k1,1f", "-k2,2"])]:
        assert run(tmp_path, env, "--csv", *options, tmp_path / "in.csv") == (
            b"name,n\n" + gnu(env, "-s", "-t,", *gnu_options, stdin=body)[1]), options
    # Each JSON line is keyed by its name; its number finds the line again.
    lines = [f'{{"name": "{name}", "i": {i}}}\n' for i, (name, _) in enumerate(rows)]
    (tmp_path / "in.jsonl").write_text("".join(lines))
    texts = "".join(f"{name}\t{i}\n" for i, (name, _) in enumerate(rows)).encode()
    for reverse in [], ["-r"]:
        order = gnu(env, "-s", "-t\t", "-k1,1", *reverse, stdin=texts)[1].decode().splitlines()
        assert run(tmp_path, env, "--jsonl", "-k", "name", *reverse, tmp_path / "in.jsonl") == (
            "".join(lines[int(line.split("\t")[1])] for line in order).encode())


def test_lines_takes_a_locale_by_category():
    """_Lines reads the locale as a mapping of category names to locale
    names and refuses what cannot be meant; one that is not installed is C."""
    for locale, error in [({"LC_COLLATE": 1}, TypeError), ({"LC_NOTHING": "C"}, ValueError),
                          ({"LC_COLLATE": ""}, ValueError), (["LC_COLLATE"], TypeError)]:
        with pytest.raises(error):
            _Lines([KeyDef()], None, 10, locale=locale)
    texts = [b"b", b"a", b"B", b"A"]
    for locale, order in [({"LC_COLLATE": "en_US.UTF-8"}, [b"a", b"A", b"b", b"B"]),
                          ({"LC_COLLATE": "en_US.UTF-8", "LC_NAME": "xx"}, sorted(texts))]:
        if not installed("en_US.UTF-8"):
            pytest.skip("en_US.UTF-8 is not installed")
        lines = _Lines([KeyDef()], None, 10, locale=locale)
        assert sorted(texts, key=lambda t: lines.texts_key([t])) == order


# Random lines from words that the locales order differently, and random
# orderings, keys and separators, in a random locale.
LINE_WORDS = [b"a", b"A", b"b", b"\xc3\xa9", b"\xc3\x89", b"e", b"\xc3\x9f", b"ss", b" ", b"  ",
              b"\t", b"-", b",", b".", b"1", b"2", b"0", b"9", b"$", b"1,0", b"2.5", b"K", b"M",
              b"Mai", b"M\xc3\xa4r", b"janv.", b"Oct", b"\xff", b"\x01", b"\x00", b"~",
              b"\xe2\x82\xac", b"\xc2\xa0"]
line_bytes = st.lists(st.sampled_from(LINE_WORDS), max_size=8).map(b"".join)
keydefs = st.from_regex(r"[1-3](\.[1-3])?(|b|n|r|f|d|i|M|h|g|fr|dr)(,[1-3](\.[0-3])?b?)?",
                        fullmatch=True)


@settings(max_examples=80, deadline=None)
@given(lines=st.lists(line_bytes, max_size=30), keys=st.lists(keydefs, max_size=2),
       flags=st.sets(st.sampled_from(["-f", "-d", "-i", "-b", "-n", "-h", "-g", "-M", "-r", "-u",
                                      "-s", "-z"]), max_size=3),
       tab=st.sampled_from([None, ",", " "]),
       locale=st.sampled_from(["en_US.UTF-8", "de_DE.UTF-8", "sv_SE.UTF-8", "fr_FR.UTF-8",
                               "fr_CA.UTF-8", "C.UTF-8"]))
def test_random_lines_options_and_locales(tmp_path_factory, lines, keys, flags, tab, locale):
    end = b"\0" if "-z" in flags else b"\n"
    data = end.join(lines) + (end if lines else b"")
    options = sorted(flags) + [f"-k{k}" for k in keys] + (["-t", tab] if tab else [])
    env = {"LC_ALL": locale}
    status, expected, _ = gnu(env, *options, stdin=data)
    folder = tmp_path_factory.mktemp("random")
    (folder / "in").write_bytes(data)
    if status != 0:
        return  # clashing orderings: the command's refusal is tested elsewhere
    assert run(folder, env, *options, "-S", "64K", "-T", folder, folder / "in") == expected
