import pickle

import pytest

import _quillmere_test as qt
from _quillmere import Sorter
from runfiles import read_records


class Counting:
    """A key function and codec that count their calls."""

    def __init__(self):
        self.keys = self.encodes = 0

    def key(self, item):
        self.keys += 1
        return item

    def encode(self, item):
        self.encodes += 1
        return str(item).encode()

    def decode(self, data):
        return data


def test_closed_sorter_refuses_before_calling_user_code(spill_dir):
    calls = Counting()
    s = Sorter(calls.key, codec=calls, tmp_dir=spill_dir)
    s.add(1)
    s.close()
    for call in (lambda: s.add(2), lambda: s.add_encoded(2, b"2")):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == "I/O operation on a closed sorter"
    assert (calls.keys, calls.encodes, len(s)) == (1, 1, 1)


class Boom(Exception):
    pass


def test_failures_add_nothing(spill_dir):
    calls = Counting()

    def key(item):
        if item == "boom":
            raise Boom
        return calls.key(item)

    s = Sorter(key, codec=calls, tmp_dir=spill_dir)
    s.add(1)
    with pytest.raises(Boom):
        s.add("boom")
    assert (len(s), calls.encodes) == (1, 1)
    with pytest.raises(TypeError) as info:
        s.add({1, 2})  # a set is no sort key: the codec is not called
    assert str(info.value).endswith("tuple or list of them, not set")
    assert (len(s), calls.encodes) == (1, 1)
    s.close()


class Returns:
    def __init__(self, value):
        self.value = value

    def encode(self, item):
        return self.value

    def decode(self, data):
        return data


class Bytes(bytes):
    pass


@pytest.mark.parametrize("result, error", [
    ("text", "a codec must encode an item into bytes, not str"),
    (bytearray(b"x"), "a codec must encode an item into bytes, not bytearray"),
    (None, "a codec must encode an item into bytes, not NoneType"),
    (Bytes(b"x"), None),
])
def test_codec_must_return_bytes(spill_dir, result, error):
    s = Sorter(codec=Returns(result), tmp_dir=spill_dir)
    if error is None:
        s.add(1)
        assert len(s) == 1
    else:
        with pytest.raises(TypeError) as info:
            s.add(1)
        assert str(info.value) == error
        assert len(s) == 0
    s.close()


def test_pickle_errors_pass_through(spill_dir):
    item = lambda: 0  # noqa: E731
    with pytest.raises(Exception) as expected:
        pickle.dumps(item, 5)
    s = Sorter(key=lambda x: 0, tmp_dir=spill_dir)
    with pytest.raises(type(expected.value)):
        s.add(item)
    s.close()


@pytest.mark.parametrize("payload, message", [
    ("text", "'str' object is not an instance of 'bytes'"),
    (None, "'None' is not an instance of 'bytes'"),
    (bytearray(b"x"), "'bytearray' object is not an instance of 'bytes'"),
])
def test_add_encoded_wants_bytes_even_when_closed(spill_dir, payload, message):
    s = Sorter(tmp_dir=spill_dir)
    for _ in range(2):
        with pytest.raises(TypeError) as info:
            s.add_encoded(1, payload)
        assert str(info.value) == message
        assert info.value.__notes__ == ["while processing 'payload'"]
        s.close()


def test_add_encoded_calls_neither_key_nor_codec(spill_dir):
    def key(item):
        raise Boom

    class Refusing:
        def encode(self, item):
            raise Boom

        def decode(self, data):
            raise Boom

    s = Sorter(key, codec=Refusing(), tmp_dir=spill_dir)
    s.add_encoded(None, b"")
    s.add_encoded((1, "a"), Bytes(b"x"))
    assert len(s) == 2
    with pytest.raises(TypeError):
        s.add_encoded({1}, b"x")  # the key is still encoded
    assert len(s) == 2
    s.close()


def test_argument_binding(spill_dir):
    s = Sorter(tmp_dir=spill_dir)
    for call in (lambda: s.add(), lambda: s.add(1, 2), lambda: s.add(item=1),
                 lambda: s.add_encoded(1), lambda: s.add_encoded(key=1, payload=b"")):
        with pytest.raises(TypeError):
            call()
    assert len(s) == 0
    s.close()


def test_key_function_that_uses_its_own_sorter(spill_dir):
    holder = []

    def closing_key(item):
        holder[0].close()
        return item

    s = Sorter(closing_key, tmp_dir=spill_dir)
    holder.append(s)
    with pytest.raises(ValueError) as info:
        s.add(1)
    assert str(info.value) == "I/O operation on a closed sorter"
    assert len(s) == 0

    def adding_key(item):
        if item == "outer":
            holder[1].add("inner")
        return item

    t = Sorter(adding_key, tmp_dir=spill_dir)
    holder.append(t)
    t.add("outer")
    assert len(t) == 2
    t.close()


def test_items_are_pickled_with_protocol_5(spill_dir):
    # With max_bytes=2 every item is spilled on its own.
    items = [("a", 1), 2.5, [1, "x"], None]
    s = Sorter(tmp_dir=spill_dir, max_bytes=2)
    for item in items:
        s.add(item)
    qt.wait_spill(s)
    runs = qt.runs(s)
    assert [count for _, count, _ in runs] == [1, 1, 1]
    for (path, _, _), item in zip(runs, items):
        assert read_records(path) == [(qt.encode_key(item), pickle.dumps(item, 5))]
    s.close()
