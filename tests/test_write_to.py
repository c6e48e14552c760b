import io
import os
import random
import signal
import threading

import pytest

import _quillmere_test as qt
from _quillmere import Sorter
from runfiles import shrink_second_block
from conftest import pool_threads  # noqa: F401

MIB = 1 << 20


def thread_names():
    names = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as f:
                names.append(f.read().strip())
        except FileNotFoundError:
            pass
    return names


class Recorder:
    """A handle that keeps every call's bytes."""

    def __init__(self, result=lambda data: len(data)):
        self.calls = []
        self.result = result

    def write(self, data):
        assert type(data) is bytes
        self.calls.append(data)
        return self.result(data)


def loaded(spill_dir, payloads, max_bytes=1 << 20, **kwargs):
    """A sorter holding the payloads under keys 0, 1, 2, ... (that order)."""
    s = Sorter(tmp_dir=spill_dir, max_bytes=max_bytes, **kwargs)
    for i, payload in reversed(list(enumerate(payloads))):
        s.add_encoded(i, payload)
    return s


def test_chunks_of_at_least_a_mebibyte(spill_dir):
    payloads = [bytes([i % 251]) * 100 for i in range(26215)]  # 2.5 MiB
    s = loaded(spill_dir, payloads)
    handle = Recorder()
    assert s.write_to(handle) is None
    sizes = [len(c) for c in handle.calls]
    assert len(sizes) == 3
    assert sizes[0] >= MIB and sizes[1] >= MIB and sizes[0] < MIB + 100 and sizes[1] < MIB + 100
    assert b"".join(handle.calls) == b"".join(payloads)
    assert os.listdir(spill_dir) == []


def test_a_large_payload_goes_whole_with_those_before_it(spill_dir):
    payloads = [b"s" * 100] * 10 + [b"L" * (3 * MIB // 2)] + [b"t" * 100] * 10
    s = loaded(spill_dir, payloads, max_bytes=4 * MIB)
    handle = Recorder()
    s.write_to(handle)
    assert [len(c) for c in handle.calls] == [1000 + 3 * MIB // 2, 1000]
    assert b"".join(handle.calls) == b"".join(payloads)


def test_partial_writes_continue_with_the_rest(spill_dir):
    payloads = [i.to_bytes(4, "big") * 10 for i in range(100_000)]
    s = loaded(spill_dir, payloads, max_bytes=1_000_000)
    handle = Recorder(lambda data: min(len(data), 1000))
    s.write_to(handle)
    assert all(len(c) > 0 for c in handle.calls)
    # Each call starts where the last one's first 1000 bytes ended.
    written = b"".join(c[:1000] for c in handle.calls)
    assert written == b"".join(payloads)
    assert os.listdir(spill_dir) == []


class Index:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


@pytest.mark.parametrize("result", [None, -1, 2**64, "many", 1.5])
def test_a_result_that_is_no_count_means_all_written(spill_dir, result):
    payloads = [bytes(300)] * 10_000  # three chunks
    s = loaded(spill_dir, payloads)
    handle = Recorder(lambda data: result)
    s.write_to(handle)
    assert len(handle.calls) == 3
    assert b"".join(handle.calls) == b"".join(payloads)


def test_index_objects_count(spill_dir):
    s = loaded(spill_dir, [b"abcdef"])
    handle = Recorder(lambda data: Index(2))
    s.write_to(handle)
    assert handle.calls == [b"abcdef", b"cdef", b"ef"]


class Boom(Exception):
    pass


@pytest.mark.parametrize("result, error, message", [
    (lambda data: 0, OSError, "the handle wrote no bytes"),
    (lambda data: (_ for _ in ()).throw(Boom()), Boom, ""),
])
def test_a_failing_write_stops_everything(spill_dir, result, error, message):
    s = loaded(spill_dir, [i.to_bytes(4, "big") * 64 for i in range(50_000)], max_bytes=500_000)
    assert os.listdir(spill_dir)
    handle = Recorder(result)
    with pytest.raises(error) as info:
        s.write_to(handle)
    assert str(info.value) == message
    assert len(handle.calls) == 1
    # The merging thread is joined and the spill directory gone by now.
    assert "quillmere-merge" not in thread_names()
    assert os.listdir(spill_dir) == []
    with pytest.raises(RuntimeError) as info:
        s.write_to(handle)
    assert str(info.value) == "a sorter can be read only once"


def test_the_merge_runs_on_its_own_named_thread(spill_dir):
    # Ten chunks: the merging thread runs at most two ahead, so it is still
    # there when the first one is written.
    s = loaded(spill_dir, [bytes(100)] * 100_000, max_bytes=500_000)
    seen = []
    handle = Recorder()
    handle.result = lambda data: seen.append("quillmere-merge" in thread_names()) or len(data)
    s.write_to(handle)
    assert len(seen) == 10 and seen[0]
    assert "quillmere-merge" not in thread_names()


def test_nothing_to_write(spill_dir):
    handle = Recorder()
    assert Sorter(tmp_dir=spill_dir).write_to(handle=handle) is None
    assert handle.calls == []


def test_a_handle_without_write_leaves_the_sorter_readable(spill_dir):
    s = loaded(spill_dir, [b"a", b"b"])
    with pytest.raises(AttributeError):
        s.write_to(object())
    assert list(s.encoded()) == [b"a", b"b"]


def test_a_damaged_run_is_raised_as_its_error(spill_dir):
    s = loaded(spill_dir, [i.to_bytes(4, "big") for i in range(300_000)], max_bytes=2_000_000)
    qt.wait_spill(s)
    path = qt.runs(s)[0][0]
    shrink_second_block(path)
    out = io.BytesIO()
    with pytest.raises(OSError) as info:
        s.write_to(out)
    assert str(info.value) == path + " is corrupt: a block does not decompress to its length"
    assert os.listdir(spill_dir) == []


class Interrupted(Exception):
    pass


def test_a_signal_while_the_merge_is_slow(spill_dir):
    # Tiny records in random order over many runs: each 1 MiB chunk takes
    # the merge a long while, so the writer mostly waits, looking for
    # signals every 50 ms.
    rng = random.Random(5)
    s = Sorter(tmp_dir=spill_dir, max_bytes=4_000_000)
    for _ in range(4_000_000):
        s.add_encoded(rng.getrandbits(40), b"x")

    def interrupt(*_):
        raise Interrupted

    old = signal.signal(signal.SIGUSR1, interrupt)
    timer = threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGUSR1))
    try:
        timer.start()
        with pytest.raises(Interrupted):
            s.write_to(io.BytesIO())
    finally:
        timer.join()
        signal.signal(signal.SIGUSR1, old)
    assert "quillmere-merge" not in thread_names()
    assert os.listdir(spill_dir) == []


def test_close_from_another_thread_does_not_stop_it(spill_dir):
    payloads = [i.to_bytes(4, "big") * 25 for i in range(200_000)]
    s = loaded(spill_dir, payloads, max_bytes=2_000_000)
    closed = threading.Event()
    handle = Recorder()

    def slow_first(data):
        if not closed.is_set():
            threading.Thread(target=lambda: (s.close(), closed.set())).start()
            assert closed.wait(10)
            assert os.listdir(spill_dir)  # the merge keeps its directory
        return len(data)

    handle.result = slow_first
    s.write_to(handle)
    assert b"".join(handle.calls) == b"".join(payloads)
    assert os.listdir(spill_dir) == []
    assert qt.state(s) == "Closed"
