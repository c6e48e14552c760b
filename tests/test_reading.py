import os
import pickle
import random
import threading

import pytest

import _quillmere_test as qt
from _quillmere import Sorter

LOWER = "abcdefghijklmnopqrstuvwxyz"


def key_of(item):
    return item[0]


# Keys of one kind per case, so that sorted() can compare them; few distinct
# values, so that equal keys meet across runs, passes and the held half.
KEYS = {
    "int": lambda r: r.choice([r.randrange(-50, 50), r.randrange(-2**70, 2**70), 2**100 + r.randrange(3)]),
    "number": lambda r: r.choice([r.randrange(-5, 5), r.uniform(-5, 5), float(r.randrange(-5, 5)),
                                  2**64 + r.randrange(2), float(2**64), -0.0]),
    "str": lambda r: "".join(r.choice("ab\x00\ud800é") for _ in range(r.randrange(4))),
    "bytes": lambda r: bytes(r.choice(b"\x00\x01\xff") for _ in range(r.randrange(4))),
    "tuple": lambda r: (r.randrange(3), "".join(r.choice("xy") for _ in range(r.randrange(3)))),
    "list": lambda r: [r.randrange(3) for _ in range(r.randrange(3))],
    "none": lambda r: None,
}


@pytest.mark.parametrize("max_bytes, max_open, threads, count", [
    (2, 2, 1, 120),          # every item a run of its own, merged two at a time
    (2, 3, 3, 150),
    (300, 2, 1, 2000),
    (4000, 3, 3, 20000),
    (20000, 64, 1, 20000),
    (1 << 20, 64, 3, 20000),  # nothing spilled
    (3000, 2, 3, 20000),
])
@pytest.mark.parametrize("kind", sorted(KEYS))
def test_output_is_pythons_stable_sort(spill_dir, kind, max_bytes, max_open, threads, count):
    rng = random.Random(f"{kind}{max_bytes}{max_open}{threads}")
    make_key = KEYS[kind]
    items = [(make_key(rng), i) for i in range(count)]
    s = Sorter(key_of, tmp_dir=spill_dir, max_bytes=max_bytes, max_open=max_open, threads=threads)
    # Items go in by all three roads; ties keep the order of addition.
    third = count // 3
    for item in items[:third]:
        s.add(item)
    for item in items[third:2 * third]:
        s.add_encoded(key_of(item), pickle.dumps(item, 5))
    model_key = (lambda item: 0) if kind == "none" else key_of  # None < None fails
    assert list(s.sort(items[2 * third:])) == sorted(items, key=model_key)
    assert len(s) == count
    assert os.listdir(spill_dir) == []
    assert qt.state(s) == "Done"


def test_encoded_yields_the_payloads(spill_dir):
    s = Sorter(tmp_dir=spill_dir, max_bytes=500)
    items = [("b", 1), ("a", 2), ("b", 0), ("a", 1)]
    for item in items:
        s.add(item)
    s.add_encoded(("a", 1), b"")
    out = list(s.encoded())
    assert out == [pickle.dumps(i, 5) for i in [("a", 1)]] + [b""] + [
        pickle.dumps(i, 5) for i in [("a", 2), ("b", 0), ("b", 1)]]
    assert all(type(b) is bytes for b in out)


def test_ways_to_start_reading(spill_dir):
    for items in (None, [], ()):
        s = Sorter(tmp_dir=spill_dir)
        s.add(2)
        s.add(1)
        it = s.sort() if items is None else s.sort(items)
        assert list(it) == [1, 2]
    s = Sorter(tmp_dir=spill_dir)
    assert list(s.sort(None)) == []
    assert qt.state(s) == "Done"
    with pytest.raises(TypeError):
        s.sort(items=[1])


def test_sort_keeps_the_items_before_one_that_fails(spill_dir):
    s = Sorter(tmp_dir=spill_dir)
    with pytest.raises(TypeError):
        s.sort([3, 1, {}, 2])
    assert len(s) == 2
    assert qt.state(s) == "Adding"
    assert list(s.sort()) == [1, 3]


def test_reading_twice_and_adding_after(spill_dir):
    s = Sorter(tmp_dir=spill_dir)
    s.add(1)
    it = s.sort()
    for read in (s.sort, s.encoded):
        with pytest.raises(RuntimeError) as info:
            read()
        assert str(info.value) == "a sorter can be read only once"
    for add in (lambda: s.add(2), lambda: s.add_encoded(2, b""), lambda: s.sort([5])):
        with pytest.raises(RuntimeError) as info:
            add()
        assert str(info.value) == "cannot add to a sorter once it has been read"
    assert list(it) == [1]
    with pytest.raises(RuntimeError) as info:
        s.encoded()
    assert str(info.value) == "a sorter can be read only once"


class Boom(Exception):
    pass


class FailingSecondDecode:
    def __init__(self):
        self.calls = 0

    def encode(self, item):
        return str(item).encode()

    def decode(self, data):
        self.calls += 1
        if self.calls == 2:
            raise Boom
        return int(data)


# More than one refill's worth (4096 records), so the merge is still going.
MANY = 10_000


def test_a_failed_decode_ends_the_iteration_and_stops_the_sorter(spill_dir):
    s = Sorter(codec=FailingSecondDecode(), tmp_dir=spill_dir, max_bytes=10_000)
    for i in range(MANY):
        s.add(i)
    assert os.listdir(spill_dir)  # something was spilled
    it = s.sort()
    assert next(it) == 0
    assert os.listdir(spill_dir)
    with pytest.raises(Boom):
        next(it)
    with pytest.raises(StopIteration):
        next(it)
    assert qt.state(s) == "Stopped"
    assert os.listdir(spill_dir) == []
    for call in (s.sort, s.encoded, lambda: s.add(1)):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == "the sorter stopped when reading it failed or was interrupted"
    s.close()
    assert qt.state(s) == "Closed"


def test_closing_while_reading(spill_dir):
    s = Sorter(tmp_dir=spill_dir, max_bytes=10_000)
    for i in range(MANY):
        s.add(i)
    it = s.sort()
    assert [next(it) for _ in range(3)] == [0, 1, 2]
    assert os.listdir(spill_dir)
    s.close()
    assert os.listdir(spill_dir) == []
    for _ in range(2):
        with pytest.raises(ValueError) as info:
            next(it)
        assert str(info.value) == "I/O operation on a closed sorter"
    with pytest.raises(ValueError):
        s.sort()


def test_an_iterator_outlives_its_sorter(spill_dir):
    s = Sorter(tmp_dir=spill_dir, max_bytes=10_000)
    for i in range(MANY):
        s.add(i)
    it = s.sort()
    del s
    assert [next(it) for _ in range(5000)] == list(range(5000))
    assert os.listdir(spill_dir)  # the merge still reads its runs
    del it  # abandoned half-way: the last holder removes everything
    assert os.listdir(spill_dir) == []


def test_two_threads_share_one_iterator(spill_dir):
    count = 200_000
    s = Sorter(tmp_dir=spill_dir, max_bytes=1 << 20, threads=2)
    for i in range(count):
        s.add_encoded(i, i.to_bytes(4, "big"))
    it = s.encoded()
    taken = [[], []]
    barrier = threading.Barrier(2)

    def take(out):
        barrier.wait()
        for payload in it:
            out.append(int.from_bytes(payload, "big"))

    readers = [threading.Thread(target=take, args=(out,)) for out in taken]
    for r in readers:
        r.start()
    for r in readers:
        r.join()
    assert sorted(taken[0] + taken[1]) == list(range(count))
    for out in taken:
        assert out == sorted(out)  # each saw its share in order
    assert os.listdir(spill_dir) == []


def test_iterator_type(spill_dir):
    s = Sorter(tmp_dir=spill_dir)
    it = s.sort()
    cls = type(it)
    assert (cls.__module__, cls.__name__) == ("quillmere", "_SortedIterator")
    assert cls.__doc__ == "The items of a sorter, merged in order as they are read."
    assert iter(it) is it
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(AttributeError):
        it.x = 1
    import _quillmere
    assert not hasattr(_quillmere, "_SortedIterator")
