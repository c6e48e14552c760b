"""Every item comes back exactly once, in Python's stable order, whatever the
keys, the road in, the reader, the budget, max_open and threads."""

import io
import math
import operator
import os
import pickle
import random
import struct
import sys

import pytest
from hypothesis import given, settings, strategies as st

from _quillmere import Sorter

NAN = float("nan")
NEG_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000001))[0]
DBL_MAX = sys.float_info.max
RANK = {type(None): 0, bool: 1, int: 1, float: 1, str: 2, bytes: 3, tuple: 4, list: 5}


def model(key):
    """A plainly written order: Python's within a kind, None < numbers < str <
    bytes < tuple < list across kinds, every NaN equal and above +inf."""
    rank = RANK[type(key)]
    if rank >= 4:
        return (rank, [model(k) for k in key])
    if rank == 1:
        return (1, math.inf, 1) if key != key else (1, key, 0)
    return (rank, key) if rank else (0,)


def sorts_like_the_model(keys, **kwargs):
    """Sorts (key, index) items and returns whether the indices come out as
    Python's stable sort by the model puts them."""
    items = list(zip(keys, range(len(keys))))
    with Sorter(operator.itemgetter(0), **kwargs) as s:
        got = [i for _, i in s.sort(items)]
    return got == [i for _, i in sorted(items, key=lambda item: model(item[0]))]


huge_ints = st.integers(min_value=-(2**2100), max_value=2**2100)
near_powers = st.builds(lambda e, d, s: s * (2**e + d), st.integers(0, 1100),
                        st.integers(-3, 3), st.sampled_from([1, -1]))
ints = st.one_of(st.integers(), huge_ints, near_powers, st.booleans())
floats = st.one_of(st.floats(), st.sampled_from([0.0, -0.0, NAN, NEG_NAN, math.inf, -math.inf,
                                                 DBL_MAX, -DBL_MAX, 5e-324, -5e-324, 2.0**63]))
numbers = st.one_of(ints, floats, near_powers.map(lambda x: float(x) if abs(x) < 2**1023 else x))
strs = st.one_of(st.text(st.characters(codec=None, exclude_categories=()), max_size=6),
                 st.sampled_from(["a\x00", "a\x01", "\ud800", "\udfff", "\ue000", "\U0010ffff"]))
byte_strings = st.binary(max_size=6).map(lambda b: b.replace(b"\x01", b"\x00"))
keys = st.recursive(st.one_of(st.none(), numbers, strs, byte_strings),
                    lambda inner: st.one_of(st.lists(inner, max_size=4),
                                            st.lists(inner, max_size=4).map(tuple)),
                    max_leaves=10)


@settings(max_examples=400, deadline=None)
@given(st.lists(keys, max_size=30), st.sampled_from([2, 1 << 20]))
def test_any_keys_sort_like_the_model(values, max_bytes):
    # max_bytes=2 spills every item alone, so the runs' merge compares the
    # keys; otherwise the held half's sort does.
    assert sorts_like_the_model(values + values[::3], max_bytes=max_bytes)


def neighbours(x):
    """Values within a step or two of the int x: ints and nearby doubles."""
    out = [x + d for d in range(-2, 3)]
    if abs(x) < 2**1023:
        f = float(x)
        out += [f, math.nextafter(f, math.inf), math.nextafter(f, -math.inf)]
    return out


@settings(max_examples=300, deadline=None)
@given(st.one_of(huge_ints, near_powers, st.integers(-(2**130), 2**130)), st.randoms())
def test_neighbouring_ints_and_floats_keep_their_order(x, rng):
    # Random pairs are rarely within one step of a double; these always are.
    values = neighbours(x) * 2
    rng.shuffle(values)
    assert sorts_like_the_model(values)


@pytest.mark.parametrize("ordered", [
    [2.0**53, 2**53 + 1, 2.0**53 + 2],
    [2.0**63 - 1024, 2**63 - 1, 2**63, 2**63 + 1, math.nextafter(2.0**63, math.inf)],
    [math.nextafter(-(2.0**63), -math.inf), -(2**63) - 1, -(2**63), -(2.0**63) + 1024],
    [-(2**127) - 1, -(2**127), -2**64 - 1, -2**64, -2**64 + 1],
    # Low bytes of zero: the remainder's negation carries across bytes.
    [-(2**200) - 2**16, -(2**200) - 257, -(2**200) - 256, -(2**200) - 255, -(2**200)],
    [math.nextafter(DBL_MAX, 0), DBL_MAX, 2**1024 - 1, 2**1024, 2**2000, math.inf, NAN],
    [-math.inf, -(2**2000), -(2**1024), -(2**1024) + 1, -DBL_MAX, math.nextafter(-DBL_MAX, 0)],
    [-1.5, -5e-324, -0.0, 5e-324, 1.5],
    ["a", "a\x00", "a\x01", "ab", "\ud7ff", "\ud800", "\udfff", "\ue000"],
    [b"", b"\x00", b"\x00\x00", b"\x01"],
    [(1, 2), (1, 2, 0), (1, 3), ("a",), ("a\x00",), ("a", None)],
    [None, -math.inf, NAN, "", "\U0010ffff", b"", b"\xff", (), ([],), [], [[]]],
])
def test_edge_values_in_order(ordered):
    assert sorts_like_the_model(ordered[::-1] + ordered)


def test_equal_numbers_keep_their_order():
    equal = [0, -0.0, False, 0.0, 2**63, 2.0**63, 2**1000, 2.0**1000, NAN, NEG_NAN, -NAN]
    with Sorter(operator.itemgetter(0)) as s:
        out = [i for _, i in s.sort((v, i) for i, v in enumerate(equal))]
    assert out == [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10]


class PickleCodec:
    def encode(self, item):
        return pickle.dumps(item, 4)

    def decode(self, data):
        return pickle.loads(data)


def pickles(data):
    stream = io.BytesIO(data)
    while stream.tell() < len(data):
        yield pickle.load(stream)


# Few distinct keys of every kind, so that equal keys meet across runs,
# merge passes and the held half.
POOL = [None, 0, -0.0, True, 1.0, -7, 2**70, -2**70, 2.5, NAN, math.inf, "", "a", "a\x00",
        "\ud800", b"", b"\x00", b"a", (), (1, "a"), (1.0, "a"), [], [None], [[2], b"x"]]


CONFIGS = [  # max_bytes, max_open, threads, count
    (2, 2, 1, 120),               # every item a run of its own, merged two at a time
    (2, 3, 3, 150),
    (4000, 3, 3, 20_000),
    (20_000, 64, 1, 20_000),
    (1 << 20, 64, 2, 20_000),     # nothing spilled
]


@pytest.mark.parametrize("reader, max_bytes, max_open, threads, count", [
    (reader, *config) for reader in ("sort", "encoded", "write_to") for config in CONFIGS
] + [("encoded", 5_000_000, 64, 3, 150_000)])  # halves of over 32768 entries, sorted on the pool
def test_output_is_pythons_stable_sort(spill_dir, reader, max_bytes, max_open, threads, count):
    rng = random.Random(f"{reader}{max_bytes}{max_open}{threads}")
    items = [(rng.choice(POOL), i) for i in range(count)]
    codec = PickleCodec() if threads == 3 else None
    s = Sorter(operator.itemgetter(0), codec=codec, tmp_dir=spill_dir, max_bytes=max_bytes,
               max_open=max_open, threads=threads)
    # Items go in by all three roads; equal keys keep the order of addition.
    third = count // 3
    for item in items[:third]:
        s.add(item)
    for item in items[third:2 * third]:
        s.add_encoded(item[0], (codec or PickleCodec()).encode(item))
    if reader == "sort":
        out = list(s.sort(items[2 * third:]))
    else:
        for item in items[2 * third:]:
            s.add(item)
        if reader == "encoded":
            out = [(codec or PickleCodec()).decode(p) for p in s.encoded()]
        else:
            handle = io.BytesIO()
            s.write_to(handle)
            out = list(pickles(handle.getvalue()))
    assert len(s) == count
    assert [i for _, i in out] == [i for _, i in sorted(items, key=lambda it: model(it[0]))]
    assert os.listdir(spill_dir) == []
