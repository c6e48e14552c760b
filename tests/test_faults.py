"""Faults from outside: a filling disk, a vanishing directory, damaged runs,
memory that runs out, threads that cannot start. Each gives a clear error,
leaves the sorter in a known state, and leaves nothing on disk."""

import os
import random
import shutil
import subprocess
import sys
import textwrap

import pytest

import _quillmere_test as qt
from _quillmere import Sorter

LOST = "an earlier error lost records, so sorting cannot go on"
STOPPED = "the sorter stopped when reading it failed or was interrupted"
SMALL_DISK = os.environ.get("QUILLMERE_SMALL_DISK")
needs_small_disk = pytest.mark.skipif(
    not (SMALL_DISK and os.path.ismount(SMALL_DISK)), reason="no small tmpfs (tools/env mounts one)")


def run_python(code, timeout=120):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                            text=True, timeout=timeout)
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


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
    assert type(full) is OSError
    assert str(full).startswith(small_disk + "/quillmere-")
    assert str(full).endswith(f": {os.strerror(28)} (os error 28)")
    assert type(lost) is RuntimeError and str(lost) == LOST
    with pytest.raises(RuntimeError) as info:
        s.sort()
    assert str(info.value) == LOST
    assert qt.state(s) == "Stopped"
    assert os.listdir(small_disk) == []


@needs_small_disk
def test_a_disk_that_fills_during_a_merge_pass(small_disk):
    # The runs fit, but a pass needs room for one more copy of what it merges.
    rng = random.Random(2)
    s = Sorter(tmp_dir=small_disk, max_bytes=300_000, max_open=2)
    for i in range(24_000):
        s.add_encoded(rng.getrandbits(40), rng.randbytes(100))
    qt.wait_spill(s)
    assert len(qt.runs(s)) > 2
    with pytest.raises(OSError) as info:
        list(s.encoded())
    assert f"{os.strerror(28)} (os error 28)" in str(info.value)
    assert qt.state(s) == "Stopped"
    assert os.listdir(small_disk) == []


def test_the_private_directory_deleted_between_spills(spill_dir):
    s = Sorter(tmp_dir=spill_dir, max_bytes=10_000)
    i = 0
    while not qt.runs(s):
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


@pytest.mark.parametrize("seed", range(12))
def test_runs_damaged_at_random_before_reading(spill_dir, seed):
    rng = random.Random(seed)
    s = Sorter(tmp_dir=spill_dir, max_bytes=200_000)
    items = list(range(20_000))
    rng.shuffle(items)
    for i in items:
        s.add_encoded(i, i.to_bytes(4, "big"))
    qt.wait_spill(s)
    path, _, _ = rng.choice(qt.runs(s))
    size = os.path.getsize(path)
    with open(path, "r+b") as f:
        if seed % 2:
            f.truncate(rng.randrange(size))
        else:
            at = rng.randrange(size)
            f.seek(at)
            byte = f.read(1)[0]
            f.seek(at)
            f.write(bytes([byte ^ (1 << rng.randrange(8))]))
    # No checksum guards a run: a flipped byte can go unnoticed. But the
    # sort never crashes, a detected fault names the run, and either way
    # nothing is left on disk.
    try:
        out = [int.from_bytes(p, "big") for p in s.encoded()]
    except OSError as e:
        assert type(e) is OSError and str(e).startswith(path)
        assert str(e).endswith(" ended before its last record") or " is corrupt: " in str(e)
        assert qt.state(s) == "Stopped"
    else:
        assert len(out) <= len(items)
    assert os.listdir(spill_dir) == []


def test_memory_that_runs_out(spill_dir):
    lines = run_python(f"""
        import resource
        from _quillmere import Sorter
        s = Sorter(tmp_dir={str(spill_dir)!r}, max_bytes=1 << 40)
        used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + (300 << 20),) * 2)
        chunk = bytes(1 << 20)
        added = 0
        try:
            while True:
                s.add_encoded(added, chunk)
                added += 1
        except MemoryError as e:
            print(type(e).__name__, added > 10)
        s.close()
        print("closed", len(s) == added)
    """)
    assert lines == ["MemoryError True", "closed True"]


@pytest.mark.skipif(os.environ.get("QUILLMERE_SANITIZED") == "address",
                    reason="under the lowered address-space limit ASan aborts the process when "
                           "it cannot map a new thread's fake stack, before the thread fails")
def test_threads_that_cannot_start(spill_dir):
    # A separate process each: a thread that has ended leaves its stack in
    # a cache the next thread would reuse.
    pool = run_python(f"""
        import resource
        from _quillmere import Sorter
        used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        # Room for a few 8 MiB thread stacks, not for 64 of them.
        resource.setrlimit(resource.RLIMIT_AS, (used + (40 << 20),) * 2)
        try:
            Sorter(tmp_dir={str(spill_dir)!r}, threads=64)
        except OSError as e:
            print(type(e).__name__, "cannot start the worker pool" in str(e))
    """)
    assert pool == ["OSError True"]
    spill = run_python(f"""
        import resource
        from _quillmere import Sorter
        s = Sorter(tmp_dir={str(spill_dir)!r}, max_bytes=2)
        s.add(0)
        used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + (4 << 20),) * 2)
        errors = []
        for i in range(1, 4):
            try:
                s.add(i)
            except Exception as e:
                errors.append(f"{{type(e).__name__}}: {{e}}")
        s.close()
        print("\\n".join(errors))
    """)
    assert spill[0] == f"BlockingIOError: {os.strerror(11)} (os error 11)"
    assert spill[1:] == [f"RuntimeError: {LOST}"] * 2
    assert os.listdir(spill_dir) == []
