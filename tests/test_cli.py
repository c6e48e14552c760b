"""The quillmere command against GNU sort (LC_ALL=C sort -s), which it must
match byte for byte on plain text, and its CSV, JSON-lines and error paths."""

import csv
import io
import os
import random
import re
import shlex
import signal
import subprocess
import sys
import time

import pytest
from decimal import Decimal
from hypothesis import given, settings, strategies as st

from quillmere import cli
from quillmere._keys import reversed_bytes

ENV = dict(os.environ, LC_ALL="C")


def quillmere(*args, stdin=None, check=True):
    """Runs the command; returns (exit status, stdout, stderr)."""
    proc = subprocess.run([sys.executable, "-m", "quillmere", *map(str, args)], input=stdin,
                          capture_output=True, env=ENV, timeout=120)
    if check:
        assert proc.returncode == 0, proc.stderr.decode(errors="replace")
        assert proc.stderr == b""  # no progress line when stderr is not a terminal
    return proc.returncode, proc.stdout, proc.stderr


def gnu_sort(*args, stdin=None):
    proc = subprocess.run(["sort", "-s", *map(str, args)], input=stdin, capture_output=True,
                          env=ENV, check=True)
    return proc.stdout


# Field values that catch the usual mistakes: numbers with signs, fractions,
# leading zeros and blanks, numbers too long for a float, non-numbers that
# count as zero, NUL and non-UTF-8 bytes, and bytes below the newline.
PIECES = [b"", b"a", b"b", b"B", b"ab", b"-1", b"-01", b"-0", b"0", b"00", b"0.50", b"0.5", b".5",
          b"-.5", b"5.", b"007", b"1e3", b"+5", b"-", b".", b"1.2.3", b"9",
          b"12345678901234567890", b"12345678901234567891", b"-12345678901234567890.01",
          b"-12345678901234567890.001", b"x\x00", b"x\x01", b"\xff\xfe", b"caf\xc3\xa9", b"a\x01"]


def make_lines(rng, count):
    lines = []
    for _ in range(count):
        fields = [rng.choice([b"", b"", b" ", b"  ", b"\t"]) + rng.choice(PIECES)
                  for _ in range(rng.randint(0, 5))]
        line = rng.choice([b",", b" ", b", "]).join(fields)
        lines.append(line + rng.choice([b"\n"] * 8 + [b"\r\n"]))
    return b"".join(lines)


@pytest.fixture(scope="module")
def text_file(tmp_path_factory):
    """About 100 KB of lines with no final newline: several times -S 64K."""
    path = tmp_path_factory.mktemp("cli") / "in.txt"
    path.write_bytes(make_lines(random.Random(7), 2500) + b"-3 last line, no newline")
    return path


@pytest.mark.parametrize("options", [
    "", "-r", "-u", "-ru", "-n", "-nr", "-nu", "-b", "-bn",
    "-k2", "-k2,2", "-k2b,2", "-k2,3", "-k3,2", "-k2n", "-k2,2nr -k1,1", "-k1.2,1.3", "-k2.3",
    "-bk2.2,3.1", "-k1.3b,2.2b", "-k2,2 -u",
    "-t, -k2,2", "-t, -k2", "-t, -k2n,2 -k1,1r", "-t, -k1.2,2.1b", "-t, -k3,3nr -u",
    "-t, -k2bn", "-t, -n -k2,2 -k3,3", "-t0 -k2,2n", "-t. -k2n", "-t' ' -k2b,2",
])
def test_matches_gnu_sort(text_file, spill_dir, options):
    options = shlex.split(options)
    expected = gnu_sort(*options, text_file)
    _, out, _ = quillmere(*options, "-S", "64K", "-T", spill_dir, "--parallel", 2, text_file)
    assert out == expected


def test_merge_passes_and_input_forms(tmp_path, spill_dir):
    """Many runs merged two at a time; files and standard input mixed, each
    last line without its newline; empty files and empty lines."""
    rng = random.Random(3)
    a, b, empty = tmp_path / "a", tmp_path / "b", tmp_path / "empty"
    a.write_bytes(make_lines(rng, 1500) + b"no newline in a")
    b.write_bytes(b"\n\n\nz\n\n")
    empty.write_bytes(b"")
    piped = make_lines(rng, 500) + b"no newline on stdin"
    expected = gnu_sort(a, "-", empty, b, stdin=piped)
    _, out, _ = quillmere("-S", "64K", "--max-open", 2, "-T", spill_dir, a, "-", empty, b,
                          stdin=piped)
    assert out == expected
    assert quillmere(empty)[1] == b""
    assert quillmere("-", stdin=b"")[1] == b""
    assert quillmere("-u", stdin=b"\n\n")[1] == b"\n"


# Lines from a small alphabet, so that fields, blanks, signs and digits meet
# often; keys and options drawn at random.
line_bytes = st.lists(st.sampled_from([b"a", b"B", b" ", b"\t", b",", b"-", b".", b"0", b"1",
                                       b"9", b"\x00", b"\xff", b"\r"]), max_size=12).map(b"".join)


@st.composite
def keydefs(draw):
    """F[.C][OPTS][,F[.C][OPTS]]."""
    key = str(draw(st.integers(1, 3)))
    if draw(st.booleans()):
        key += f".{draw(st.integers(1, 3))}"
    key += draw(st.sampled_from(["", "b", "n", "r", "nr", "bn"]))
    if draw(st.booleans()):
        key += f",{draw(st.integers(1, 4))}"
        if draw(st.booleans()):
            key += f".{draw(st.integers(0, 3))}"
        key += draw(st.sampled_from(["", "b"]))
    return key


@settings(max_examples=40, deadline=None)
@given(lines=st.lists(line_bytes, max_size=40), keys=st.lists(keydefs(), max_size=2),
       flags=st.sets(st.sampled_from(["-n", "-r", "-u", "-b"])),
       tab=st.sampled_from([None, ",", " ", "0"]), final_newline=st.booleans())
def test_random_lines_and_options(tmp_path_factory, lines, keys, flags, tab, final_newline):
    data = b"\n".join(lines) + (b"\n" if final_newline and lines else b"")
    options = sorted(flags) + [f"-k{k}" for k in keys] + (["-t", tab] if tab else [])
    expected = gnu_sort(*options, stdin=data)
    folder = tmp_path_factory.mktemp("random")
    source, target = folder / "in", folder / "out"
    source.write_bytes(data)
    # In-process, since starting an interpreter per example would be slow.
    assert cli.main([*options, "-S", "64K", "-T", str(folder), "-o", str(target), str(source)]) == 0
    assert target.read_bytes() == expected


@given(st.binary(max_size=6), st.binary(max_size=6))
def test_reversed_bytes_reverses_order(a, b):
    ra, rb = next(reversed_bytes([a])), next(reversed_bytes([b]))
    assert (a < b) == (ra > rb) and (a == b) == (ra == rb)


def test_output_may_be_an_input(tmp_path, spill_dir):
    path = tmp_path / "data"
    data = make_lines(random.Random(5), 2000)
    path.write_bytes(data)
    path.chmod(0o640)
    quillmere("-S", "64K", "-T", spill_dir, "-o", path, path)
    assert path.read_bytes() == gnu_sort(stdin=data)
    assert path.stat().st_mode & 0o777 == 0o640
    assert os.listdir(tmp_path) == ["data", "spill"]  # no temporary output left


@pytest.mark.parametrize("args, status, message", [
    (["/nonexistent/input"], 1, b"quillmere: cannot read /nonexistent/input: No such file"),
    (["-o", "/nonexistent/dir/out", "IN"], 1, b"quillmere: cannot write /nonexistent/dir/out"),
    (["-T", "/nonexistent", "IN"], 1, b"quillmere: cannot spill into the temporary directory"),
    (["-k", "0", "IN"], 2, b"quillmere: field number is zero"),
    (["-k", "1.0", "IN"], 2, b"quillmere: character offset is zero"),
    (["-k", "1f", "IN"], 2, b"quillmere: ordering option 'f'"),
    (["-k", "x", "IN"], 2, b"quillmere: invalid key definition 'x'"),
    (["-S", "10x", "IN"], 2, b"quillmere: invalid -S size '10x'"),
    (["-t", "ab", "IN"], 2, b"quillmere: the field separator must be one byte"),
    (["--max-open", "1", "IN"], 2, b"quillmere: --max-open must be at least 2"),
    (["--bogus", "IN"], 2, b"quillmere: unrecognized arguments: --bogus"),
    (["--csv", "-k", "nope", "CSV"], 2, b"quillmere: no column named 'nope'"),
    (["--csv", "-k", "nope", "HEADER"], 2, b"quillmere: no column named 'nope'"),
    (["--jsonl", "BADJSON"], 1, b"/BADJSON: line 2: invalid JSON: Expecting value at column 7"),
    (["--jsonl", "-n", "IN"], 2, b"quillmere: -n cannot be used with --jsonl"),
    (["-T", "SMALL", "-S", "1M", "BIG"], 1, b"No space left on device"),
])
def test_errors(tmp_path, args, status, message):
    files = {"IN": b"b\na\n", "CSV": b"x,y\n1,2\n", "HEADER": b"x,y\n",
             "BADJSON": b'{"a": 1}\n{"a": \n'}
    for name, content in files.items():
        (tmp_path / name).write_bytes(content)
    small = os.environ.get("QUILLMERE_SMALL_DISK")
    if "BIG" in args:
        if not small:
            pytest.skip("no small disk to fill (QUILLMERE_SMALL_DISK)")
        # Random hex lines: far more than the small disk holds, even compressed.
        text = random.Random(1).randbytes(6 << 20).hex().encode()
        (tmp_path / "BIG").write_bytes(b"\n".join(re.findall(rb".{1,80}", text)))
    args = [small if a == "SMALL" else tmp_path / a if a in files or a == "BIG" else a
            for a in args]
    code, out, err = quillmere(*args, check=False)
    assert code == status
    assert message in err and err.count(b"\n") == 1 and out == b""
    if small and small in args:
        assert not [n for n in os.listdir(small) if n.startswith("quillmere-")]


def test_ctrl_c_while_reading_leaves_nothing(tmp_path, spill_dir):
    out = tmp_path / "out"
    out.write_bytes(b"old\n")
    proc = subprocess.Popen([sys.executable, "-m", "quillmere", "-S", "64K", "-T", spill_dir,
                             "-o", out], stdin=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)
    lines = make_lines(random.Random(9), 4000)
    proc.stdin.write(lines)
    proc.stdin.flush()
    deadline = time.monotonic() + 60
    while not os.listdir(spill_dir) and time.monotonic() < deadline:
        time.sleep(0.02)  # until it has spilled, still waiting for more input
    assert os.listdir(spill_dir), "nothing was spilled"
    proc.send_signal(signal.SIGINT)
    assert proc.wait(timeout=60) == 130
    proc.stdin.close()
    proc.stderr.close()
    assert out.read_bytes() == b"old\n"
    assert sorted(os.listdir(tmp_path)) == ["out", "spill"]  # spill_dir checks it is empty


def test_progress_only_on_a_terminal(tmp_path):
    data = tmp_path / "data"
    data.write_bytes(b"b\na\n" * 1000)
    for quiet, shown in ((False, True), (True, False)):
        reader, writer = os.openpty()
        proc = subprocess.run([sys.executable, "-m", "quillmere", *(["--quiet"] * quiet), data],
                              stdout=subprocess.PIPE, stderr=writer, env=ENV, timeout=60)
        os.close(writer)
        err = b""
        while True:
            try:
                chunk = os.read(reader, 4096)
            except OSError:  # the terminal's other end is closed
                break
            if not chunk:
                break
            err += chunk
        os.close(reader)
        assert proc.returncode == 0 and proc.stdout == b"a\n" * 1000 + b"b\n" * 1000
        assert (b"quillmere: merging: 2,000 lines" in err) == shown
        assert (err.endswith(b"\r\x1b[K")) == shown


CSV_TEXT = (
    'name,price,note\r\n'
    'pear,10,"two\r\nlines"\r\n'
    'fig,9.5,plain\r\n'
    'apple,-1,"quoted ""x"""\r\n'
    'fig,,short\r\n'
    'kiwi,10,\r\n'
    'date,0010,"a,b"'  # no final line break
)


def gnu_number(text):
    """The value GNU sort's -n reads from a field: zero when there is none."""
    m = re.match(r"[ \t]*(-?)(\d*)(?:\.(\d*))?", text)
    digits = (m.group(2) or "0") + "." + (m.group(3) or "0")
    return Decimal(m.group(1) + digits) if re.search(r"\d", m.group(0)) else Decimal(0)


def csv_model(names, numeric, reverse, unique):
    """The expected output, from Python's csv module and its stable sort."""
    rows = list(csv.reader(io.StringIO(CSV_TEXT, newline="")))
    header, rows = rows[0], rows[1:]
    records = CSV_TEXT.split("\r\n")
    texts = [records[1] + "\r\n" + records[2]] + records[3:]
    columns = [header.index(n) for n in names]

    def key(row):
        return [gnu_number(row[c]) if numeric else row[c] for c in columns]

    out, last = [], None
    for row, text in sorted(zip(rows, texts), key=lambda p: key(p[0]), reverse=reverse):
        if not unique or key(row) != last:
            out.append(text + "\r\n")
        last = key(row)
    return ("name,price,note\r\n" + "".join(out)).encode()


@pytest.mark.parametrize("options, names, numeric, reverse, unique", [
    (["-k", "name"], ["name"], False, False, False),
    (["-k", "price", "-n"], ["price"], True, False, False),
    (["-k", "price", "-n", "-r", "-u"], ["price"], True, True, True),
    (["-k", "name", "-k", "price", "-n"], ["name", "price"], True, False, False),
    (["-k", "name", "-r", "-u", "-S", "64K"], ["name"], False, True, True),
])
def test_csv(tmp_path, options, names, numeric, reverse, unique):
    path = tmp_path / "in.csv"
    path.write_bytes(CSV_TEXT.encode())
    _, out, _ = quillmere("--csv", *options, "-T", tmp_path, path)
    assert out == csv_model(names, numeric, reverse, unique)


@pytest.mark.parametrize("options, key, reverse", [
    ([], lambda row: row, False),
    (["-n"], lambda row: [int(v) for v in row], False),
    (["-k", "y", "-n", "-r"], lambda row: int(row[1]), True),
])
def test_csv_files_without_records(tmp_path, options, key, reverse):
    """Empty and header-only files, first or last, and a file that ends on a
    full batch of records, add no records and break nothing."""
    empty, header, full = (tmp_path / n for n in ("empty.csv", "header.csv", "full.csv"))
    empty.write_bytes(b"")
    header.write_bytes(b"x,y\n")
    rows = [[str(i % 97), str(i)] for i in range(4096)]  # as many as the command batches
    full.write_text("x,y\n" + "".join(f"{x},{y}\n" for x, y in rows))
    _, out, _ = quillmere("--csv", *options, "-T", tmp_path, header)
    assert out == b"x,y\n"
    _, out, _ = quillmere("--csv", *options, "-T", tmp_path, empty)
    assert out == b""
    _, out, _ = quillmere("--csv", *options, "-T", tmp_path, empty, header, full, header)
    expected = sorted(rows, key=key, reverse=reverse)
    assert out.decode() == "x,y\n" + "".join(f"{x},{y}\n" for x, y in expected)


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
        ([], [1, 10, 11, 3, 7, 6, 13, 8, 0, 12, 2, 14, 5, 4, 9]),
        (["-r"], [9, 4, 5, 2, 14, 12, 0, 8, 13, 6, 7, 3, 1, 10, 11]),
        (["-u"], [1, 3, 7, 6, 13, 8, 0, 12, 2, 5, 4, 9]),
        (["-k", "b", "-k", "a"], [10, 11, 3, 7, 6, 8, 0, 12, 2, 5, 4, 9, 14, 1, 13]),
    ]:
        _, out, _ = quillmere("--jsonl", *(options if "-k" in options else ["-k", "a", *options]),
                              path)
        assert out.decode() == "".join(lines[i] for i in order), options
