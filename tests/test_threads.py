"""Threads, signals and fork: waits that a signal handler interrupts, threads
that share one sorter, and a child that inherits one."""

import collections
import gc
import io
import os
import random
import threading
import time
import warnings

import pytest

import _quillmere_test as qt
from _quillmere import Sorter
from conftest import (ADD_AFTER_READ, CLOSED, Interrupted, merge_threads, pool_threads, settled,
                      signal_in)


def stuck_spill(spill_dir):
    """A sorter whose spill in flight cannot end until the gate opens (halves
    this large are sorted on the pool, which the gate holds), and whose next
    add, of key i, will wait for it."""
    s = Sorter(tmp_dir=spill_dir, max_bytes=3_000_000, threads=2)
    gate = qt.hold_pool(s)
    i = 0
    while not qt.must_wait(s, 10):
        s.add_encoded(i, b"")
        i += 1
    return s, gate, i


def test_a_raising_handler_interrupts_a_wait_for_a_spill(spill_dir):
    s, gate, i = stuck_spill(spill_dir)
    with signal_in(0.2), pytest.raises(Interrupted):
        s.add_encoded(i, b"")
    assert len(s) == i  # nothing was added
    qt.open_gate(gate)
    s.add_encoded(i, b"")  # the same spill is waited for again, and ends
    assert list(s.encoded()) == [b""] * (i + 1)


def test_a_handler_calling_back_is_a_reentrant_call(spill_dir):
    s, gate, i = stuck_spill(spill_dir)
    caught = []

    def handler(*_):
        try:
            s.add(-1)
        except RuntimeError as e:
            caught.append(str(e))
        qt.open_gate(gate)

    with signal_in(0.2, handler):
        s.add_encoded(i, b"")  # waits; the handler runs inside the wait, then it ends
    assert caught == ["reentrant call"] and len(s) == i + 1
    s.close()


def test_dropping_a_sorter_joins_its_spill(spill_dir):
    before = pool_threads()
    s, gate, _ = stuck_spill(spill_dir)
    threading.Timer(0.2, qt.open_gate, (gate,)).start()
    del s  # waits for the spill, then removes the directory
    assert os.listdir(spill_dir) == []
    assert settled(pool_threads, before) == before


def spilled(spill_dir, count, max_bytes, max_open=64):
    s = Sorter(tmp_dir=spill_dir, max_bytes=max_bytes, max_open=max_open)
    for i in range(count):
        s.add_encoded(i, i.to_bytes(4, "big"))
    return s


# Four runs of about 330k records with max_open 2: passes that move 1.3M
# records, looking for signals every 65536. sort() is one call into the
# module, so only its own checks can run the handler.
LONG_PASSES = dict(count=1_400_000, max_bytes=20_000_000, max_open=2)


@pytest.mark.parametrize("when", ["merge pass", "refill", "write_to"])
def test_a_signal_interrupts_merging_and_reading(spill_dir, when):
    if when == "merge pass":
        s = spilled(spill_dir, **LONG_PASSES)
        read = s.sort
    elif when == "refill":
        s = spilled(spill_dir, 2_000_000, 30_000_000)
        it = s.encoded()
        next(it)
        read = lambda: list(it)  # noqa: E731 C code calling next(): only the refill checks
    else:
        # Tiny records in random order over many runs: each chunk takes the
        # merge a long while, so the writer mostly waits.
        rng = random.Random(5)
        s = Sorter(tmp_dir=spill_dir, max_bytes=4_000_000)
        for _ in range(4_000_000):
            s.add_encoded(rng.getrandbits(40), b"x")
        read = lambda: s.write_to(io.BytesIO())  # noqa: E731
    with signal_in(0.05), pytest.raises(Interrupted):
        read()
    assert settled(merge_threads, 0) == 0
    assert os.listdir(spill_dir) == []
    if when == "refill":
        assert list(it) == []


def test_reading_from_a_handler_inside_a_merge_is_a_reentrant_call(spill_dir):
    s = spilled(spill_dir, **LONG_PASSES)
    caught = []

    def handler(*_):
        try:
            s.sort()
        except RuntimeError as e:
            caught.append(str(e))

    with signal_in(0.05, handler):
        out = s.encoded()  # the handler's call fails; this one goes on
    assert caught == ["reentrant call"]
    assert sum(1 for _ in out) == LONG_PASSES["count"]


def run_all(*targets):
    threads = [threading.Thread(target=t) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
        assert not t.is_alive(), "a thread hung"


def test_threads_adding_while_len_is_read(spill_dir):
    adders, each = 4, 20_000
    s = Sorter(tmp_dir=spill_dir, max_bytes=100_000, threads=2)
    lengths, done = [], threading.Event()

    def add(k):
        for i in range(each):
            s.add((i % 97, k, i))
        done.set()

    def watch():
        while not done.is_set():
            lengths.append(len(s))

    run_all(watch, *[lambda k=k: add(k) for k in range(adders)])
    assert lengths == sorted(lengths)
    out = list(s.sort())
    assert len(out) == len(s) == adders * each
    # Sorted by key; each thread's items with equal keys in that thread's order.
    assert out == sorted(out, key=lambda item: item[0])
    for k in range(adders):
        mine = [item for item in out if item[1] == k]
        assert mine == sorted(mine, key=lambda item: (item[0], item[2]))


@pytest.mark.parametrize("seed", range(4))
def test_reading_or_closing_races_with_adding(spill_dir, seed):
    """What was added before a reader or closer arrived is read back exactly;
    every later add fails with its own error."""
    rng = random.Random(seed)
    closing = seed % 2 == 1
    s = Sorter(tmp_dir=spill_dir, max_bytes=50_000, threads=1 + seed % 2)
    added, refused, out = [[] for _ in range(3)], collections.Counter(), []
    stop = threading.Event()

    def add(k):
        for i in range(1_000_000):
            if stop.is_set():
                return
            try:
                s.add_encoded(i, f"{k}:{i}".encode())
            except (ValueError, RuntimeError) as e:
                refused[str(e)] += 1
                return
            added[k].append(f"{k}:{i}".encode())

    def interrupt():
        time.sleep(rng.uniform(0.02, 0.2))
        if closing:
            s.close()
        else:
            out.extend(s.encoded())
        stop.set()

    run_all(interrupt, *[lambda k=k: add(k) for k in range(3)])
    assert set(refused) <= {CLOSED if closing else ADD_AFTER_READ}
    assert len(s) == sum(len(a) for a in added)
    if not closing:
        assert collections.Counter(out) == collections.Counter(p for a in added for p in a)


@pytest.mark.parametrize("closing", [False, True])
def test_threads_sharing_an_iterator(spill_dir, closing):
    count = 100_000
    s = spilled(spill_dir, count, 300_000)
    it = s.encoded()
    got = [[] for _ in range(4)]
    barrier = threading.Barrier(5 if closing else 4)

    def read(k):
        barrier.wait()
        try:
            for payload in it:
                got[k].append(int.from_bytes(payload, "big"))
        except ValueError as e:
            assert closing and str(e) == CLOSED

    def close():
        barrier.wait()
        time.sleep(0.01)
        s.close()

    run_all(*[lambda k=k: read(k) for k in range(4)], *([close] if closing else []))
    everything = [i for part in got for i in part]
    assert len(everything) == len(set(everything))  # nothing twice
    if not closing:
        assert sorted(everything) == list(range(count))
    for part in got:
        assert part == sorted(part)  # each reader's share came in order
    assert os.listdir(spill_dir) == []


def test_a_close_waiting_behind_a_read_keeps_the_sorter_closed(spill_dir):
    # A read that got the lock first used to mark the sorter read over the
    # close that was already waiting, so later adds spoke of reading.
    for _ in range(5):
        s = Sorter(tmp_dir=spill_dir)
        s.add(1)
        entered, leave = threading.Event(), threading.Event()
        holder = threading.Thread(target=qt.hold_lock,
                                  args=(s, lambda: (entered.set(), leave.wait(10))))
        holder.start()
        assert entered.wait(10)
        outcome = []

        def read():
            try:
                outcome.append(list(s.sort()))
            except ValueError as e:
                outcome.append(str(e))

        def close():
            time.sleep(0.02)  # the reader waits for the lock first
            s.close()

        def release():
            time.sleep(0.04)
            leave.set()

        run_all(read, close, release)
        holder.join()
        assert outcome[0] in ([1], CLOSED)
        with pytest.raises(ValueError, match=CLOSED):
            s.add(2)


def forked(child, timeout=20):
    """Runs child() in a forked process and returns its exit code; a child
    that hangs is killed and fails the test."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads
        pid = os.fork()
    if pid == 0:
        code = 1
        try:
            code = child()
        finally:
            os._exit(code)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    pytest.fail("the child hung dropping an inherited sorter")


@pytest.mark.parametrize("holding", ["nothing", "a stuck spill", "the lock"])
def test_a_forked_child_leaves_the_parents_sorter_alone(spill_dir, holding):
    if holding == "a stuck spill":
        s, gate, count = stuck_spill(spill_dir)  # a spill waits for the pool across the fork
    else:
        s, gate, count = spilled(spill_dir, 150_000, 3_000_000), None, 150_000
    (private,) = os.listdir(spill_dir)
    release = threading.Event()
    holder = None
    if holding == "the lock":
        entered = threading.Event()
        holder = threading.Thread(target=qt.hold_lock,
                                  args=(s, lambda: (entered.set(), release.wait(30))))
        holder.start()
        entered.wait(10)

    def child():
        # The parent's threads are not here; its files are not the child's.
        nonlocal s
        del s
        gc.collect()
        return 0 if os.path.isdir(spill_dir / private) else 3

    assert forked(child) == 0
    release.set()
    if holder:
        holder.join()
    if gate:
        qt.open_gate(gate)
    assert os.path.isdir(spill_dir / private)
    expected = [b""] * count if gate else [i.to_bytes(4, "big") for i in range(count)]
    assert list(s.encoded()) == expected
    assert os.listdir(spill_dir) == []
