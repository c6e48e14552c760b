"""Many threads on one sorter at once: every item comes back exactly once
or its add raised one of the specified errors, nothing else is raised, and
no private directory survives."""

import collections
import os
import random
import threading
import time

import pytest

import _quillmere_test as qt
from _quillmere import Sorter

CLOSED = "I/O operation on a closed sorter"
READ = "cannot add to a sorter once it has been read"


def start_all(targets):
    threads = [threading.Thread(target=t) for t in targets]
    for t in threads:
        t.start()
    return threads


def join_all(threads):
    for t in threads:
        t.join(60)
        assert not t.is_alive(), "a thread hung"


def test_threads_adding_while_len_is_read(spill_dir):
    adders, each = 4, 20_000
    s = Sorter(tmp_dir=spill_dir, max_bytes=100_000, threads=2)
    done = threading.Event()
    lengths = []

    def add(k):
        for i in range(each):
            s.add((i % 97, k, i))

    def watch():
        while not done.is_set():
            lengths.append(len(s))

    watcher = start_all([watch])
    join_all(start_all([lambda k=k: add(k) for k in range(adders)]))
    done.set()
    join_all(watcher)
    assert lengths == sorted(lengths) and lengths[-1] <= adders * each
    out = list(s.sort())
    assert len(out) == len(s) == adders * each
    assert out == sorted(out, key=lambda item: item[0])
    # Each thread's items with equal keys keep that thread's order.
    assert sorted(out) == sorted((i % 97, k, i) for k in range(adders) for i in range(each))
    for k in range(adders):
        mine = [item for item in out if item[1] == k]
        assert mine == sorted(mine, key=lambda item: (item[0], item[2]))
    assert os.listdir(spill_dir) == []


@pytest.mark.parametrize("seed", range(4))
def test_reading_or_closing_races_with_adding(spill_dir, seed):
    """A reader or a closer arrives while threads add: what was added before
    is read back exactly, and every later add fails with its own error."""
    rng = random.Random(seed)
    closing = seed % 2 == 1
    s = Sorter(tmp_dir=spill_dir, max_bytes=50_000, threads=1 + seed % 2)
    added = [[] for _ in range(3)]
    refused = collections.Counter()
    stop = threading.Event()

    def add(k):
        for i in range(1_000_000):
            if stop.is_set():
                return
            try:
                s.add_encoded(i, f"{k}:{i}".encode())
            except ValueError as e:
                assert str(e) == CLOSED
                refused[CLOSED] += 1
                return
            except RuntimeError as e:
                assert str(e) == READ
                refused[READ] += 1
                return
            added[k].append(f"{k}:{i}".encode())

    out = []

    def interrupt():
        time.sleep(rng.uniform(0.02, 0.2))
        if closing:
            s.close()
        else:
            out.extend(s.encoded())
        stop.set()

    join_all(start_all([lambda k=k: add(k) for k in range(3)] + [interrupt]))
    assert len(s) == sum(len(a) for a in added)
    if not closing:
        assert collections.Counter(out) == collections.Counter(p for a in added for p in a)
        assert qt.state(s) == "Done"
    else:
        assert qt.state(s) == "Closed"
    assert os.listdir(spill_dir) == []


@pytest.mark.parametrize("closing", [False, True])
def test_threads_sharing_an_iterator(spill_dir, closing):
    count = 100_000
    s = Sorter(tmp_dir=spill_dir, max_bytes=300_000, threads=2)
    for i in range(count):
        s.add_encoded(i, i.to_bytes(4, "big"))
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

    join_all(start_all([lambda k=k: read(k) for k in range(4)] + ([close] if closing else [])))
    everything = [i for part in got for i in part]
    assert len(everything) == len(set(everything))  # nothing twice
    if not closing:
        assert sorted(everything) == list(range(count))
    for part in got:
        assert part == sorted(part)  # each reader's share came in order
    assert os.listdir(spill_dir) == []


def test_close_and_len_during_write_to(spill_dir):
    count = 300_000
    s = Sorter(tmp_dir=spill_dir, max_bytes=500_000, threads=2)
    for i in range(count):
        s.add_encoded(i, i.to_bytes(4, "big"))
    written = []
    events = []

    class Handle:
        def write(self, data):
            written.append(data)
            return len(data)

    def poke():
        for _ in range(50):
            events.append(len(s))
            time.sleep(0.001)
        s.close()
        events.append("closed")

    poker = start_all([poke])
    s.write_to(Handle())
    join_all(poker)
    data = b"".join(written)
    assert [int.from_bytes(data[i:i + 4], "big") for i in range(0, len(data), 4)] == list(range(count))
    assert events[-1] == "closed" and set(events[:-1]) == {count}
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

        threads = start_all([read])
        time.sleep(0.02)  # the reader waits for the lock first
        threads += start_all([s.close])
        time.sleep(0.02)
        leave.set()
        join_all(threads + [holder])
        assert outcome[0] in ([1], CLOSED)
        with pytest.raises(ValueError) as info:
            s.add(2)
        assert str(info.value) == CLOSED
        assert qt.state(s) == "Closed"
