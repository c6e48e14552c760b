"""--debug against GNU sort: the same warnings about the command line, in the
same order, and under each output line the same marks of what each key
compares, counted in the columns of the locale's character set. Messages
are compared with LC_MESSAGES=C."""

import os
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

# The environment without any locale variable, which each run then sets.
BASE = {k: v for k, v in os.environ.items()
        if not k.startswith("LC_") and k not in ("LANG", "LANGUAGE")}

# Numbers in every shape the marks must stop at the right byte of (signs,
# points, separators doubled or at either end, units, what strtold reads),
# months, blanks and tabs, and characters of every width in UTF-8: wide,
# combining, zero-width, control, invalid and cut short.
LINES = [
    b"-.5", b".5", b"-", b".", b"-0", b"1,2,3", b"1,,2", b",1", b"1,", b"1.2.3", b"+5", b"0K",
    b"5KB", b"5 K", b"1.5k", b"-2M", b" 1e5", b"\t0x1p3", b"inf", b"-nan", b"1,5", b"1.234,5 Jan",
    b"  Feb  x", b"12 abc", b"", b"  ", b"zz", b"xjan", b" 12 Dez", b"-3,5 d\xc3\xa9c.",
    "日本 x".encode(), b"e\xcc\x81 y", b"\xff\xfe z", b"\xc3\xa4 b", b"  M\xc3\xa4r x",
    b"a\tb x", b"a\x01b x", b"a\xe2\x80\x8bb x", b"\xe2\x80\x8b\xe2\x80\x8b x", b"\xc3 x",
    b"\xe6\x97 x", b"\xc3\xa4\x7f\x80 x",
]
DATA = b"\n".join(LINES) + b"\n"

C_CASES = [
    "", "-s", "-u", "-r", "-sr", "-f", "-b", "-d", "-n", "-M", "-h", "-g", "-V",
    "-k1,1n", "-k2,2n", "-k2", "-k2,1", "-k1.5,1.3", "-b -k2", "-k2b,2", "-t, -k2,2",
    "-k1,1 -k2,2n -r", "-k1,1n -nrs", "-k1,1n -k2,2g -g", "-k1,1f -k2,2b -bfd",
    "-k1,1n -k2,2nr -nr", "-k1,1d -i", "-k1,1b -b", "-k1,1V -R", "-k1,1n -bifV -s",
    "+0 -1", "+1", "+0.2b -1.3", "-k1,1.2", "-k1.1b,1.2", "-k1,2n", "-k1,1h -s", "-k1,1g -s",
    "-k2.1,2M", "-u -k1,1", "-z", "-z -k2,2n", "-k1b,2.1b", "-k1b,2.1", "-k1n,2.1b", "-k2.2n,1.1",
]
LOCALE_CASES = ["", "-s -k2", "-k1,1n", "-k1,1g", "-k1,1h", "-k2,2M", "-b -k2,2M"]


def run(command, env, args, cwd, stdin):
    proc = subprocess.run([*command, *args], input=stdin, capture_output=True, cwd=cwd,
                          env=dict(BASE, PYTHONPATH=os.pathsep.join(sys.path), **env),
                          timeout=60)
    return proc.returncode, proc.stdout, proc.stderr.replace(b"quillmere:", b"sort:")


def same_as_gnu(env, args, cwd=None, stdin=DATA):
    """Checks the command and GNU sort print the same, and end the same."""
    ours = run([sys.executable, "-m", "quillmere", "--debug"], env, args, cwd, stdin)
    theirs = run(["sort", "--debug"], env, args, cwd, stdin)
    assert ours == theirs


@pytest.mark.parametrize("env, args", [({"LANG": "C"}, args) for args in C_CASES] + [
    ({"LANG": locale, "LC_MESSAGES": "C"}, args)
    for locale in ("en_US.UTF-8", "de_DE.UTF-8", "de_DE", "ja_JP.eucjp", "xx_YY.UTF-8")
    for args in LOCALE_CASES
] + [
    # A decimal comma read with C's text, and thousands separators of
    # more than a byte, which -n and -h warn of and -g does not.
    ({"LANG": "C", "LC_NUMERIC": locale}, args)
    for locale in ("fr_FR.UTF-8", "ps_AF.UTF-8") for args in ("-k1,1n", "-k1,1g", "-h")
] + [
    # A separator that is also the decimal point or the thousands separator,
    # in keys of numbers that span fields.
    ({"LANG": locale, "LC_MESSAGES": "C"}, f"-t{tab} {keys}")
    for locale in ("C", "en_US.UTF-8", "de_DE.UTF-8") for tab in ",."
    for keys in ("-k1n", "-k1g", "-k1,1n -k2h", "-k1g -k2,2n", "-k1 -k2,2n")
])
def test_matches_gnu_sort(env, args):
    same_as_gnu(env, args.split())


def test_merge_and_errors(tmp_path):
    (tmp_path / "one").write_bytes(b"a 1\nb 3\nc 2\n")
    (tmp_path / "two").write_bytes(b"a 2\nb\t1\n")
    for args in ["-m one two", "-m -k2,2n one two", "-m -s -k1,1 one two two",
                 "--batch-size=2 -m one two one", "one missing", "-c one", "-o out one"]:
        same_as_gnu({"LANG": "C"}, args.split(), cwd=tmp_path, stdin=b"")
    assert not (tmp_path / "out").exists()


# Lines and keys drawn at random from pieces that make numbers, months and
# fields meet; then the command against GNU sort in a random locale.
line_pieces = st.sampled_from([b"a", b"B", b" ", b"\t", b",", b"-", b".", b"0", b"1", b"9", b"K",
                               b"e", b"jan", b"Mai", b"\xc3\xa4", "日".encode(), b"\xcc\x81",
                               b"\xff", b"\x01", b"nan", b"0x"])
keydefs = st.from_regex(r"[1-3](\.[1-3])?(|b|n|r|g|h|M|V|f|d|i|R|bn)(,[1-4](\.[0-3])?b?)?",
                        fullmatch=True)


@settings(max_examples=40, deadline=None)
@given(lines=st.lists(st.lists(line_pieces, max_size=8).map(b"".join), max_size=12),
       keys=st.lists(keydefs, max_size=2),
       flags=st.sets(st.sampled_from(["-n", "-r", "-u", "-b", "-f", "-d", "-g", "-h", "-M", "-s",
                                      "-z"]), max_size=3),
       tab=st.sampled_from([None, ",", " "]),
       locale=st.sampled_from(["C", "en_US.UTF-8", "de_DE.UTF-8", "fr_FR.UTF-8"]))
def test_random_keys_and_lines(lines, keys, flags, tab, locale):
    end = b"\0" if "-z" in flags else b"\n"
    # -R's hash is keyed at random, and so is its order: one line each.
    lines = lines[:1] if any("R" in key for key in keys) else lines
    args = sorted(flags) + [f"-k{k}" for k in keys] + (["-t", tab] if tab else [])
    same_as_gnu({"LANG": locale, "LC_MESSAGES": "C"}, args,
                stdin=end.join(lines) + (end if lines else b""))
