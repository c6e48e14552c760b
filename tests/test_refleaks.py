"""Reference leaks: on a debug interpreter, each operation repeated many
times leaves the interpreter's total reference count where it was. A leaked
reference per call grows the count by at least one per repetition."""

import gc
import io
import sys

import pytest

import _quillmere_test as qt
from _quillmere import Sorter

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="needs a debug interpreter (sys.gettotalrefcount)")

WARMUP = 5
REPEATS = 200
# Measuring holds a reference or two itself; a leak of one reference per
# call gains REPEATS.
BOUND = 10
# Distinct, shuffled, and none of them an immortal small int: a leaked
# reference to an immortal object would not count.
ITEMS = [1000 + (i * 7919) % 300 for i in range(300)]


class Codec:
    def encode(self, item):
        return str(item).encode()

    def decode(self, data):
        return int(data)


class StrCodec(Codec):
    def encode(self, item):
        return str(item)  # not bytes: refused


class Index:
    """Neither int nor float: a key through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BadIndex:
    def __index__(self):
        return 1.5  # refused: __index__ must give an int


class Boom(Exception):
    pass


def boom(item):
    raise Boom


def raises(exc, call, *args):
    try:
        call(*args)
    except exc:
        return
    pytest.fail(f"{call!r} raised no {exc.__name__}")


def negate(item):
    return -item


def make_and_close(d):
    Sorter(tmp_dir=d).close()
    Sorter(negate, codec=Codec(), tmp_dir=d, threads=2).close()
    with Sorter(negate, tmp_dir=d) as s:
        s.add(ITEMS[0])
    Sorter(negate, codec=Codec(), tmp_dir=d).add(ITEMS[1])  # dropped unclosed, holding an item


def add_and_add_encoded(d):
    with Sorter(tmp_dir=d) as s:
        for item in (ITEMS[0], 2**70, "x\ud800", b"bytes", (ITEMS[1], "a"), [None, 2.5]):
            s.add(item)
        s.add_encoded((ITEMS[2], "k"), bytes(10))
        assert len(s) == 7
    with Sorter(negate, codec=Codec(), tmp_dir=d) as s:
        s.add(ITEMS[3])
        s.add_encoded(-ITEMS[3], bytes(10))


def add_failures(d):
    # Every argument is made here, so none is immortal.
    s = Sorter(tmp_dir=d)
    raises(TypeError, s.add, {ITEMS[0]})  # a key of no sort kind
    raises(TypeError, s.add, (ITEMS[0], [ITEMS[1], {ITEMS[2]}]))
    raises(TypeError, s.add_encoded, {ITEMS[0]}, bytes(10))
    raises(TypeError, s.add_encoded, [ITEMS[0]], str(ITEMS[0]))  # not bytes
    raises(TypeError, s.add_encoded, [ITEMS[0]], None)
    raises(TypeError, s.add_encoded, [ITEMS[0]], bytearray(10))
    raises(TypeError, s.add)
    raises(TypeError, s.add, [ITEMS[0]], [ITEMS[1]])
    raises(Boom, Sorter(boom, tmp_dir=d).add, [ITEMS[0]])  # the key function raises
    raises(TypeError, Sorter(codec=StrCodec(), tmp_dir=d).add, ITEMS[0])  # codec gives str
    raises(TypeError, Sorter(negate, codec=StrCodec(), tmp_dir=d).add, ITEMS[0])
    s.close()
    raises(ValueError, s.add, [ITEMS[0]])  # closed
    raises(ValueError, s.add_encoded, [ITEMS[0]], bytes(10))


def sort_with_spills(d):
    s = Sorter(negate, codec=Codec(), tmp_dir=d, max_bytes=2000, max_open=2)
    assert list(s.sort(ITEMS)) == sorted(ITEMS, reverse=True)
    s = Sorter(tmp_dir=d, max_bytes=2000, threads=2)
    assert list(s.sort(ITEMS)) == sorted(ITEMS)


def encoded(d):
    s = Sorter(tmp_dir=d, max_bytes=2000)
    for i in ITEMS:
        s.add_encoded(i, i.to_bytes(2, "big"))
    qt.wait_spill(s)
    assert len(qt.runs(s)) > 2  # the reading merges runs
    assert [int.from_bytes(p, "big") for p in s.encoded()] == sorted(ITEMS)


def write_to(d):
    s = Sorter(tmp_dir=d, max_bytes=2000)
    for i in ITEMS:
        s.add_encoded(i, i.to_bytes(2, "big"))
    out = io.BytesIO()
    s.write_to(out)
    assert out.getvalue() == b"".join(i.to_bytes(2, "big") for i in sorted(ITEMS))


def abandoned_iterator(d):
    s = Sorter(codec=Codec(), tmp_dir=d, max_bytes=2000)
    it = s.sort(ITEMS)
    assert [next(it) for _ in range(10)] == sorted(ITEMS)[:10]
    del it, s
    s = Sorter(tmp_dir=d, max_bytes=2000)
    it = s.sort(ITEMS)
    assert next(it) == min(ITEMS)
    s.close()  # the iterator outlives the sorter's end
    del it


def encode_keys(d):
    for key in (2**64, -2**64 - 1, 2**200, -2**200, "\ud800", "a\udfffb", ITEMS[0],
                [ITEMS[0], [ITEMS[1], ["xyz", (3.5, None, b"")]]], Index(ITEMS[0]),
                Index(2**100), [Index(-ITEMS[0])]):
        assert qt.encode_key(key)
    raises(TypeError, qt.encode_key, BadIndex())
    raises(TypeError, qt.encode_key, [ITEMS[0], (ITEMS[1], {ITEMS[2]})])
    deep = ()
    for _ in range(300):
        deep = (deep,)
    raises(RecursionError, qt.encode_key, deep)


OPERATIONS = [make_and_close, add_and_add_encoded, add_failures, sort_with_spills, encoded,
              write_to, abandoned_iterator, encode_keys]


def total_refs():
    # The interpreter's type and specialisation caches keep filling for a
    # few hundred calls, by up to hundreds of references; empty them.
    sys._clear_internal_caches()
    gc.collect()
    return sys.gettotalrefcount()


@pytest.mark.parametrize("operation", OPERATIONS, ids=lambda op: op.__name__)
def test_no_references_leak(spill_dir, operation):
    for _ in range(WARMUP):
        operation(spill_dir)
    before = total_refs()
    for _ in range(REPEATS):
        operation(spill_dir)
    gained = total_refs() - before
    assert gained < BOUND, f"{gained} references gained over {REPEATS} calls"
