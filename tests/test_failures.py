"""Faults from outside: damaged runs, a filling disk, a vanishing directory,
memory that runs out, threads that cannot start. Each gives a clear error,
leaves the sorter in a known state, and leaves nothing on disk."""

import io
import os
import random
import shutil
import struct
import subprocess
import sys
import textwrap

import pytest

import _quillmere_test as qt
from _quillmere import Sorter
from conftest import LOST, READ_TWICE, STOPPED, run_files

SMALL_DISK = os.environ.get("QUILLMERE_SMALL_DISK")
needs_small_disk = pytest.mark.skipif(
    not (SMALL_DISK and os.path.ismount(SMALL_DISK)), reason="no small tmpfs (tools/env mounts one)")


def spilled(spill_dir, count, max_bytes, max_open=64, shuffle=None):
    """A sorter holding `count` items keyed 0, 1, ..., with every spill written."""
    keys = list(range(count))
    if shuffle is not None:
        random.Random(shuffle).shuffle(keys)
    s = Sorter(tmp_dir=spill_dir, max_bytes=max_bytes, max_open=max_open)
    for i in keys:
        s.add_encoded(i, i.to_bytes(4, "big"))
    qt.wait_spill(s)
    return s


def assert_stopped(s, spill_dir):
    assert os.listdir(spill_dir) == []
    for read in (s.sort, s.encoded):
        with pytest.raises(RuntimeError) as info:
            read()
        assert str(info.value) == STOPPED


def cut(path, keep):
    os.truncate(path, keep)


def set_header(path, block, compressed=None, size=None):
    """Rewrites a field of a block's header."""
    with open(path, "r+b") as f:
        at = 0
        for _ in range(block):
            f.seek(at)
            at += 8 + struct.unpack("<I", f.read(4))[0]
        f.seek(at)
        c, u = struct.unpack("<II", f.read(8))
        f.seek(at)
        f.write(struct.pack("<II", c if compressed is None else compressed, u if size is None else size))


@pytest.mark.parametrize("damage, message", [
    (lambda p: cut(p, 5), " ended before its last record"),
    (lambda p: set_header(p, 0, compressed=0), " is corrupt: a block has an impossible length"),
    (lambda p: set_header(p, 0, compressed=200_000), " is corrupt: a block has an impossible length"),
    (lambda p: set_header(p, 0, size=131073), " is corrupt: a block has an impossible length"),
])
@pytest.mark.parametrize("max_open", [64, 2])  # met by the final merge, or by a merge pass
def test_damage_found_before_reading(spill_dir, damage, message, max_open):
    s = spilled(spill_dir, 30_000, 100_000, max_open)
    path = run_files(spill_dir)[0]  # equal runs: the first window is merged first
    damage(path)
    with pytest.raises(OSError) as info:
        s.sort()
    assert (type(info.value), str(info.value)) == (OSError, path + message)
    assert_stopped(s, spill_dir)


@pytest.mark.parametrize("reader", ["encoded", "write_to"])
def test_damage_found_while_reading(spill_dir, reader):
    s = spilled(spill_dir, 200_000, 1_000_000)
    path = run_files(spill_dir)[0]
    # The second block says it holds a byte less than it decompresses to:
    # only decompressing that block reveals it.
    with open(path, "rb") as f:
        compressed, size = struct.unpack("<II", f.read(8))
        f.seek(8 + compressed + 4)
        second = struct.unpack("<I", f.read(4))[0]
    set_header(path, 1, size=second - 1)
    got = []
    with pytest.raises(OSError) as info:
        if reader == "encoded":
            it = s.encoded()
            for payload in it:
                got.append(int.from_bytes(payload, "big"))
        else:
            s.write_to(io.BytesIO())
    assert str(info.value) == path + " is corrupt: a block does not decompress to its length"
    assert got == list(range(len(got)))  # what came out was right
    if reader == "encoded":
        assert list(it) == []  # then the iteration ends
        assert_stopped(s, spill_dir)
    else:  # write_to took the merge: the sorter was read
        assert os.listdir(spill_dir) == []
        with pytest.raises(RuntimeError, match=READ_TWICE):
            s.encoded()


@pytest.mark.parametrize("seed", range(8))
def test_runs_damaged_at_random(spill_dir, seed):
    rng = random.Random(seed)
    s = spilled(spill_dir, 20_000, 200_000, shuffle=seed)
    path = rng.choice(run_files(spill_dir))
    size = os.path.getsize(path)
    if seed % 2:
        cut(path, rng.randrange(size))
    else:
        with open(path, "r+b") as f:
            at = rng.randrange(size)
            f.seek(at)
            byte = f.read(1)[0]
            f.seek(at)
            f.write(bytes([byte ^ (1 << rng.randrange(8))]))
    # No checksum guards a run: a flipped byte can go unnoticed. But the
    # sort never crashes, a fault it finds names the run, and either way
    # nothing is left on disk.
    try:
        out = [int.from_bytes(p, "big") for p in s.encoded()]
    except OSError as e:
        assert type(e) is OSError and str(e).startswith(path)
        assert str(e).endswith(" ended before its last record") or " is corrupt: " in str(e)
        assert_stopped(s, spill_dir)
    else:
        assert len(out) <= 20_000
    assert os.listdir(spill_dir) == []


@pytest.fixture
def small_disk():
    path = os.path.join(SMALL_DISK, "spill")
    os.mkdir(path)
    yield path
    assert os.listdir(path) == [], "the sorter left files behind"
    os.rmdir(path)


@needs_small_disk
def test_a_disk_that_fills_while_spilling(small_disk):
    rng = random.Random(1)
    s = Sorter(tmp_dir=small_disk, max_bytes=2_000_000)
    errors = []
    for i in range(100_000):
        try:
            s.add_encoded(i, rng.randbytes(100))  # incompressible
        except (OSError, RuntimeError) as e:
            errors.append(e)
            if len(errors) == 2:
                break
    full, lost = errors
    assert type(full) is OSError and str(full).startswith(small_disk + "/quillmere-")
    assert str(full).endswith(f": {os.strerror(28)} (os error 28)")
    assert (type(lost), str(lost)) == (RuntimeError, LOST)
    with pytest.raises(RuntimeError) as info:
        s.sort()
    assert str(info.value) == LOST
    assert os.listdir(small_disk) == []


@needs_small_disk
def test_a_disk_that_fills_during_a_merge_pass(small_disk):
    # The runs fit, but a pass needs room for one more copy of what it merges.
    rng = random.Random(2)
    s = Sorter(tmp_dir=small_disk, max_bytes=300_000, max_open=2)
    for i in range(24_000):
        s.add_encoded(rng.getrandbits(40), rng.randbytes(100))
    qt.wait_spill(s)
    with pytest.raises(OSError) as info:
        list(s.encoded())
    assert f"{os.strerror(28)} (os error 28)" in str(info.value)
    assert_stopped(s, small_disk)


def test_the_private_directory_deleted_between_spills(spill_dir):
    s = Sorter(tmp_dir=spill_dir, max_bytes=10_000)
    i = 0
    while not os.listdir(spill_dir):
        s.add_encoded(i, bytes(20))
        i += 1
    qt.wait_spill(s)
    (private,) = os.listdir(spill_dir)
    shutil.rmtree(spill_dir / private)
    with pytest.raises(FileNotFoundError) as info:
        for j in range(i, i + 10_000):
            s.add_encoded(j, bytes(20))
    assert str(info.value).startswith(str(spill_dir / private / "run-"))
    with pytest.raises(RuntimeError) as info:
        s.add(1)
    assert str(info.value) == LOST
    s.close()


def run_python(code):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


def test_merging_opens_at_most_max_open_runs(spill_dir):
    # Users pick max_open to stay within their limit of open files: a merge
    # pass opens max_open runs and its output, the final merge max_open runs.
    lines = run_python(f"""
    import os, resource
    from _quillmere import Sorter
    s = Sorter(tmp_dir={str(spill_dir)!r}, max_bytes=2000, max_open=4)
    for i in range(3000):
        s.add_encoded(-i, i.to_bytes(2, "big"))
    open_now = len(os.listdir("/proc/self/fd")) - 1  # less the listing's own
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (open_now + 4 + 1, hard))
    out = [int.from_bytes(p, "big") for p in s.encoded()]
    print(out == list(range(2999, -1, -1)))
    """)
    assert lines == ["True"]


def test_memory_that_runs_out(spill_dir):
    lines = run_python(f"""
    import resource
    from _quillmere import Sorter
    s = Sorter(tmp_dir={str(spill_dir)!r}, max_bytes=1 << 40)
    used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (used + (300 << 20),) * 2)
    added = 0
    try:
        while True:
            s.add_encoded(added, bytes(1 << 20))
            added += 1
    except MemoryError as e:
        print(type(e).__name__, added > 10)
    s.close()
    print("closed", len(s) == added)
    """)
    assert lines == ["MemoryError True", "closed True"]
