import math
import struct
import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from _quillmere_test import encode_key

TYPE_ERROR = "a sort key must be an int, float, str, bytes, None, or a tuple or list of them, not "
NAN = float("nan")
NEG_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000001))[0]
DBL_MAX = sys.float_info.max


@pytest.mark.parametrize("keys, encoding", [
    ([None], "10"),
    ([0, 0.0, -0.0, False], "20 80 00 00 00 00 00 00 00 00"),
    ([1, 1.0, True], "20 BF F0 00 00 00 00 00 00 00"),
    ([-1], "20 40 0F FF FF FF FF FF FF 00"),
    ([1.5], "20 BF F8 00 00 00 00 00 00 00"),
    ([255], "20 C0 6F E0 00 00 00 00 00 00"),
    ([2**53, 2.0**53], "20 C3 40 00 00 00 00 00 00 00"),
    ([2**53 + 1], "20 C3 40 00 00 00 00 00 00 01 01"),
    ([2**70], "20 C4 50 00 00 00 00 00 00 00"),
    ([-(2**70)], "20 3B AF FF FF FF FF FF FF 00"),
    ([math.inf], "20 FF F0 00 00 00 00 00 00 00"),
    ([-math.inf], "20 00 0F FF FF FF FF FF FF 00"),
    ([NAN, -NAN, NEG_NAN], "20 FF F8 00 00 00 00 00 00 00"),
    ([2**1024], "20 FF EF FF FF FF FF FF FF 81 01" + " 00" * 128),
    ([-(2**1024)], "20 00 0F FF FF FF FF FF FF 01 7E FE" + " FF" * 128),
    (["ab"], "30 61 62 00 00"),
    ([b"a\x00"], "40 61 00 FF 00 00"),
    ([()], "50 00"),
    ([[]], "60 00"),
    ([[1]], "60 20 BF F0 00 00 00 00 00 00 00 00"),
    ([(1, "a")], "50 20 BF F0 00 00 00 00 00 00 00 30 61 00 00 00"),
    (["\ud800"], "30 ED A0 80 00 00"),
])
def test_worked_examples(keys, encoding):
    for key in keys:
        assert encode_key(key).hex(" ").upper() == encoding, repr(key)


# A plainly written model of the order: Python's own comparisons within a
# kind, a fixed order across kinds, NaNs equal and above +inf.
RANK = {type(None): 0, int: 1, bool: 1, float: 1, str: 2, bytes: 3, tuple: 4, list: 5}


def model_cmp(a, b):
    ra, rb = RANK[type(a)], RANK[type(b)]
    if ra != rb:
        return (ra > rb) - (ra < rb)
    if ra == 0:
        return 0
    if ra == 1:
        a_nan = isinstance(a, float) and math.isnan(a)
        b_nan = isinstance(b, float) and math.isnan(b)
        if a_nan or b_nan:
            return a_nan - b_nan
    if ra in (4, 5):
        for x, y in zip(a, b):
            c = model_cmp(x, y)
            if c:
                return c
        return (len(a) > len(b)) - (len(a) < len(b))
    return (a > b) - (a < b)


def encoded_cmp(a, b):
    ea, eb = encode_key(a), encode_key(b)
    return (ea > eb) - (ea < eb)


huge_ints = st.integers(min_value=-(2**2100), max_value=2**2100)
near_powers = st.builds(lambda e, d, s: s * (2**e + d), st.integers(0, 1100),
                        st.integers(-3, 3), st.sampled_from([1, -1]))
ints = st.one_of(st.integers(), huge_ints, near_powers, st.booleans())
floats = st.one_of(st.floats(allow_nan=True, allow_infinity=True),
                   st.sampled_from([0.0, -0.0, NAN, NEG_NAN, math.inf, -math.inf, DBL_MAX, -DBL_MAX,
                                    5e-324, -5e-324, 2.0**53, 2.0**63, -(2.0**63)]))
numbers = st.one_of(ints, floats, near_powers.map(lambda x: float(x) if abs(x) < 2**1023 else x))
texts = st.text(alphabet=st.characters(codec=None, exclude_categories=()), max_size=8)
strs = st.one_of(texts, st.sampled_from(["", "a", "a\x00", "a\x01", "ab", "\ud800", "\udfff",
                                         "\ud7ff", "\ue000", "\U0010ffff"]))
byte_strings = st.binary(max_size=8).map(lambda b: b.replace(b"\x01", b"\x00"))
scalars = st.one_of(st.none(), numbers, strs, byte_strings)
keys = st.recursive(scalars, lambda inner: st.one_of(st.tuples(inner, inner), st.lists(inner, max_size=4),
                                                     st.lists(inner, max_size=3).map(tuple)),
                    max_leaves=12)


@settings(max_examples=3000, deadline=None)
@given(numbers, numbers)
def test_numbers_order_as_python_compares_them(a, b):
    ea, eb = encode_key(a), encode_key(b)
    if not (isinstance(a, float) and math.isnan(a)) and not (isinstance(b, float) and math.isnan(b)):
        assert (a < b) == (ea < eb), (a, b)
        assert (a == b) == (ea == eb), (a, b)
    assert model_cmp(a, b) == encoded_cmp(a, b), (a, b)


def neighbours(x):
    """Values within a step or two of the int x: ints and nearby doubles."""
    out = [x + d for d in range(-2, 3)]
    if abs(x) < 2**1023:
        f = float(x)
        out += [f, math.nextafter(f, math.inf), math.nextafter(f, -math.inf)]
    return out


@settings(max_examples=1500, deadline=None)
@given(st.one_of(huge_ints, near_powers, st.integers(-(2**130), 2**130)))
def test_neighbouring_numbers_keep_their_order(x):
    # Random pairs are rarely within one step of a double; these always are.
    values = neighbours(x)
    for a in values:
        for b in values:
            assert (a < b) == (encode_key(a) < encode_key(b)), (a, b)
            assert (a == b) == (encode_key(a) == encode_key(b)), (a, b)


@settings(max_examples=1500, deadline=None)
@given(st.one_of(st.tuples(strs, strs), st.tuples(byte_strings, byte_strings)))
def test_strings_and_bytes_order_as_python_compares_them(pair):
    a, b = pair
    ea, eb = encode_key(a), encode_key(b)
    assert (a < b) == (ea < eb)
    assert (a == b) == (ea == eb)


@settings(max_examples=3000, deadline=None)
@given(keys, keys)
def test_any_two_keys_order_like_the_model(a, b):
    assert model_cmp(a, b) == encoded_cmp(a, b), (a, b)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.one_of(ints, floats.filter(lambda f: not math.isnan(f))), max_size=30))
def test_sorting_by_encoding_is_sorting(values):
    assert [x for x in sorted(values, key=encode_key)] == sorted(values)


def test_cross_kind_order():
    ladder = [None, -math.inf, NAN, "", "\U0010ffff" * 3, b"", b"\xff" * 3, (), ([],), [], [[]]]
    encodings = [encode_key(k) for k in ladder]
    assert encodings == sorted(encodings)
    assert encode_key((0,)) < encode_key([0]) and encode_key((0,)) != encode_key([0])


@pytest.mark.parametrize("ordered", [
    [2.0**53, 2**53 + 1, 2.0**53 + 2],
    [2.0**63 - 1024, 2**63 - 1, 2**63, 2**63 + 1, math.nextafter(2.0**63, math.inf)],
    [math.nextafter(-(2.0**63), -math.inf), -(2**63) - 1, -(2**63), -(2.0**63) + 1024],
    [math.nextafter(DBL_MAX, 0), DBL_MAX, 2**1024 - 1, 2**1024, 2**2000, math.inf, NAN],
    [-math.inf, -(2**2000), -(2**1024), -(2**1024) + 1, -DBL_MAX, math.nextafter(-DBL_MAX, 0)],
    ["a", "a\x00", "a\x01", "ab"],
    [b"", b"\x00", b"\x00\x00", b"\x01"],
    ["\ud7ff", "\ud800", "\udfff", "\ue000"],
    [(1, 2), (1, 2, 0), (1, 3)],
])
def test_edge_orders(ordered):
    encodings = [encode_key(k) for k in ordered]
    assert all(x < y for x, y in zip(encodings, encodings[1:]))


def test_equal_values_encode_alike():
    for group in ([2**63, 2.0**63], [-(2**63), -(2.0**63)], [2**1000, 2.0**1000], [0, -0.0, False]):
        assert len({encode_key(v) for v in group}) == 1, group


def nested(depth, make):
    key = 0
    for i in range(depth):
        key = make(i)(key)
    return key


@pytest.mark.parametrize("make", [
    lambda i: lambda x: (x,),
    lambda i: lambda x: [x],
    lambda i: (lambda x: (x,)) if i % 2 else (lambda x: [x]),
])
def test_nesting_limit(make):
    assert encode_key(nested(256, make))
    with pytest.raises(RecursionError) as info:
        encode_key(nested(257, make))
    assert str(info.value) == "a sort key is nested more than 256 deep"


@pytest.mark.parametrize("key, name", [
    (bytearray(b"x"), "bytearray"),
    ({}, "dict"),
    (set(), "set"),
    (np.float32(1.5), "float32"),
    (np.bool_(True), "bool"),
    ((1, [2, {3}]), "set"),
    (object(), "object"),
])
def test_refused_kinds(key, name):
    with pytest.raises(TypeError) as info:
        encode_key(key)
    assert str(info.value) == TYPE_ERROR + name


def test_numpy_scalars_are_their_python_values():
    assert encode_key(np.int64(-7)) == encode_key(-7)
    assert encode_key(np.uint64(2**64 - 1)) == encode_key(2**64 - 1)
    assert encode_key(np.float64(2.5)) == encode_key(2.5)
    assert encode_key(np.str_("ab")) == encode_key("ab")
    assert encode_key(np.bytes_(b"a\x00")) == encode_key(b"a\x00")


class Boom(Exception):
    pass


class LyingInt(int):
    def bit_length(self):
        raise Boom

    def to_bytes(self, *args, **kwargs):
        raise Boom

    def __index__(self):
        raise Boom

    def __lt__(self, other):
        raise Boom


class LyingFloat(float):
    def __float__(self):
        raise Boom

    def __lt__(self, other):
        raise Boom


class LyingStr(str):
    def encode(self, *args, **kwargs):
        raise Boom


def test_subclasses_are_keyed_by_their_values():
    for value in (5, -(2**100), 2**3000):
        assert encode_key(LyingInt(value)) == encode_key(value)
    assert encode_key(LyingFloat(-2.5)) == encode_key(-2.5)
    assert encode_key(LyingStr("a\ud800")) == encode_key("a\ud800")


class Index:
    def __init__(self, value, effect=None):
        self.value, self.effect = value, effect

    def __index__(self):
        if self.effect:
            self.effect()
        return self.value


def test_index_objects_and_their_failures():
    assert encode_key(Index(2**80)) == encode_key(2**80)

    class RaisingIndex:
        def __index__(self):
            raise Boom

    with pytest.raises(Boom):
        encode_key(RaisingIndex())

    class BadIndex:
        def __index__(self):
            return 1.5

    with pytest.raises(TypeError):
        encode_key(BadIndex())


def test_a_list_changed_while_it_is_encoded():
    shrinking = ["a", "b", "c", "d"]
    shrinking.insert(0, Index(7, lambda: (shrinking.pop(), shrinking.pop(), shrinking.pop())))
    # [7, 'a'] remain when the second element is read.
    assert encode_key(shrinking) == encode_key([7, "a"])

    growing = ["a", "b"]
    growing.insert(0, Index(7, lambda: growing.extend(["x", "y"])))
    assert encode_key(growing) == encode_key([7, "a", "b"])


def test_plain_keys_run_no_python_code():
    plain = [0, -1, 2**63 - 1, -(2**63), 1.5, NAN, None, "", "short", b"\x00bytes", True,
             ("a", 1, 2.0, None, b"")]
    calls = []

    def profile(frame, event, arg):
        if event == "call":
            calls.append(frame.f_code.co_name)

    sys.setprofile(profile)
    try:
        for key in plain * 100:
            encode_key(key)
    finally:
        sys.setprofile(None)
    assert calls == []

    # The profile hook does see Python code that the encoder runs.
    index = Index(3)
    sys.setprofile(profile)
    try:
        encode_key(index)
    finally:
        sys.setprofile(None)
    assert calls == ["__index__"]
