"""write_to: the sorted payloads reach the handle whole, in chunks of about
1 MiB, through partial writes and failures, from a merging thread."""

import io
import os
import threading

import pytest

from _quillmere import Sorter
from conftest import READ_TWICE, merge_threads, settled, thread_names

MIB = 1 << 20


class Recorder:
    """A handle that keeps every call's bytes and answers with result(data)."""

    def __init__(self, result=len):
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


def test_chunks_hold_whole_payloads_of_about_a_mebibyte(spill_dir):
    payloads = [bytes([i % 251]) * 100 for i in range(26215)]  # 2.5 MiB
    payloads[20000] = b"L" * (3 * MIB // 2)  # goes whole, with those before it
    s = loaded(spill_dir, payloads, max_bytes=4 * MIB)
    handle = Recorder()
    assert s.write_to(handle) is None
    sizes = [len(c) for c in handle.calls]
    assert all(MIB <= size < MIB + 100 for size in sizes[:-2]) and sizes[-2] > 3 * MIB // 2
    assert b"".join(handle.calls) == b"".join(payloads)
    assert os.listdir(spill_dir) == []


class Index:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


@pytest.mark.parametrize("result, calls", [
    (lambda data: min(len(data), 1000), None),  # each call goes on where the last one ended
    (lambda data: Index(2), [b"abcdef", b"cdef", b"ef"]),
    (lambda data: None, [b"abcdef"]),  # no count: all written
    (lambda data: -1, [b"abcdef"]),
    (lambda data: "many", [b"abcdef"]),
])
def test_partial_writes_continue_with_the_rest(spill_dir, result, calls):
    payloads = [b"abc", b"def"] if calls else [i.to_bytes(4, "big") * 10 for i in range(20_000)]
    handle = Recorder(result)
    loaded(spill_dir, payloads, max_bytes=100_000).write_to(handle)
    if calls:
        assert handle.calls == calls
    else:
        assert b"".join(c[:1000] for c in handle.calls) == b"".join(payloads)


class Boom(Exception):
    pass


def boom(data):
    raise Boom


@pytest.mark.parametrize("result, error, message", [
    (lambda data: 0, OSError, "the handle wrote no bytes"),
    (boom, Boom, ""),
])
def test_a_failing_write_stops_everything(spill_dir, result, error, message):
    s = loaded(spill_dir, [i.to_bytes(4, "big") * 64 for i in range(50_000)], max_bytes=500_000)
    handle = Recorder(result)
    with pytest.raises(error) as info:
        s.write_to(handle)
    assert str(info.value) == message
    assert len(handle.calls) == 1
    # The merging thread is joined and the private directory gone by now.
    assert settled(merge_threads, 0) == 0
    assert os.listdir(spill_dir) == []
    with pytest.raises(RuntimeError, match=READ_TWICE):
        s.write_to(handle)


def test_the_merge_runs_on_its_own_named_thread(spill_dir):
    # Ten chunks, and the merging thread runs at most two ahead: it is still
    # there when the first one is written.
    s = loaded(spill_dir, [bytes(100)] * 100_000, max_bytes=500_000)
    seen = []
    s.write_to(Recorder(lambda data: seen.append("quillmere-merge" in thread_names())))
    assert len(seen) == 10 and seen[0]
    assert settled(merge_threads, 0) == 0


def test_empty_sorters_and_unusable_handles(spill_dir, tmp_path):
    handle = Recorder()
    assert Sorter(tmp_dir=spill_dir).write_to(handle=handle) is None
    assert handle.calls == []
    s = loaded(spill_dir, [b"a", b"b"])
    with pytest.raises(AttributeError):
        s.write_to(object())
    # A text handle such as sys.stdout used to fail at its first write, with
    # the sorted items already taken: it is refused before reading starts.
    with open(tmp_path / "text", "w") as text, pytest.raises(TypeError) as info:
        s.write_to(text)
    assert str(info.value) == ("write_to needs a binary handle (for example sys.stdout.buffer), "
                               "not TextIOWrapper")
    with pytest.raises(TypeError):
        s.write_to(io.StringIO())
    assert list(s.encoded()) == [b"a", b"b"]  # still readable


def test_close_from_another_thread_does_not_stop_it(spill_dir):
    payloads = [i.to_bytes(4, "big") * 25 for i in range(200_000)]
    s = loaded(spill_dir, payloads, max_bytes=2_000_000)
    closed = threading.Event()

    def slow_first(data):
        if not closed.is_set():
            threading.Thread(target=lambda: (s.close(), closed.set())).start()
            assert closed.wait(10)
            assert os.listdir(spill_dir)  # the merge keeps its directory
            assert len(s) == 200_000
        return len(data)

    handle = Recorder(slow_first)
    s.write_to(handle)
    assert b"".join(handle.calls) == b"".join(payloads)
    assert os.listdir(spill_dir) == []
    with pytest.raises(ValueError):
        s.add(1)
