import gc
import os
import pathlib
import pickle
import tempfile

import numpy as np
import pytest

from _quillmere import Sorter
from conftest import pool_threads


class Codec:
    def encode(self, item):
        return bytes(item)

    def decode(self, data):
        return data


class DecodeIsANumber:
    encode = Codec.encode
    decode = 5


class EncodeRaises:
    @property
    def encode(self):
        raise KeyError("no encode")

    decode = Codec.decode


def raised(**kwargs):
    with pytest.raises(Exception) as info:
        Sorter(**kwargs)
    return info.value


@pytest.mark.parametrize("kwargs, exc_type, message", [
    (dict(key=5), TypeError, "key must be a function returning a sort key, not int"),
    (dict(codec=object()), TypeError, "a codec must have encode and decode methods, unlike object"),
    (dict(codec=DecodeIsANumber()), TypeError,
     "a codec must have encode and decode methods, unlike DecodeIsANumber"),
    (dict(codec=EncodeRaises()), TypeError,
     "a codec must have encode and decode methods, unlike EncodeRaises"),
    (dict(max_bytes=1), ValueError, "max_bytes must be at least 2, not 1"),
    (dict(max_open=-1), ValueError, "max_open must be at least 2, not -1"),
    (dict(threads=0), ValueError, "threads must be at least 1, not 0"),
    (dict(threads=-2**63), ValueError, f"threads must be at least 1, not {-2**63}"),
    # Conversions come first, then key, codec, and the minimums last.
    (dict(key=5, max_bytes="x"), TypeError, "'str' object cannot be interpreted as an integer"),
    (dict(key=5, max_bytes=1), TypeError, "key must be a function returning a sort key, not int"),
    (dict(codec=object(), threads=0), TypeError,
     "a codec must have encode and decode methods, unlike object"),
    (dict(key=5, codec=object()), TypeError, "key must be a function returning a sort key, not int"),
    (dict(max_bytes=1, max_open=1, threads=0), ValueError, "max_bytes must be at least 2, not 1"),
    (dict(max_open=1, threads=0), ValueError, "max_open must be at least 2, not 1"),
    (dict(threads=0, tmp_dir="/no/such/dir"), ValueError, "threads must be at least 1, not 0"),
])
def test_checks_in_order_with_their_messages(kwargs, exc_type, message):
    e = raised(**kwargs)
    assert type(e) is exc_type
    assert str(e) == message


@pytest.mark.parametrize("name, value, exc_type", [
    ("max_bytes", 1.5, TypeError),
    ("max_bytes", 2**70, OverflowError),
    ("max_bytes", None, TypeError),
    ("max_open", "3", TypeError),
    ("threads", 2**64, OverflowError),
    ("tmp_dir", b"/tmp", TypeError),
    ("tmp_dir", 5, TypeError),
    ("tmp_dir", "/tmp/a\0b", ValueError),
])
def test_conversion_failures_name_their_argument(name, value, exc_type):
    e = raised(**{name: value, "key": 5})
    assert type(e) is exc_type
    assert e.__notes__ == [f"while processing '{name}'"]


def test_conversions_run_in_argument_order():
    assert raised(max_bytes=1.5, tmp_dir=b"x").__notes__ == ["while processing 'max_bytes'"]
    assert raised(tmp_dir=b"x", max_open=1.5).__notes__ == ["while processing 'tmp_dir'"]
    assert raised(max_open=1.5, threads=1.5).__notes__ == ["while processing 'max_open'"]


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


def test_accepted_argument_forms(spill_dir):
    accepted = [
        dict(max_bytes=2, max_open=2, threads=1),
        dict(max_bytes=np.int64(1 << 20), max_open=Index(3), threads=True),
        dict(key=None, codec=None),
        dict(key=len, codec=Codec()),
    ]
    for kwargs in accepted:
        Sorter(tmp_dir=spill_dir, **kwargs).close()
    Sorter(None, tmp_dir=str(spill_dir)).close()
    Sorter(len, tmp_dir=PathLike(str(spill_dir))).close()
    Sorter(tmp_dir=pathlib.Path(spill_dir)).close()
    e = raised(tmp_dir=PathLike(os.fsencode(spill_dir)))
    assert type(e) is TypeError and e.__notes__ == ["while processing 'tmp_dir'"]


def test_defaults_are_pickle_and_the_temporary_directory(monkeypatch, tmp_path):
    s = Sorter()
    referents = gc.get_referents(s)
    assert referents[1:] == [pickle.dumps, pickle.loads]
    s.close()

    # tmp_dir=None means whatever tempfile.gettempdir() answers.
    not_a_dir = tmp_path / "file"
    not_a_dir.write_text("x")
    monkeypatch.setattr(tempfile, "tempdir", str(not_a_dir))
    for e in (raised(), raised(tmp_dir=None)):
        assert type(e) is NotADirectoryError
        assert e.args == (f"{not_a_dir} is not a directory",)

    def broken():
        raise LookupError("no temporary directory")

    monkeypatch.setattr(tempfile, "gettempdir", broken)
    e = raised()
    assert type(e) is LookupError and not hasattr(e, "__notes__")


def test_argument_binding_errors():
    cases = {
        "Sorter.__new__() takes at most 1 positional argument (2 given)": lambda: Sorter(None, None),
        "Sorter.__new__() got an unexpected keyword argument 'x'": lambda: Sorter(x=1),
        "Sorter.__new__() got multiple values for argument 'key'": lambda: Sorter(None, key=None),
    }
    for message, call in cases.items():
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message


def test_unusable_spill_directories(tmp_path):
    missing = tmp_path / "missing"
    e = raised(tmp_dir=missing)
    assert type(e) is FileNotFoundError
    assert e.args == (f"{missing}: {os.strerror(2)} (os error 2)",)
    assert (e.errno, e.strerror, e.filename) == (None, None, None)

    file = tmp_path / "file"
    file.write_text("x")
    e = raised(tmp_dir=file)
    assert type(e) is NotADirectoryError
    assert e.args == (f"{file} is not a directory",)

    # procfs is a directory in which nothing can be made.
    e = raised(tmp_dir="/proc")
    assert isinstance(e, OSError)
    assert str(e).startswith("/proc: ")
    assert ' at path "/proc/quillmere-' in str(e)
    assert sorted(os.listdir(tmp_path)) == ["file"]


def test_pool_has_exactly_the_threads_asked_for(spill_dir):
    before = pool_threads()
    one = Sorter(tmp_dir=spill_dir, threads=1)
    assert pool_threads() == before
    four = Sorter(tmp_dir=spill_dir, threads=4)
    assert pool_threads() == before + 4
    four.close()
    assert pool_threads() == before
    one.close()


def test_constructing_leaves_no_directory(spill_dir):
    for _ in range(20):
        Sorter(tmp_dir=spill_dir).close()
        with pytest.raises(ValueError):
            Sorter(tmp_dir=spill_dir, threads=0)
    assert os.listdir(spill_dir) == []
