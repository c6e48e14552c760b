import os
import signal
import struct
import threading

import pytest

import _quillmere_test as qt
from _quillmere import Sorter
from runfiles import shrink_second_block

STOPPED = "the sorter stopped when reading it failed or was interrupted"


def spilled(spill_dir, count, max_bytes, max_open=64):
    """A sorter holding `count` small items, with every spill written."""
    s = Sorter(tmp_dir=spill_dir, max_bytes=max_bytes, max_open=max_open)
    for i in range(count):
        s.add_encoded(i, i.to_bytes(4, "big"))
    qt.wait_spill(s)
    return s


def assert_stopped(s, spill_dir):
    assert qt.state(s) == "Stopped"
    assert os.listdir(spill_dir) == []
    for read in (s.sort, s.encoded):
        with pytest.raises(RuntimeError) as info:
            read()
        assert str(info.value) == STOPPED


def cut(path, keep):
    with open(path, "r+b") as f:
        f.truncate(keep)


def patch_header(path, compressed=None, size=None):
    """Rewrites the first block's header fields."""
    with open(path, "r+b") as f:
        c, u = struct.unpack("<II", f.read(8))
        f.seek(0)
        f.write(struct.pack("<II", c if compressed is None else compressed, u if size is None else size))
    return c, u


def first_run(s):
    return qt.runs(s)[0][0]


@pytest.mark.parametrize("damage, message", [
    (lambda p: cut(p, 5), " ended before its last record"),
    (lambda p: patch_header(p, compressed=0), " is corrupt: a block has an impossible length"),
    (lambda p: patch_header(p, size=131073), " is corrupt: a block has an impossible length"),
])
def test_damage_met_when_the_final_merge_opens(spill_dir, damage, message):
    s = spilled(spill_dir, 30_000, 100_000)
    path = first_run(s)
    damage(path)
    with pytest.raises(OSError) as info:
        s.sort()
    assert type(info.value) is OSError
    assert str(info.value) == path + message
    assert_stopped(s, spill_dir)


def test_damage_met_in_a_merge_pass(spill_dir):
    s = spilled(spill_dir, 30_000, 100_000, max_open=2)
    assert len(qt.runs(s)) >= 3
    path = first_run(s)  # equal runs: the first window is merged first
    cut(path, os.path.getsize(path) - 3)
    with pytest.raises(OSError) as info:
        s.sort()
    assert str(info.value) == path + " ended before its last record"
    assert_stopped(s, spill_dir)


def test_damage_met_while_reading(spill_dir):
    s = spilled(spill_dir, 200_000, 1_000_000)
    path = first_run(s)
    shrink_second_block(path)
    it = s.encoded()
    got = []
    with pytest.raises(OSError) as info:
        for payload in it:
            got.append(int.from_bytes(payload, "big"))
    assert str(info.value) == path + " is corrupt: a block does not decompress to its length"
    assert got == list(range(len(got)))  # what came out was right
    assert list(it) == []  # then the iteration ends
    assert_stopped(s, spill_dir)


class Interrupted(Exception):
    pass


def signal_in(seconds, handler):
    old = signal.signal(signal.SIGUSR1, handler)
    timer = threading.Timer(seconds, os.kill, (os.getpid(), signal.SIGUSR1))
    timer.start()
    return old, timer


def raise_interrupted(*_):
    raise Interrupted


# Four runs of about 330k records each with max_open 2: two passes that move
# 1.3M records, looking for signals every 65536. sort() is one call into
# the module, so only its own checks can run the handler.
LONG_PASSES = dict(count=1_400_000, max_bytes=20_000_000, max_open=2)


def test_a_signal_during_a_long_merge_pass(spill_dir):
    s = spilled(spill_dir, **LONG_PASSES)
    assert len(qt.runs(s)) == 4
    old, timer = signal_in(0.05, raise_interrupted)
    try:
        with pytest.raises(Interrupted):
            s.sort()
    finally:
        timer.join()
        signal.signal(signal.SIGUSR1, old)
    assert_stopped(s, spill_dir)


def test_a_signal_before_a_refill(spill_dir):
    s = spilled(spill_dir, 2_000_000, 30_000_000)
    it = s.encoded()
    assert next(it) == (0).to_bytes(4, "big")
    old, timer = signal_in(0.05, raise_interrupted)
    try:
        with pytest.raises(Interrupted):
            list(it)  # C code calling next(): only the refill's check runs handlers
    finally:
        timer.join()
        signal.signal(signal.SIGUSR1, old)
    assert list(it) == []
    assert_stopped(s, spill_dir)


def test_finish_called_from_a_handler_inside_finish(spill_dir):
    s = spilled(spill_dir, **LONG_PASSES)
    caught = []

    def handler(*_):
        try:
            s.sort()
        except RuntimeError as e:
            caught.append(str(e))

    old, timer = signal_in(0.05, handler)
    try:
        out = s.encoded()  # the handler's call fails; this one goes on
    finally:
        timer.join()
        signal.signal(signal.SIGUSR1, old)
    assert caught == ["reentrant call"]
    assert sum(1 for _ in out) == LONG_PASSES["count"]
    assert os.listdir(spill_dir) == []
