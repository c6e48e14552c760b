"""Items the sorter pickles itself: the bytes are pickle.dumps(item, 5)'s,
the objects handed back are pickle.loads's, and whatever it does not cover
goes to pickle's own functions, whose results and exceptions stand."""

import math
import pickle
import random

import pytest
from hypothesis import example, given, settings, strategies as st

from _quillmere import Sorter


def stored_and_read(items):
    """The payloads stored for the items, and the items read back."""
    with Sorter(key=lambda item: 0) as s:
        for item in items:
            s.add(item)
        stored = list(s.encoded())
    with Sorter(key=lambda item: 0) as s:
        read = list(s.sort(items))
    return stored, read


def shared(draw_list):
    """Repeats some of a list's objects by identity, as pickle's memo sees."""
    values, picks = draw_list
    return [values[i % len(values)] for i in picks] if values else []


scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(-(2**600), 2**600),
    st.floats(allow_nan=True), st.sampled_from([-0.0, math.inf, -math.inf, float("nan")]),
    st.text(max_size=20), st.text(st.characters(codec="utf-8"), min_size=200, max_size=300),
    st.binary(max_size=20), st.binary(min_size=250, max_size=300))
items = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=5), st.lists(inner, max_size=5).map(tuple),
        st.dictionaries(st.one_of(st.integers(), st.text(max_size=5)), inner, max_size=5),
        st.tuples(st.lists(inner, min_size=1, max_size=3),
                  st.lists(st.integers(0, 9), max_size=6)).map(shared)),
    max_leaves=25)
# Crossing the batches of 1000, and near the 64 KiB frame on either side.
big = st.sampled_from([list(range(999, 2002)), {i: str(i) for i in range(1000)},
                       {i: i for i in range(1001)}, ["x" * 60] * 999, "y" * 65_000,
                       [b"z" * 65_000], b"w" * 70_000, [random.Random(1).random()] * 8000])


@settings(max_examples=300, deadline=None)
@given(st.lists(st.one_of(items, big), min_size=1, max_size=6))
# Equal one-byte bytes that are distinct objects stay distinct, though the
# interpreter shares one object for each byte.
@example([{0: bytes(bytearray(b"\xc2")), 1: bytes(bytearray(b"\xc2"))}])
def test_bytes_and_objects_are_pickles_own(values):
    stored, read = stored_and_read(values)
    assert stored == [pickle.dumps(v, 5) for v in values]
    # Equal values, and the same sharing of objects: pickling again shows
    # both, memo references included (and NaNs compare by their bits).
    assert [pickle.dumps(r, 5) for r in read] == [pickle.dumps(pickle.loads(p), 5) for p in stored]


class Int(int):
    pass


def test_what_it_does_not_cover_goes_to_pickle(monkeypatch):
    deep = []
    for _ in range(100):
        deep = [deep]
    loop = (1, [])
    loop[1].append(loop)  # a tuple met again inside itself
    others = [Int(5), {1, 2}, "a\ud800", deep, loop, complex(1, 2), range(3)]
    stored, read = stored_and_read(others)
    assert stored == [pickle.dumps(v, 5) for v in others]
    assert [pickle.dumps(r, 5) for r in read] == stored
    with pytest.raises(type(raised(pickle.dumps, [lambda: 0], 5))):
        Sorter(key=len).add([lambda: 0])
    # A dumps or loads put in pickle's place is called for every item.
    calls = []
    dumps, loads = pickle.dumps, pickle.loads
    monkeypatch.setattr(pickle, "dumps", lambda *a: calls.append("dumps") or dumps(*a))
    monkeypatch.setattr(pickle, "loads", lambda *a: calls.append("loads") or loads(*a))
    assert list(Sorter().sort([2, 1])) == [1, 2]
    assert calls == ["dumps", "dumps", "loads", "loads"]


def raised(call, *args):
    try:
        call(*args)
    except Exception as e:
        return e
    return None


canonical = pickle.dumps(("key", [1, 2.5, None], {"a": b"b"}), 5)


@pytest.mark.parametrize("payload", [
    pickle.dumps(("key", [1, 2]), 2), pickle.dumps(("key", [1, 2]), 0),
    pickle.dumps(("key", 1), 4), pickle.dumps(Int(3), 5),
    b"\x80\x05K\x01.trailing", b"\x80\x05N", b"\x80\x05]\x94(\x94\x94e.",
    canonical[:-1], canonical[:20], canonical.replace(b"\x94", b"\x95", 1),
    canonical[:2] + canonical[11:], canonical[:3] + b"\x01" + canonical[4:],
    b"\x80\x05}\x94(]\x94K\x01u.",  # an unhashable key
    b"\x80\x05h\x07.", b"", b"garbage",
])
def test_other_payloads_read_as_pickle_reads_them(payload):
    with Sorter() as s:
        s.add_encoded(0, payload)
        expected = raised(pickle.loads, payload)
        if expected is None:
            assert [pickle.dumps(r, 5) for r in s.sort()] == [pickle.dumps(pickle.loads(payload), 5)]
        else:
            with pytest.raises(type(expected)) as info:
                list(s.sort())
            assert str(info.value) == str(expected)
