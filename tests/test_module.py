import gc
import inspect
import types
import weakref

import pytest

import _quillmere
import quillmere
from _quillmere import Sorter


def test_module_exports_only_the_sorter():
    assert _quillmere.__all__ == ["Sorter"]
    assert _quillmere.__doc__ == ""
    assert not hasattr(_quillmere, "_SortedIterator")
    assert quillmere.Sorter is Sorter
    assert quillmere.__all__ == ["Sorter"]


def test_class_is_a_closed_heap_type(spill_dir):
    assert (Sorter.__module__, Sorter.__name__, Sorter.__qualname__) == ("quillmere", "Sorter", "Sorter")
    assert Sorter.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (Sorter,), {})
    with pytest.raises(TypeError):
        Sorter.extra = 1
    s = Sorter(tmp_dir=spill_dir)
    assert not hasattr(s, "__dict__")
    with pytest.raises(AttributeError):
        s.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(s)
    assert gc.is_tracked(s)
    s.close()


def test_subscripting_gives_a_generic_alias():
    alias = Sorter[bytes]
    assert isinstance(alias, types.GenericAlias)
    assert alias.__origin__ is Sorter
    assert alias.__args__ == (bytes,)
    assert Sorter.__class_getitem__(key=int).__args__ == (int,)
    with pytest.raises(TypeError):
        Sorter.__class_getitem__()


def test_methods_signatures_and_docstrings():
    own = [name for name in vars(Sorter) if not name.startswith("__") or name in
           ("__enter__", "__exit__", "__class_getitem__")]
    assert own == ["add", "add_encoded", "sort", "encoded", "write_to", "close",
                   "__enter__", "__exit__", "__class_getitem__"]
    signatures = {
        "add": "($self, item, /)",
        "add_encoded": "($self, key, payload, /)",
        "sort": "($self, items=None, /)",
        "encoded": "($self)",
        "write_to": "($self, handle)",
        "close": "($self)",
        "__enter__": "($self)",
        "__exit__": "($self, *_exc_info)",
        "__class_getitem__": "($cls, key)",
    }
    for name, signature in signatures.items():
        assert getattr(Sorter, name).__text_signature__ == signature, name
    # inspect can read them all.
    assert str(inspect.signature(Sorter.add)) == "(self, item, /)"
    assert str(inspect.signature(Sorter.__class_getitem__)) == "(key)"
    assert str(inspect.signature(Sorter)) == (
        "(key=None, *, codec=None, max_bytes=268435456, tmp_dir=None, max_open=64, threads=1)")

    assert Sorter.__doc__.startswith("Sort more items than fit in memory: add them, then sort them once.\n\n")
    assert Sorter.__doc__.endswith("OSError: If `tmp_dir` is not a directory, or a directory cannot be made in it.")
    assert Sorter.add.__doc__.startswith("Add an item, keyed and encoded now.\n\nRaises:\n    TypeError:")
    assert Sorter.close.__doc__ == (
        "Drop every item and remove what was spilled; closing again does nothing.\n\n"
        "A `write_to` already running in another thread is not stopped: it writes every item, then\n"
        "removes what was spilled.")
    for name in ("__enter__", "__exit__", "__class_getitem__"):
        assert getattr(Sorter, name).__doc__ is None  # only a signature
    assert not any(getattr(Sorter, name).__doc__.endswith("\n")
                   for name in ("add", "add_encoded", "sort", "encoded", "write_to", "close"))


class Codec:
    def encode(self, item):
        return bytes(item)

    def decode(self, data):
        return data


def test_garbage_collector_sees_key_and_codec(spill_dir):
    def key(item):
        return item

    codec = Codec()
    s = Sorter(key, codec=codec, tmp_dir=spill_dir)
    referents = gc.get_referents(s)
    assert referents[0] is Sorter
    assert referents[1] is key
    assert (referents[2].__func__, referents[2].__self__) == (Codec.encode, codec)
    assert (referents[3].__func__, referents[3].__self__) == (Codec.decode, codec)
    s.close()
