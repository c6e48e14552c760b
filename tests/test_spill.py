import os
import random
import signal
import subprocess
import sys
import textwrap
import threading

import pytest

import _quillmere_test as qt
from _quillmere import Sorter
from conftest import pool_threads
from runfiles import read_records


class SeqCodec:
    """Encodes an item (key, seq) as its sequence number, to check ties."""

    def encode(self, item):
        return item[1].to_bytes(8, "big")

    def decode(self, data):
        return data


def spill_names(spill_dir):
    (private,) = os.listdir(spill_dir)
    assert private.startswith("quillmere-") and len(private) == 16
    return private, sorted(os.listdir(spill_dir / private))


@pytest.mark.parametrize("threads", [1, 3])
def test_spilled_runs_are_sorted_with_ties_in_order_of_addition(spill_dir, threads):
    rng = random.Random(threads)
    items = [(rng.randrange(50), seq) for seq in range(30000)]
    s = Sorter(key=lambda item: item[0], codec=SeqCodec(), tmp_dir=spill_dir,
               max_bytes=200_000, threads=threads)
    for item in items:
        s.add(item)
    qt.wait_spill(s)
    runs = qt.runs(s)
    assert len(runs) >= 5
    private, names = spill_names(spill_dir)
    assert names == [f"run-{i:06d}" for i in range(len(runs))]
    seen = 0
    for path, count, size in runs:
        assert os.path.dirname(path) == str(spill_dir / private)
        records = read_records(path)
        assert len(records) == count >= 1
        assert size == sum(len(k) + len(p) + 8 for k, p in records)
        # Each run holds the next items in order of addition, sorted by key,
        # equal keys in the order they were added.
        expected = sorted(items[seen:seen + count], key=lambda item: item[0])
        assert records == [(qt.encode_key(k), seq.to_bytes(8, "big")) for k, seq in expected]
        seen += count
    assert seen < len(items)  # the rest is held in memory
    s.close()
    assert os.listdir(spill_dir) == []


def test_every_item_alone_with_the_smallest_budget(spill_dir):
    s = Sorter(tmp_dir=spill_dir, max_bytes=2)
    for i in range(10):
        s.add(i)
    qt.wait_spill(s)
    runs = qt.runs(s)
    assert [count for _, count, _ in runs] == [1] * 9  # the tenth is held
    assert [read_records(p)[0][0] for p, _, _ in runs] == [qt.encode_key(i) for i in range(9)]
    assert len(s) == 10
    s.close()


def test_the_private_directory_goes_with_the_sorter(spill_dir):
    s = Sorter(tmp_dir=spill_dir, max_bytes=4096)
    for i in range(2000):
        s.add_encoded(i, b"x" * 100)
    assert len(os.listdir(spill_dir)) == 1
    del s  # a spill may still be running: it is waited for
    assert os.listdir(spill_dir) == []


def test_directory_is_private(spill_dir):
    old = os.umask(0)
    try:
        s = Sorter(tmp_dir=spill_dir, max_bytes=2)
        s.add(1)
        s.add(2)
        private, _ = spill_names(spill_dir)
        assert os.stat(spill_dir / private).st_mode & 0o777 == 0o700
        s.close()
    finally:
        os.umask(old)


class Interrupted(Exception):
    pass


def interrupt(*_):
    raise Interrupted


# Halves this large are sorted on the pool (small ones on the spill thread
# itself), so holding the pool's threads holds the spill.
BIG_HALVES = 3_000_000


def stuck_spill(spill_dir):
    """A sorter whose spill in flight cannot end until the gate opens, and
    whose next add (of item i) will wait for it."""
    s = Sorter(tmp_dir=spill_dir, max_bytes=BIG_HALVES, threads=2)
    gate = qt.hold_pool(s)
    i = 0
    while not qt.must_wait(s, len(qt.encode_key(i))):
        s.add_encoded(i, b"")
        i += 1
    return s, gate, i


def signal_soon():
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGUSR1))
    timer.start()
    return timer


def test_a_raising_signal_handler_interrupts_a_wait_for_a_spill(spill_dir):
    s, gate, i = stuck_spill(spill_dir)
    old = signal.signal(signal.SIGUSR1, interrupt)
    try:
        timer = signal_soon()
        with pytest.raises(Interrupted):
            s.add_encoded(i, b"")
        timer.join()
    finally:
        signal.signal(signal.SIGUSR1, old)
    assert len(s) == i  # nothing was added
    assert len(qt.runs(s)) == 1
    gate.open()
    s.add_encoded(i, b"")  # the same spill is waited for again, and ends
    qt.wait_spill(s)
    assert len(s) == i + 1
    (first, _, _), (second, _, _) = qt.runs(s)
    keys = [k for k, _ in read_records(first) + read_records(second)]
    assert keys == [qt.encode_key(n) for n in range(i)]
    s.close()


def test_a_signal_handler_calling_back_is_a_reentrant_call(spill_dir):
    s, gate, i = stuck_spill(spill_dir)
    caught = []

    def handler(*_):
        try:
            s.add(-1)
        except RuntimeError as e:
            caught.append(str(e))
        gate.open()

    old = signal.signal(signal.SIGUSR1, handler)
    try:
        timer = signal_soon()
        s.add_encoded(i, b"")  # waits; the handler runs inside the wait, then it ends
        timer.join()
    finally:
        signal.signal(signal.SIGUSR1, old)
    assert caught == ["reentrant call"]
    assert len(s) == i + 1
    s.close()


def test_dropping_a_sorter_joins_its_spill(spill_dir):
    before = pool_threads()
    s, gate, _ = stuck_spill(spill_dir)
    threading.Timer(0.2, gate.open).start()
    s.close()  # waits for the spill, then removes the directory
    assert os.listdir(spill_dir) == []
    assert pool_threads() == before


FAILING_SPILL = textwrap.dedent("""
    import random, resource, signal, sys
    from _quillmere import Sorter
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, 100_000))
    s = Sorter(tmp_dir=sys.argv[1], max_bytes=1_000_000)
    errors = []
    for i in range(20_000):
        try:
            s.add_encoded(i, random.randbytes(100))  # incompressible
        except Exception as e:
            errors.append(f"{type(e).__name__}: {e}")
            if len(errors) == 3:
                break
    s.close()
    print("\\n".join(errors))
""")


def test_a_failed_spill_stops_the_sorter(spill_dir):
    result = subprocess.run([sys.executable, "-c", FAILING_SPILL, str(spill_dir)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    first, second, third = result.stdout.splitlines()
    assert first.startswith("OSError: " + str(spill_dir))
    assert first.endswith(f"/run-000000: {os.strerror(27)} (os error 27)")
    lost = "RuntimeError: an earlier error lost records, so sorting cannot go on"
    assert second == third == lost
