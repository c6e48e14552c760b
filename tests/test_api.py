"""Constructing, adding, refusing and closing: what callers are told, and what
is left behind."""

import gc
import io
import os
import pathlib
import pickle
import tempfile
import types

import pytest

import _quillmere_test as qt
from _quillmere import Sorter, _check_sorter_arguments
from conftest import ADD_AFTER_READ, CLOSED, READ_TWICE, STOPPED, pool_threads, settled

try:
    import numpy as np
except ImportError:  # not built for every interpreter
    np = None


class Codec:
    def encode(self, item):
        return str(item).encode()

    def decode(self, data):
        return data


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class PathLike:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


def raised(make=Sorter, **kwargs):
    with pytest.raises(Exception) as info:
        make(**kwargs)
    return info.value


@pytest.mark.parametrize("kwargs, exc_type, message", [
    (dict(key=5), TypeError, "key must be a function returning a sort key, not int"),
    (dict(codec=object()), TypeError, "a codec must have encode and decode methods, unlike object"),
    (dict(codec=types.SimpleNamespace(encode=bytes, decode=5)), TypeError,
     "a codec must have encode and decode methods, unlike SimpleNamespace"),
    (dict(max_bytes=1), ValueError, "max_bytes must be at least 2, not 1"),
    (dict(max_open=-1), ValueError, "max_open must be at least 2, not -1"),
    (dict(threads=0), ValueError, "threads must be at least 1, not 0"),
    # Conversions come first, then key and codec, and the minimums last.
    (dict(key=5, max_bytes=1), TypeError, "key must be a function returning a sort key, not int"),
    (dict(threads=0, tmp_dir="/no/such/dir"), ValueError, "threads must be at least 1, not 0"),
])
@pytest.mark.parametrize("make", [Sorter, _check_sorter_arguments])
def test_bad_arguments(make, kwargs, exc_type, message):
    # The package checks arguments without a Sorter; the errors must be the same.
    e = raised(make, **kwargs)
    assert (type(e), str(e)) == (exc_type, message)


def test_only_a_sorter_probes_its_directory_and_starts_its_pool():
    assert _check_sorter_arguments(tmp_dir="/no/such/dir", threads=70000) is None
    e = raised(tmp_dir="/no/such/dir")
    assert (type(e), str(e)) == (FileNotFoundError, "/no/such/dir: No such file or directory (os error 2)")
    e = raised(threads=70000)
    assert (type(e), str(e)) == (OSError, "a worker pool has at most 65535 threads, not 70000")


@pytest.mark.parametrize("name, value, exc_type", [
    ("max_bytes", 1.5, TypeError),
    ("max_bytes", 2**70, OverflowError),
    ("max_open", "3", TypeError),
    ("tmp_dir", b"/tmp", TypeError),
    ("tmp_dir", "/tmp/a\0b", ValueError),
])
def test_conversion_failures_name_their_argument(name, value, exc_type):
    e = raised(**{name: value, "key": 5})
    assert type(e) is exc_type and e.__notes__ == [f"while processing '{name}'"]


def test_accepted_forms_and_defaults(spill_dir, tmp_path, monkeypatch):
    if np is not None:
        Sorter(tmp_dir=spill_dir, max_bytes=np.int64(1 << 20)).close()
    Sorter(len, codec=Codec(), tmp_dir=pathlib.Path(spill_dir), max_open=Index(3),
           threads=True).close()
    Sorter(None, tmp_dir=PathLike(str(spill_dir))).close()
    # tmp_dir=None means whatever tempfile.gettempdir() answers.
    not_a_dir = tmp_path / "file"
    not_a_dir.write_text("x")
    monkeypatch.setattr(tempfile, "tempdir", str(not_a_dir))
    e = raised(tmp_dir=None)
    assert (type(e), e.args) == (NotADirectoryError, (f"{not_a_dir} is not a directory",))


def test_unusable_spill_directories(tmp_path):
    missing = tmp_path / "missing"
    e = raised(tmp_dir=missing)
    assert type(e) is FileNotFoundError
    assert e.args == (f"{missing}: {os.strerror(2)} (os error 2)",)
    assert (e.errno, e.strerror, e.filename) == (None, None, None)
    # procfs is a directory in which nothing can be made.
    e = raised(tmp_dir="/proc")
    assert isinstance(e, OSError) and str(e).startswith('/proc: ')
    assert ' at path "/proc/quillmere-' in str(e)
    assert os.listdir(tmp_path) == []


def test_pool_threads_live_as_long_as_the_sorter(spill_dir):
    before = pool_threads()
    four = Sorter(tmp_dir=spill_dir, threads=4)
    assert pool_threads() == before + 4
    four.close()
    assert settled(pool_threads, before) == before
    s = Sorter(tmp_dir=spill_dir, threads=3)
    del s
    assert settled(pool_threads, before) == before
    # A key function that refers to its own sorter makes a cycle only the
    # garbage collector can break.
    key = types.SimpleNamespace()
    key.sorter = Sorter(lambda item, key=key: item, tmp_dir=spill_dir, threads=2)
    del key
    gc.collect()
    assert settled(pool_threads, before) == before


def test_with_close_and_len(spill_dir):
    old = os.umask(0)
    try:
        with Sorter(tmp_dir=spill_dir, max_bytes=2) as s:
            s.add(1)
            s.add(2)
            assert len(s) == 2
            (private,) = os.listdir(spill_dir)  # it holds the user's data: private
            assert os.stat(spill_dir / private).st_mode & 0o777 == 0o700
    finally:
        os.umask(old)
    assert os.listdir(spill_dir) == []
    assert s.close() is None and len(s) == 2
    with pytest.raises(KeyError):
        with Sorter(tmp_dir=spill_dir) as t:
            raise KeyError("passes through")
    with pytest.raises(ValueError):
        t.add(1)
    assert Sorter[int].__args__ == (int,)


@pytest.mark.parametrize("end, adding, reading", [
    (Sorter.close, (ValueError, CLOSED), (ValueError, CLOSED)),
    (Sorter.sort, (RuntimeError, ADD_AFTER_READ), (RuntimeError, READ_TWICE)),
])
def test_refusals_by_state(spill_dir, end, adding, reading):
    s = Sorter(tmp_dir=spill_dir)
    s.add(1)
    end(s)
    for call in (lambda: s.add(2), lambda: s.add_encoded(2, b""), lambda: s.sort([5])):
        with pytest.raises(adding[0]) as info:
            call()
        assert str(info.value) == adding[1]
    for call in (s.sort, s.encoded, lambda: s.write_to(io.BytesIO())):
        with pytest.raises(reading[0]) as info:
            call()
        assert str(info.value) == reading[1]
    assert len(s) == 1


class FailingDecode:
    def encode(self, item):
        return str(item).encode()

    def decode(self, data):
        if data == b"1":
            raise LookupError
        return int(data)


def test_a_failed_decode_stops_the_sorter(spill_dir):
    s = Sorter(codec=FailingDecode(), tmp_dir=spill_dir, max_bytes=10_000)
    for i in range(10_000):  # more than one refill's worth, so the merge goes on
        s.add(i)
    it = s.sort()
    assert next(it) == 0
    with pytest.raises(LookupError):
        next(it)
    assert list(it) == []
    assert os.listdir(spill_dir) == []
    for call in (s.sort, s.encoded, lambda: s.add(1)):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == STOPPED
    s.close()


class Boom(Exception):
    pass


def boom(*_):
    raise Boom


def pickle_error():
    """What pickle itself raises for a lambda (it differs between versions)."""
    try:
        pickle.dumps([lambda: 0], 5)
    except Exception as e:
        return e


@pytest.mark.parametrize("make, call, exc_type, message", [
    (dict(key=boom), lambda s: s.add(1), Boom, None),
    (dict(), lambda s: s.add({1, 2}), TypeError,
     "a sort key must be an int, float, str, bytes, None, or a tuple or list of them, not set"),
    (dict(key=len), lambda s: s.add([lambda: 0]), type(pickle_error()), None),
    (dict(codec=types.SimpleNamespace(encode=str, decode=bytes)), lambda s: s.add(1), TypeError,
     "a codec must encode an item into bytes, not str"),
    (dict(codec=types.SimpleNamespace(encode=boom, decode=boom)), lambda s: s.add(1), Boom, None),
    (dict(), lambda s: s.add_encoded(1, "text"), TypeError,
     "'str' object is not an instance of 'bytes'"),
    (dict(), lambda s: s.add_encoded(1, bytearray(1)), TypeError,
     "'bytearray' object is not an instance of 'bytes'"),
    (dict(), lambda s: s.add_encoded({1}, b""), TypeError, None),
    (dict(), lambda s: s.add(item=1), TypeError, None),
    (dict(), lambda s: s.add_encoded(1), TypeError, None),
])
def test_a_failed_add_adds_nothing(spill_dir, make, call, exc_type, message):
    s = Sorter(tmp_dir=spill_dir, **make)
    s.add_encoded(0, pickle.dumps(0))
    with pytest.raises(exc_type) as info:
        call(s)
    assert message is None or str(info.value) == message
    assert len(s) == 1
    assert list(s.encoded()) == [pickle.dumps(0)]


def test_sort_keeps_the_items_before_one_that_fails(spill_dir):
    def items():
        yield 3
        yield 1
        raise Boom

    s = Sorter(tmp_dir=spill_dir, max_bytes=2)
    with pytest.raises(Boom):
        s.sort(items())
    with pytest.raises(TypeError):
        s.sort([2, {}, 4])
    assert len(s) == 3
    assert list(s.sort()) == [1, 2, 3]


def test_add_encoded_calls_neither_key_nor_codec(spill_dir):
    s = Sorter(boom, codec=types.SimpleNamespace(encode=boom, decode=boom), tmp_dir=spill_dir)
    s.add_encoded((1, "a"), b"x")
    s.add_encoded(None, b"")
    assert list(s.encoded()) == [b"", b"x"]


def test_a_key_function_that_uses_its_own_sorter(spill_dir):
    holder = []

    def key(item):
        if item == "close":
            holder[0].close()
        elif item == "outer":
            holder[0].add("inner")
        return item

    holder.append(Sorter(key, tmp_dir=spill_dir))
    holder[0].add("outer")
    assert len(holder[0]) == 2
    with pytest.raises(ValueError) as info:
        holder[0].add("close")
    assert str(info.value) == CLOSED
    assert len(holder[0]) == 2


def test_close_from_under_its_own_lock_is_a_reentrant_call(spill_dir):
    s = Sorter(tmp_dir=spill_dir)

    def inside():
        for call in (lambda: s.add(1), s.sort, s.close):
            with pytest.raises(RuntimeError) as info:
                call()
            assert str(info.value) == "reentrant call"

    qt.hold_lock(s, inside)
    # The failed close refuses adds from now on, and a close from outside
    # completes it.
    with pytest.raises(ValueError):
        s.add(2)
    assert len(s) == 0
    s.close()
