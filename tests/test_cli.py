"""The quillmere command against GNU sort (LC_ALL=C sort), which it must
match byte for byte on plain text, and its CSV, JSON-lines and error paths."""

import os
import random
import re
import resource
import shlex
import signal
import subprocess
import sys
import time

import pytest
from hypothesis import given, settings, strategies as st

from _quillmere import Sorter, _Lines
from quillmere import _input, cli
from quillmere._keys import KeyDef

ENV = dict(os.environ, LC_ALL="C")


def quillmere(*args, stdin=None):
    """Runs the command in its own process; returns (exit status, stdout, stderr)."""
    proc = subprocess.run([sys.executable, "-m", "quillmere", *map(str, args)], input=stdin,
                          capture_output=True, env=ENV, timeout=120)
    return proc.returncode, proc.stdout, proc.stderr


def run(folder, *args):
    """Runs the command in-process with -o; returns what it wrote."""
    out = folder / "out"
    assert cli.main([*map(str, args), "-o", str(out)]) == 0
    return out.read_bytes()


def gnu_sort(*args, stdin=None, check=True):
    proc = subprocess.run(["sort", *map(str, args)], input=stdin, capture_output=True,
                          env=ENV, check=check)
    return proc.stdout if check else proc


# Field values that catch the usual mistakes: blanks, digits, NUL, non-UTF-8
# bytes and bytes below the newline.
TEXT = [b"", b"a", b"b", b"B", b"ab", b"-1", b"0", b"00", b"0.5", b"9", b"1e3", b"x\x00", b"x\x01",
        b"\xff\xfe", b"caf\xc3\xa9", b"a\x01", b"abcdef", b"ab\tc"]
# Values for the other orderings: floats as strtold reads them, numbers with
# unit suffixes, month names, version strings with their special cases,
# and case, punctuation and control bytes for -f, -d and -i.
WORDS = [b"1e3", b"-1E-2", b"inf", b"-inf", b"nan", b"-nan", b"0x1p4", b"0x", b"1.5", b".5e1",
         b"1K", b"1k", b"2M", b"-1G", b"0.5K", b"0K", b"10Q", b"3Y", b"-", b"jan", b"FEB",
         b" Mar", b"december", b"ju", b"1.2.10", b"1.2.9", b"1.02", b"a~b", b"a~", b"a",
         b".", b"..", b".hidden", b"file.tar.gz", b"file-1.10.txt", b"file-1.9.txt", b"v2~rc1",
         b"Abc", b"abc", b"a-b", b"a\x01b", b"a\x7fb", b"\xe9t\xe9", b"x\x00y", b""]
# Numbers as -n reads them: signs, zero in many forms, leading zeros,
# fractions, numbers too long for a float, and text that counts as zero.
NUMBERS = [b"0", b"-0", b"00", b"0.0", b"-0.0", b"-.0", b".0", b"-00.000", b"7", b"007", b"-7",
           b"-007", b"0.5", b".5", b"-.5", b"-0.50", b"0.05", b"-0.05", b"1.25", b"-1.25",
           b"-1.250", b"10", b"-10", b"-9.99", b"12345678901234567890", b"12345678901234567891",
           b"-12345678901234567890.01", b"-12345678901234567890.001", b"", b"x", b"-", b".",
           b"-.", b"+5", b"1.2.3", b"--1"]


def make_lines(rng, count, pieces):
    lines = []
    for _ in range(count):
        fields = [rng.choice([b"", b"", b" ", b"  ", b"\t"]) + rng.choice(pieces)
                  for _ in range(rng.randint(0, 5))]
        line = rng.choice([b",", b" ", b", "]).join(fields)
        lines.append(line + rng.choice([b"\n"] * 8 + [b"\r\n"]))
    return b"".join(lines)


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """About 100 KB of text lines and 50 KB of numbers, several times -S 64K,
    each ending in a line without its newline."""
    folder = tmp_path_factory.mktemp("cli")
    rng = random.Random(7)
    (folder / "text").write_bytes(make_lines(rng, 2500, TEXT) + b"-3 last line, no newline")
    (folder / "numbers").write_bytes(make_lines(rng, 2500, NUMBERS) + b" -0.5")
    (folder / "words").write_bytes(make_lines(rng, 2500, WORDS) + b"1.2.3 last")
    # NUL-terminated records, some with newlines inside.
    (folder / "zeros").write_bytes(make_lines(rng, 2500, TEXT + NUMBERS).replace(b"\n", b"\0")
                                   .replace(b"\r", b"\n") + b"end")
    return folder


@pytest.mark.parametrize("name, options", [("text", o) for o in [
    "", "-r", "-u", "-ru", "-b", "-k2", "-k2,2", "-k3,3r -k1,1", "-k2b,2", "-k2,3", "-k3,2",
    "-k2,2 -u", "-k1.2", "-k2.3", "-k2,2.3", "-k1.2,1.4", "-k2.2,2.3b", "-k2,3.1", "-bk2.2,3.1",
    "-k1.3b,2.2b", "-k2.1,2.1r -k3.2,3.3", "-t, -k2,2", "-t, -k2", "-t, -k2,2.3", "-t, -k1.2,1.4",
    "-t, -k1.2,2.1b", "-t, -k2.2,3.1 -u", "-t' ' -k2b,2", "-t' ' -k3.2,3.3", "-t0 -k2,2",
    "-s -k2,2", "-s -k3,3r -k1,1", "-s -b", "-r -k2,2", "-rs -k2,2", "-r -k2,2r", "-rb",
    # The command line as GNU reads it: obsolete keys, abbreviations, bundles,
    # ignored options and positions beyond any line.
    "+1 -2", "+0.1 -1.2", "+1.2b -3.4n", "+0 -0", "+2 -0", "+1 -0b", "+1 -1.1", "+1", "+1 +0",
    "--rev", "--st -k2,2", "-rk2", "-sbk2.2,3.1", "-t, -k2 -t,", "-y 5", "-y5", "-k ' 2'",
    "-k +2", "--batch-size=3", "--compress-program=gzip", "--random-source=/nonexistent",
    "-S 8E", "--parallel=1000", "-k18446744073709551616", "-k1.18446744073709551616",
    "-k2,2.99999999999999999999", "+99999999999999999999999 -99999999999999999999999",
]] + [("numbers", o) for o in [
    "-n", "-nr", "-nu", "-bn", "-k2n", "-k2,2nr -k1,1", "-k2.2n", "-k1.2,1.4nr", "-t, -k2n,2",
    "-t, -k2,2nr -k1,1r", "-t, -k3,3nr -u", "-t, -k2bn", "-t, -n -k2,2 -k3,3", "-t' ' -k2n",
    "-t' ' -k2,2nr", "-t. -k2n", "-t0 -k2,2n", "-h", "-g", "-gu", "-k2,2g -k1,1h", "-sn", "-rn",
    "-rsn",
]] + [("words", o) for o in [
    "-f", "-fu", "-d", "-i", "-fi", "-df", "-di", "-g", "-gr", "-gu", "-h", "-hr", "-hu", "-M",
    "-Mr", "-Mu", "-V", "-Vr", "-Vu", "-Vf", "-Vd", "-k2,2V -k1,1", "-k1,1M -k2g", "-t, -k2,2h",
    "-k2,2fr -k1", "-k2d,2 -u", "-bk2.2,2.4f", "--sort=version", "--sort=human-numeric -r",
    "-rf", "-sf", "-rsM",
]] + [("zeros", o) for o in ["-z", "-zu", "-z -k2", "-z -t, -k2n", "-zr -k1,1", "-zs -k2"]])
def test_matches_gnu_sort(inputs, spill_dir, name, options):
    options = shlex.split(options)
    out = run(spill_dir.parent, *options, "-S", "64K", "-T", spill_dir, "--parallel", 2,
              inputs / name)
    assert out == gnu_sort(*options, inputs / name)


# Lines from a small alphabet, so that fields, blanks, signs, digits,
# suffixes, month names and version marks meet often; keys
# (F[.C][OPTS][,F[.C][OPTS]]) and options drawn at random. Clashing
# orderings must be refused as GNU sort refuses them.
keydefs = st.from_regex(r"[1-3](\.[1-3])?(|b|n|r|nr|bn|g|h|M|V|f|d|i|fr|Vr|hr|gb|dn)"
                        r"(,[1-4](\.[0-3])?b?)?", fullmatch=True)
line_bytes = st.lists(st.sampled_from([b"a", b"B", b" ", b"\t", b",", b"-", b".", b"0", b"1",
                                       b"9", b"\x00", b"\xff", b"\r", b"K", b"e", b"~", b"jan",
                                       b"Dec", b"nan", b"inf", b"0x", b"\x01"]),
                      max_size=12).map(b"".join)


# The obsolete +POS1 [-POS2], fields and characters counted from 0.
obsolete_keys = st.from_regex(r"\+[0-2](\.[0-2])?(|b|n|r)( -[0-3](\.[0-2])?b?)?", fullmatch=True)


@settings(max_examples=60, deadline=None)
@given(lines=st.lists(line_bytes, max_size=40), keys=st.lists(keydefs, max_size=2),
       old_keys=st.lists(obsolete_keys, max_size=1),
       flags=st.sets(st.sampled_from(["-n", "-r", "-u", "-b", "-f", "-d", "-i", "-g", "-h", "-M",
                                      "-V", "-z", "-s", "-m"]), max_size=3),
       tab=st.sampled_from([None, ",", " ", "0"]), final_newline=st.booleans())
def test_random_lines_and_options(tmp_path_factory, lines, keys, old_keys, flags, tab,
                                  final_newline):
    end = b"\0" if "-z" in flags else b"\n"
    data = end.join(lines) + (end if final_newline and lines else b"")
    options = (sorted(flags) + [f"-k{k}" for k in keys] + " ".join(old_keys).split()
               + (["-t", tab] if tab else []))
    folder = tmp_path_factory.mktemp("random")
    (folder / "in").write_bytes(data)
    expected = gnu_sort(*options, stdin=data, check=False)
    args = [*options, "-S", "64K", "-T", folder, folder / "in", "-o", folder / "out"]
    assert cli.main(list(map(str, args))) == expected.returncode
    if expected.returncode == 0:
        assert (folder / "out").read_bytes() == expected.stdout


@pytest.mark.parametrize("options", [[], ["-u"], ["-n"], ["-nu", "-k2"], ["-r", "-t,", "-k1,1"],
                                     ["-z"], ["-V", "-u"]])
def test_check_and_merge(inputs, tmp_path, options):
    """-c and -C find the first disorder (with -u, the first repeated key)
    and say it as GNU sort does; -m gives GNU's merge of sorted inputs."""
    env = dict(ENV, PYTHONPATH=os.pathsep.join(sys.path))
    for name in "text", "numbers", "words":
        data = (inputs / name).read_bytes()
        if "-z" in options:
            data = data.replace(b"\n", b"\0")
        ordered = gnu_sort(*options, stdin=data)
        for text in data, ordered:
            path = tmp_path / name
            path.write_bytes(text)
            for check in "-c", "-C":
                ours = subprocess.run([sys.executable, "-m", "quillmere", check, *options, path],
                                      capture_output=True, env=env, timeout=60)
                theirs = gnu_sort(check, *options, path, check=False)
                assert ours.returncode == theirs.returncode
                assert ours.stderr == theirs.stderr.replace(b"sort:", b"quillmere:", 1)
        halves = tmp_path / "a", tmp_path / "b"
        records = ordered.split(b"\0" if "-z" in options else b"\n")
        for half, part in zip(halves, (records[::2], records[1::2])):
            half.write_bytes(gnu_sort(*options, stdin=(b"\0" if "-z" in options else b"\n")
                                      .join(part)))
        assert run(tmp_path, "-m", *options, *halves) == gnu_sort("-m", *options, *halves)


@pytest.mark.parametrize("options", [[], ["-s", "-k2,2"], ["-u", "-k2,2"], ["-r", "-n"]])
def test_merge_as_it_is_in_passes(tmp_path, options):
    """-m merges what it is given, sorted or not, as GNU sort does (equal
    keys from earlier inputs first), in passes when there are more inputs
    than --batch-size; the passes' files go into -T, which is needed only
    then; an output that is also an input is read as it was."""
    rng = random.Random(8)
    names = []
    for i in range(7):
        lines = b"".join(b"%d %s\n" % (rng.randrange(30), rng.choice([b"a", b"b", b"B", b""]))
                         for _ in range(rng.randrange(200)))
        path = tmp_path / f"in{i}"
        path.write_bytes(lines if i == 3 else gnu_sort(*options, stdin=lines))  # one unsorted
        names.append(path)
    expected = gnu_sort("-m", *options, *names)
    spill = tmp_path / "spill"
    spill.mkdir()
    assert run(tmp_path, "-m", *options, "--batch-size=2", "-T", spill, *names) == expected
    assert os.listdir(spill) == []
    missing = tmp_path / "missing"
    assert run(tmp_path, "-m", *options, "-T", missing, *names) == expected
    assert quillmere("-m", "--batch-size=2", "-T", missing, *names)[0] == 2
    first = names[0].read_bytes()
    assert quillmere("-m", *options, "--batch-size=3", "-o", names[0], *names) == (0, b"", b"")
    names[0].write_bytes(first)
    assert names[0].read_bytes() == first and gnu_sort("-m", *options, *names) == expected


def test_batch_size_within_the_open_file_limit(tmp_path):
    """A batch size that the open-file limit allows, but only just, is
    lowered to what is left once the process holds its own files."""
    names = []
    for i in range(60):
        names.append(tmp_path / f"in{i}")
        names[-1].write_bytes(b"".join(b"%d\n" % n for n in range(i, 300_000, 60)))
    expected = gnu_sort("-n", *names)

    def limit():
        resource.setrlimit(resource.RLIMIT_NOFILE, (40, 40))

    env = dict(ENV, PYTHONPATH=os.pathsep.join(sys.path))
    for merge in [], ["-m"]:
        proc = subprocess.run([sys.executable, "-m", "quillmere", *merge, "-n", "--batch-size=37",
                               "-S", "64K", "-T", tmp_path, *names], capture_output=True, env=env,
                              preexec_fn=limit, timeout=60)
        assert (proc.returncode, proc.stderr, proc.stdout) == (0, b"", expected)


@pytest.mark.parametrize("options", [[], ["-m"], ["-m", "--batch-size=2"], ["-c"], ["-r", "-u"]])
def test_header_lines_stay_first(tmp_path, options):
    """--header=N: the first input's first N lines first, as they are; the
    first N lines of every other input skipped; -c checks the rest."""
    a, b, body_a, body_b = (tmp_path / name for name in ("a", "b", "body_a", "body_b"))
    a.write_bytes(b"name n\nzz 9\nb 2\nd 4\n")
    b.write_bytes(b"NAME N\nZZ 9\na 1\nc 3\nb 2\n")
    body_a.write_bytes(b"b 2\nd 4\n")
    body_b.write_bytes(b"a 1\nc 3\nb 2\n")
    if "-c" in options:
        assert quillmere("--header=2", "-c", a)[0] == gnu_sort("-c", body_a, check=False).returncode
        assert quillmere("--header=1", "-c", a)[0] == 1  # "zz 9" is no header now
        return
    status, out, _ = quillmere("--header=2", *options, a, b, b)
    assert (status, out) == (0, b"name n\nzz 9\n" + gnu_sort(*options, body_a, body_b, body_b))


@pytest.mark.parametrize("options, key", [
    (["-R"], lambda line: line),
    (["-k1,1R"], lambda line: line.split(b" ")[0]),
    (["-fR", "-k1,1"], lambda line: line.split(b" ")[0].upper()),
    (["-R", "-s", "-k1,1"], lambda line: line.split(b" ")[0]),
    (["--sort=random", "-r", "-k1,1"], lambda line: line.split(b" ")[0]),
])
def test_random_sort(tmp_path, options, key):
    """-R: equal keys together, in GNU's order among themselves (whole lines
    as a last resort, or input order with -s); the groups in an order that
    --random-source decides, the same for the same source, another for
    another; -c agrees with it."""
    rng = random.Random(6)
    data = b"".join(b"%s %d\n" % (rng.choice([b"a", b"A", b"b", b"c", b"d", b"e", b"f"]),
                                   rng.randrange(5)) for _ in range(300))
    (tmp_path / "in").write_bytes(data)
    sources = []
    for seed in range(3):
        sources.append(tmp_path / f"source{seed}")
        sources[-1].write_bytes(random.Random(seed).randbytes(16))

    def groups(out):
        runs = []
        for line in out.splitlines():
            if runs and key(runs[-1][-1]) == key(line):
                runs[-1].append(line)
            else:
                runs.append([line])
        return runs

    outs = [run(tmp_path, *options, "--random-source", source, tmp_path / "in")
            for source in sources]
    theirs = {key(g[0]): g for g in groups(gnu_sort(*options, "--random-source", sources[0],
                                                    tmp_path / "in"))}
    for out in outs:
        runs = groups(out)
        assert sorted(out.splitlines()) == sorted(data.splitlines())
        assert len(runs) == len(theirs)  # every key's lines together
        assert all(g == theirs[key(g[0])] for g in runs)
    assert outs[0] == run(tmp_path, *options, "--random-source", sources[0], tmp_path / "in")
    assert len({tuple(key(g[0]) for g in groups(out)) for out in outs}) == 3
    (tmp_path / "sorted").write_bytes(outs[0])
    check = ["-c", *options, "--random-source", sources[0], tmp_path / "sorted"]
    assert quillmere(*check)[0] == 0
    assert quillmere(*check[:-2], sources[1], tmp_path / "sorted")[0] == 1


def test_files0_from(tmp_path):
    names = [tmp_path / "a", tmp_path / "b c"]
    for i, path in enumerate(names):
        path.write_bytes(b"%d\nx\n" % i)
    listed = b"".join(os.fsencode(p) + b"\0" for p in names)
    (tmp_path / "list").write_bytes(listed)
    expected = gnu_sort("--files0-from", tmp_path / "list")
    assert run(tmp_path, "--files0-from", tmp_path / "list") == expected
    assert quillmere("--files0-from=-", stdin=listed) == (0, expected, b"")


@pytest.mark.parametrize("options", [["-u"], ["-u", "-k1,1"], ["-u", "-t,", "-k2,2n"]])
def test_unique_across_output_chunks(tmp_path, options):
    # -u let through a duplicate that opened an output chunk of about 1 MiB
    # when the chunk before ended with the same key.
    rng = random.Random(2)
    data = b"".join(b"%02d,%d %s\n" % (k, k % 7 - 3, rng.choice([b"a" * 90, b"b" * 90]))
                    for k in (rng.randrange(40) for _ in range(45000)))  # about 4 MiB
    (tmp_path / "in").write_bytes(data)
    assert run(tmp_path, *options, tmp_path / "in") == gnu_sort(*options, stdin=data)


def test_lines_spanning_reads(tmp_path, monkeypatch):
    # A line split across two reads lost the part from the first read.
    monkeypatch.setattr(_input, "BLOCK", 13)
    a, b = tmp_path / "a", tmp_path / "b"
    rng = random.Random(11)
    a.write_bytes(make_lines(rng, 300, TEXT) + b"x" * 100 + b" long\n" + make_lines(rng, 50, TEXT)
                  + b"ends without a newline")
    b.write_bytes(b"y, " * 20)  # one line, longer than a block, no newline at all
    with open(a, "rb", buffering=0) as file:  # the read loop sees the small block
        assert len(list(_input.line_blocks(file, "a"))) > 100
    for options in [], ["-k2.2,3"], ["-t,", "-k2"]:
        assert run(tmp_path, *options, a, b) == gnu_sort(*options, a, b), options


def test_merge_passes_input_forms_and_output_onto_an_input(tmp_path, spill_dir):
    """Many runs merged two at a time; files and standard input mixed, each
    last line without its newline; empty files and empty lines; -o onto an
    input keeps its mode and leaves no temporary file."""
    rng = random.Random(3)
    a, b, empty = tmp_path / "a", tmp_path / "b", tmp_path / "empty"
    a.write_bytes(make_lines(rng, 1500, TEXT) + b"no newline in a")
    a.chmod(0o640)
    b.write_bytes(b"\n\n\nz\n\n")
    empty.write_bytes(b"")
    piped = make_lines(rng, 500, TEXT) + b"no newline on stdin"
    expected = gnu_sort(a, "-", empty, b, stdin=piped)
    assert quillmere("-S", "64K", "--max-open", 2, "-T", spill_dir, "-o", a, a, "-", empty, b,
                     stdin=piped) == (0, b"", b"")
    assert a.read_bytes() == expected and a.stat().st_mode & 0o777 == 0o640
    assert sorted(os.listdir(tmp_path)) == ["a", "b", "empty", "spill"]
    assert quillmere("-u", empty, "-", stdin=b"\n\n") == (0, b"\n", b"")


# Refused as GNU sort refuses them: the same status and the same message,
# the program's name aside. Options, keys, sizes and obsolete keys read as
# GNU reads them; errors found while reading take effect in order.
GNU_ERRORS = [
    "/nonexistent/input", "IN DIR", "-o /nonexistent/dir/out IN", "-o DIR IN",
    "-k 0 IN", "-k 1.0 IN", "-k 1Q IN", "-k x IN", "-k 1, IN", "-k 1.x IN", "-k1,2x IN",
    "-k1b.2 IN", "-k -1 IN", "-k0 -Q IN", "-dn IN", "-k1,1gM IN", "-hV IN", "-fRn IN",
    "-gfdni IN", "-c IN IN", "-c -o x IN IN", "-c --debug -o x IN", "-C -o x IN", "-o x -o y IN",
    "-c -C IN", "--check=quiet -c IN", "--files0-from IN IN", "--files0-from NAMES",
    "--files0-from EMPTY", "--files0-from /nonexistent", "-S 10x IN", "-S x IN", "-S -1 IN",
    "-S 20000000T IN", "-t ab IN", "-t '' IN", "-t, -t: IN", "--bogus IN", "-Q IN", "--s IN",
    "--r IN", "--reverse=x IN", "-o", "--output", "--sort=foo IN", "--sort= IN", "--check=foo IN",
    "--batch-size=1 IN", "--batch-size=99999999999 IN", "--batch-size=2x IN", "--parallel=0 IN",
    "--parallel=x IN", "--compress-program=a --compress-program=b IN",
    "--random-source=a --random-source=b IN", "+1 -2x IN", "+1 -2. IN", "+1 -2 -3 IN",
    "+1. IN", "-y", "-o /dev/full IN", "-c DIR", "-c /nonexistent", "-- -r",
    "-R --random-source=EMPTY IN", "-k1,1R --random-source=/nonexistent IN", "-nR IN",
]


# In a UTF-8 locale, GNU quotes some names ‘so’, and others 'so' still.
QUOTED_ERRORS = ["-k 0 IN", "-k x IN", "-k1.x IN", "+1 -2x IN", "-t ab IN", "--sort=foo IN",
                 "--check= IN", "--batch-size=1 IN", "--batch-size=99999999999 IN",
                 "--batch-size=x IN", "-R --random-source=EMPTY IN", "-S 10x IN", "-dn IN",
                 "--files0-from EMPTY"]


def own_wording(message):
    """GNU sort's message in the command's words: its name, and "key
    definition" for what GNU calls a field's."""
    message = message.replace(b"sort:", b"quillmere:").replace(b"'sort --help'",
                                                               b"'quillmere --help'")
    message = re.sub(rb"stray character in field \w+:", b"stray character:", message)
    return re.sub(rb"invalid field \w+ ", b"invalid key definition ", message)


@pytest.mark.parametrize("args, locale", [(args, "C") for args in GNU_ERRORS]
                         + [(args, "en_US.UTF-8") for args in QUOTED_ERRORS]
                         + [("-k 0 IN", "en_US"), ("-k 0 IN", "xx_YY.UTF-8")])
def test_errors_as_gnu_sort(tmp_path, args, locale):
    for name, content in {"IN": b"b\na\n", "NAMES": b"IN\0\0", "EMPTY": b""}.items():
        (tmp_path / name).write_bytes(content)
    (tmp_path / "DIR").mkdir()
    env = {name: value for name, value in os.environ.items() if not name.startswith("LC_")}
    env.update(LANG=locale, LC_MESSAGES="C", PYTHONPATH=os.pathsep.join(sys.path))
    python = shlex.quote(sys.executable)
    ours, theirs = (subprocess.run(["sh", "-c", f"{command} {args} </dev/null"], cwd=tmp_path,
                                   capture_output=True, env=env, timeout=60)
                    for command in (f"{python} -m quillmere", "sort"))
    assert ours.returncode == theirs.returncode != 0
    assert ours.stderr == own_wording(theirs.stderr)
    assert ours.stdout == theirs.stdout == b""


@pytest.mark.parametrize("args, status, message", [
    (["-T", "/nonexistent", "IN"], 2, b"quillmere: cannot create temporary file in "
                                      b"'/nonexistent': No such file or directory\n"),
    (["--max-open", "1", "IN"], 2, b"quillmere: --max-open must be from 2 to 4096, not 1"),
    (["--max-open", "4097", "IN"], 2, b"quillmere: --max-open must be from 2 to 4096, not 4097"),
    (["--header", "x", "IN"], 2, b"quillmere: invalid --header argument 'x'"),
    (["--csv", "-k", "nope", "CSV"], 2,
     b"quillmere: no column named 'nope' in the CSV header (columns: x, y)\n"),
    (["--csv", "-k", "nope", "HEADER"], 2, b"quillmere: no column named 'nope'"),
    (["--jsonl", "-k", "a", "-k", "nosuch", "JSONL"], 2,
     b"quillmere: no field named 'nosuch' in any JSON record"),
    (["--jsonl", "BADJSON"], 2, b"/BADJSON: line 2: invalid JSON: Expecting value at column 7"),
    (["--jsonl", "-n", "IN"], 2, b"quillmere: -n cannot be used with --jsonl"),
    (["--csv", "-m", "IN"], 2, b"quillmere: -m cannot be used with --csv"),
    (["-T", "SMALL", "-S", "1M", "BIG"], 2, b"No space left on device"),
])
def test_errors(tmp_path, args, status, message):
    files = {"IN": b"b\na\n", "CSV": b"x,y\n1,2\n", "HEADER": b"x,y\n",
             "BADJSON": b'{"a": 1}\n{"a": \n', "JSONL": b'{"a": 1}\n[2]\n\n'}
    for name, content in files.items():
        (tmp_path / name).write_bytes(content)
    small = os.environ.get("QUILLMERE_SMALL_DISK")
    if "BIG" in args:
        if not small:
            pytest.skip("no small disk to fill (QUILLMERE_SMALL_DISK)")
        # Random hex lines: far more than the small disk holds, even compressed.
        text = random.Random(1).randbytes(6 << 20).hex().encode()
        (tmp_path / "BIG").write_bytes(b"\n".join(re.findall(rb".{1,80}", text)))
    args = [small if a == "SMALL" else tmp_path / a if a in (*files, "BIG") else a
            for a in args]
    code, out, err = quillmere(*args)
    assert code == status and message in err and err.count(b"\n") == 1 and out == b""
    assert b"(os error" not in err
    if small and small in args:
        assert not [n for n in os.listdir(small) if n.startswith("quillmere-")]


def test_output_named_dash_is_a_file(tmp_path):
    (tmp_path / "IN").write_bytes(b"b\na\n")
    env = dict(ENV, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, "-m", "quillmere", "-o", "-", "IN"], cwd=tmp_path,
                          capture_output=True, env=env, timeout=60)
    assert (proc.returncode, proc.stdout, (tmp_path / "-").read_bytes()) == (0, b"", b"a\nb\n")


def test_operands_end_options_under_posixly_correct(tmp_path):
    (tmp_path / "IN").write_bytes(b"b\na\n")
    env = dict(ENV, POSIXLY_CORRECT="1", PYTHONPATH=os.pathsep.join(sys.path))
    for command in [sys.executable, "-m", "quillmere"], ["sort"]:
        proc = subprocess.run([*command, "IN", "-r"], cwd=tmp_path, capture_output=True,
                              env=env, timeout=60)
        assert (proc.returncode, proc.stderr.split(b": ", 1)[1]) == (
            2, b"cannot read: -r: No such file or directory\n")


def test_temporary_directory_from_tmpdir(tmp_path):
    """TMPDIR names the spill directory when -T does not; a missing one is
    an error once a sort needs it (at once, here), never a silent /tmp."""
    (tmp_path / "IN").write_bytes(b"b\na\n")
    missing = str(tmp_path / "missing")
    env = dict(ENV, TMPDIR=missing, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, "-m", "quillmere", tmp_path / "IN"],
                          capture_output=True, env=env, timeout=60)
    assert (proc.returncode, proc.stderr) == (2, f"quillmere: cannot create temporary file in "
                                                 f"'{missing}': No such file or directory\n"
                                                 .encode())
    assert quillmere("-T", tmp_path, "-c", tmp_path / "IN")[0] == 1  # -c needs no directory


def run_files_in(spill_dir):
    """The run files a command has spilled so far. The directory that a
    sorter makes and removes at once, to check that it can, holds none: a
    test that took it for a spill went on too early (and failed now and
    then)."""
    names = []
    for private in os.listdir(spill_dir):
        try:
            names += os.listdir(spill_dir / private)
        except FileNotFoundError:
            pass  # that check's directory, gone already
    return names


@pytest.mark.parametrize("signum", [signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGTERM,
                                    signal.SIGPIPE, signal.SIGXCPU, signal.SIGXFSZ],
                         ids=lambda signum: signum.name)
def test_signal_while_reading_leaves_nothing(tmp_path, spill_dir, signum):
    """The spilled runs are removed, the -o file, not yet opened, keeps its
    content, and the command then dies of the signal."""
    out = tmp_path / "out"
    out.write_bytes(b"old\n")
    # A background job inherits SIGINT and SIGQUIT ignored, and the command
    # keeps them so; a signal caught here is at its default in the child.
    previous = signal.signal(signum, lambda *_: None)
    try:
        proc = subprocess.Popen([sys.executable, "-m", "quillmere", "-S", "64K", "-T", spill_dir,
                                 "-o", out], stdin=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)
    finally:
        signal.signal(signum, previous)
    resource.prlimit(proc.pid, resource.RLIMIT_CORE, (0, 0))  # QUIT, XCPU and XFSZ dump core
    proc.stdin.write(make_lines(random.Random(9), 4000, TEXT))
    proc.stdin.flush()
    deadline = time.monotonic() + 60
    while not run_files_in(spill_dir) and time.monotonic() < deadline:
        time.sleep(0.02)  # until it has spilled, still waiting for more input
    assert run_files_in(spill_dir), "nothing was spilled"
    assert len(os.listdir(tmp_path)) == 2  # out (not yet opened) and spill
    proc.send_signal(signum)
    assert proc.wait(timeout=60) == -signum
    proc.stdin.close()
    assert proc.stderr.read() == b""
    proc.stderr.close()
    assert out.read_bytes() == b"old\n"
    assert sorted(os.listdir(tmp_path)) == ["out", "spill"]  # spill_dir checks it is empty


def test_closed_pipe_ends_as_sigpipe(tmp_path, spill_dir):
    (tmp_path / "in").write_bytes(make_lines(random.Random(5), 40000, TEXT))  # about 1 MB
    proc = subprocess.Popen([sys.executable, "-m", "quillmere", "-S", "64K", "-T", spill_dir,
                             tmp_path / "in"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            bufsize=0, env=ENV)
    assert len(proc.stdout.read(10)) == 10
    proc.stdout.close()  # with most of the output, far more than a pipe holds, unread
    assert proc.wait(timeout=60) == -signal.SIGPIPE
    assert proc.stderr.read() == b""  # quietly, as sort in a pipe
    proc.stderr.close()


@pytest.mark.parametrize("command, status, message, written", [
    ("IN >&-", 2, b"quillmere: fflush failed: 'standard output': Bad file descriptor\n"
                  b"quillmere: write error\n", None),
    ("<&-", 2, b"quillmere: stat failed: -: Bad file descriptor\n", None),
    # Never the sorted lines read back as input: standard input stays closed.
    ("IN - <&- >OUT", 2, b"quillmere: stat failed: -: Bad file descriptor\n", b""),
    ("IN <&- >OUT", 0, b"", b"a\nb\n"),
    ("IN 2>&- >OUT", 0, b"", b"a\nb\n"),
    ("-o OUT IN <&- >&- 2>&-", 0, b"", b"a\nb\n"),
    ("-S 64K -T . BIG <&- 2>&- >OUT", 0, b"", b"BIG"),  # spilled runs take none of 0, 1, 2
    ("NOSUCH 2>&- >OUT", 2, b"", b""),  # the message has nowhere to go
    ("IN >/dev/full", 2, b"quillmere: fflush failed: 'standard output': No space left on device\n"
                         b"quillmere: write error\n", None),
])
def test_closed_standard_streams(tmp_path, command, status, message, written):
    (tmp_path / "IN").write_bytes(b"b\na\n")
    big = make_lines(random.Random(4), 3000, TEXT)
    (tmp_path / "BIG").write_bytes(big)
    proc = subprocess.run(["sh", "-c", f"{shlex.quote(sys.executable)} -m quillmere {command}"],
                          cwd=tmp_path, capture_output=True, env=ENV, timeout=60)
    assert (proc.returncode, proc.stderr) == (status, message)
    if written is not None:
        expected = gnu_sort(stdin=big) if written == b"BIG" else written
        assert (tmp_path / "OUT").read_bytes() == expected
    assert sorted(os.listdir(tmp_path)) == sorted(["IN", "BIG"] + ["OUT"] * (written is not None))


@pytest.mark.parametrize("args, stdout_on_terminal, shown", [
    ([], False, True),
    (["--quiet"], False, False),
    ([], True, False),  # the sorted lines go to the same terminal: progress would mix in
    (["-o", "OUT"], True, True),  # they do not
    (["--jsonl", "GOOD", "BAD"], False, True),  # an error clears the progress line first
])
def test_progress_only_on_a_terminal_of_its_own(tmp_path, args, stdout_on_terminal, shown):
    (tmp_path / "GOOD").write_bytes(b'{"a": 1}\n' * 2000)
    (tmp_path / "BAD").write_bytes(b"{\n")
    reader, writer = os.openpty()
    proc = subprocess.run([sys.executable, "-m", "quillmere", *args], input=b"b\na\n" * 1000,
                          stdout=writer if stdout_on_terminal else subprocess.PIPE, stderr=writer,
                          cwd=tmp_path, env=ENV, timeout=60)
    os.close(writer)
    terminal = b""
    try:
        while chunk := os.read(reader, 4096):
            terminal += chunk
    except OSError:  # the terminal's other end is closed
        pass
    os.close(reader)
    assert bool(re.search(rb"quillmere: (reading|merging): 2,000 lines", terminal)) == shown
    if "BAD" in args:
        assert proc.returncode == 2
        assert b"\r\x1b[Kquillmere: BAD: line 1: invalid JSON" in terminal
        return
    assert proc.returncode == 0
    assert terminal.endswith(b"\r\x1b[K") == shown
    lines = b"a\n" * 1000 + b"b\n" * 1000
    if "OUT" in args:
        assert (tmp_path / "OUT").read_bytes() == lines
    elif stdout_on_terminal:
        assert terminal == lines.replace(b"\n", b"\r\n")  # the terminal's own line ends
    else:
        assert proc.stdout == lines


def test_lines_reads_keys_by_name_and_adds_texts():
    """_Lines takes each key's settings by attribute and refuses what it
    cannot map; add_texts checks every argument before adding anything,
    then orders records as texts_key orders their key texts."""
    for key, error in [(KeyDef(order="x"), ValueError), (KeyDef(ignore="n"), ValueError),
                       (KeyDef(order="N"), ValueError), (KeyDef(start_char=-1), ValueError),
                       (KeyDef(end_field=-1), ValueError), (KeyDef(order=1), TypeError),
                       (object(), AttributeError)]:
        with pytest.raises(error):
            _Lines([key], None, 10)
    lines = _Lines([KeyDef(order="n"), KeyDef(reverse=True)], None, 10)
    with Sorter() as sorter:
        for texts, records, error in [([[b"1"]], [b"a", b"b"], ValueError),
                                      ([[b"1"], ["2"]], [b"a", b"b"], TypeError),
                                      ([[b"1"], [b"2"]], [b"a", "b"], TypeError)]:
            with pytest.raises(error):
                lines.add_texts(sorter, texts, records)
        with pytest.raises(TypeError):
            lines.add_texts(object(), [], [])
        assert len(sorter) == 0
        texts = [[b"10", b"x"], [b"9"], [b"-1", b"b"], [b"9", b"a"], [b" 9", b"a"]]
        records = [b"%d" % i for i in range(len(texts))]
        assert lines.add_texts(sorter, texts, records) == len(records)
        by_key = sorted(range(len(texts)), key=lambda i: lines.texts_key(texts[i]))
        assert list(sorter.encoded()) == [records[i] for i in by_key] == b"2 3 4 1 0".split()
        with pytest.raises(RuntimeError):  # read: no longer adding
            lines.add_texts(sorter, [], [])


CSV_RECORDS = ['pear,10,"two\r\nlines"', "fig,9.5,plain", 'apple,-1,"quoted ""x"""', "fig,,short",
               "kiwi,10,", 'date,0010,"a,b"']


@pytest.mark.parametrize("options, order", [
    (["-k", "name"], [2, 5, 1, 3, 4, 0]),
    (["-k", "price", "-n"], [2, 3, 1, 0, 4, 5]),  # an empty field counts as zero
    (["-k", "price", "-n", "-r", "-u"], [0, 1, 3, 2]),
    (["-k", "name", "-k", "price"], [2, 5, 3, 1, 4, 0]),
    (["-k", "name", "-r", "-u", "-S", "64K"], [0, 4, 1, 5, 2]),
    (["-k", "price:nr", "-k", "name"], [5, 4, 0, 1, 3, 2]),  # a column's own letters
    (["-k", "name:r", "-k", "price", "-n"], [0, 4, 3, 1, 5, 2]),  # the others' global ones
])
def test_csv(tmp_path, options, order):
    """Quoted separators, quotes and line breaks; the header stays first;
    ties in input order, also when reversed; the last record gets its break."""
    path = tmp_path / "in.csv"
    path.write_bytes("\r\n".join(["name,price,note", *CSV_RECORDS]).encode())
    assert run(tmp_path, "--csv", *options, "-T", tmp_path, path).decode() == "".join(
        f"{line}\r\n" for line in ["name,price,note", *(CSV_RECORDS[i] for i in order)])


@pytest.mark.parametrize("options, gnu_options", [
    ([], ["-k1,1", "-k2,2"]), (["-n"], ["-k1,1n", "-k2,2n"]), (["-k", "y", "-nr"], ["-k2,2nr"]),
])
def test_csv_files_without_records(tmp_path, options, gnu_options):
    """Empty and header-only files, first or last, and a file that ends on a
    full batch of records, add no records and break nothing."""
    body = "".join(f"{i % 97},{i}\n" for i in range(4096)).encode()  # as many as a batch holds
    empty, header, full = (tmp_path / n for n in ("empty.csv", "header.csv", "full.csv"))
    for path, text in (empty, b""), (header, b"x,y\n"), (full, b"x,y\n" + body):
        path.write_bytes(text)
    assert run(tmp_path, "--csv", *options, header) == b"x,y\n"
    assert run(tmp_path, "--csv", *options, empty) == b""
    assert run(tmp_path, "--csv", *options, empty, header, full, header) == (
        b"x,y\n" + gnu_sort("-t,", *gnu_options, stdin=body))


def test_csv_byte_order_marks(tmp_path):
    """Spreadsheets start CSV files with a byte-order mark: the first column
    is still found by name, headers match across files with or without it,
    and the header is written as the first file had it."""
    bom = "\ufeff".encode()
    a, b = tmp_path / "a.csv", tmp_path / "b.csv"
    a.write_bytes(bom + b"name,age\nkiwi,3\nfig,5\n")
    b.write_bytes(b"name,age\napple,9\n")
    assert run(tmp_path, "--csv", "-k", "name", a, b, a) == (
        bom + b"name,age\napple,9\nfig,5\nfig,5\nkiwi,3\nkiwi,3\n")


def test_jsonl(tmp_path):
    values = ['{"a": 2}', '{"b": 1}', '{"a": "x"}', '{"a": null}', '{"a": [1, 2]}', '{"a": [1]}',
              '{"a": true}', '{"a": false}', '{"a": 1.5}', '{"a": {"k": 1}}', '[1]', '',
              '{"a": 123456789012345678901234567890}', '{"a": -1, "b": 2}', '{"a": "x", "b": 0}']
    path = tmp_path / "in.jsonl"
    path.write_text("\n".join(values))  # no final newline
    lines = [v + "\n" for v in values]
    # Missing (not an object, or blank), null, false, true, numbers, strings,
    # arrays, objects; ties in input order, also when reversed.
    for options, order in [
        (["-k", "a"], [1, 10, 11, 3, 7, 6, 13, 8, 0, 12, 2, 14, 5, 4, 9]),
        (["-k", "a", "-r"], [9, 4, 5, 2, 14, 12, 0, 8, 13, 6, 7, 3, 1, 10, 11]),
        (["-k", "a", "-u"], [1, 3, 7, 6, 13, 8, 0, 12, 2, 5, 4, 9]),
        (["-k", "b", "-k", "a"], [10, 11, 3, 7, 6, 8, 0, 12, 2, 5, 4, 9, 14, 1, 13]),
    ]:
        assert run(tmp_path, "--jsonl", *options, path).decode() == "".join(
            lines[i] for i in order), options
    # No record to miss the field in: nothing is wrong.
    (tmp_path / "blank.jsonl").write_bytes(b"\n\n")
    assert run(tmp_path, "--jsonl", "-k", "nosuch", tmp_path / "blank.jsonl") == b"\n\n"
