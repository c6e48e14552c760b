"""Reference leaks: on a debug interpreter, each operation repeated many times
leaves the interpreter's total reference count where it was. A leaked
reference per call grows the count by at least one per repetition."""

import gc
import io
import sys

import pytest

from _quillmere import Sorter

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="needs a debug interpreter (sys.gettotalrefcount)")

REPEATS = 200
BOUND = 10  # measuring holds a reference or two itself
# Distinct, shuffled, and none of them an immortal small int: a leaked
# reference to an immortal object would not count.
ITEMS = [1000 + (i * 7919) % 300 for i in range(300)]


class Codec:
    def encode(self, item):
        return str(item).encode()

    def decode(self, data):
        return int(data)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def negate(item):
    return -item


def raises(exc, call, *args):
    try:
        call(*args)
    except exc:
        return
    pytest.fail(f"{call!r} raised no {exc.__name__}")


def adding(d):
    Sorter(negate, codec=Codec(), tmp_dir=d, threads=2).close()
    Sorter(negate, codec=Codec(), tmp_dir=d).add(ITEMS[1])  # dropped unclosed, holding an item
    with Sorter(tmp_dir=d) as s:
        for item in (ITEMS[0], 2**70, -2**200, "x\ud800", b"b\0", (ITEMS[1], "a"), [None, 2.5]):
            s.add(item)
        s.add_encoded([Index(ITEMS[2]), Index(2**100)], bytes(10))
        deep = ()
        for _ in range(300):
            deep = (deep,)
        raises(RecursionError, s.add, deep)
        raises(TypeError, s.add, (ITEMS[0], [ITEMS[1], {ITEMS[2]}]))
        raises(TypeError, s.add_encoded, [ITEMS[0]], str(ITEMS[0]))
        raises(TypeError, s.add, [ITEMS[0]], [ITEMS[1]])
        raises(ZeroDivisionError, Sorter(lambda item: 1 / 0, tmp_dir=d).add, [ITEMS[0]])
        raises(TypeError, Sorter(codec=type("C", (Codec,), {"encode": str})(), tmp_dir=d).add, 1)
    raises(ValueError, s.add, [ITEMS[0]])  # closed


def reading(d):
    s = Sorter(negate, codec=Codec(), tmp_dir=d, max_bytes=2000, max_open=2)
    assert list(s.sort(ITEMS)) == sorted(ITEMS, reverse=True)
    s = Sorter(tmp_dir=d, max_bytes=2000, threads=2)
    for i in ITEMS:
        s.add_encoded(i, i.to_bytes(2, "big"))
    assert [int.from_bytes(p, "big") for p in s.encoded()] == sorted(ITEMS)
    s = Sorter(tmp_dir=d, max_bytes=2000)
    for i in ITEMS:
        s.add_encoded(i, i.to_bytes(2, "big"))
    out = io.BytesIO()
    s.write_to(out)
    assert len(out.getvalue()) == 2 * len(ITEMS)


def abandoned_iterators(d):
    s = Sorter(codec=Codec(), tmp_dir=d, max_bytes=2000)
    it = s.sort(ITEMS)
    assert [next(it) for _ in range(10)] == sorted(ITEMS)[:10]
    del it, s
    s = Sorter(tmp_dir=d, max_bytes=2000)
    it = s.sort(ITEMS)
    assert next(it) == min(ITEMS)
    s.close()  # the iterator outlives the sorter's end
    del it


def total_refs():
    # The interpreter's type and specialisation caches keep filling for a
    # few hundred calls; empty them.
    sys._clear_internal_caches()
    gc.collect()
    return sys.gettotalrefcount()


@pytest.mark.parametrize("operation", [adding, reading, abandoned_iterators],
                         ids=lambda op: op.__name__)
def test_no_references_leak(spill_dir, operation):
    for _ in range(5):
        operation(spill_dir)
    before = total_refs()
    for _ in range(REPEATS):
        operation(spill_dir)
    gained = total_refs() - before
    assert gained < BOUND, f"{gained} references gained over {REPEATS} calls"
