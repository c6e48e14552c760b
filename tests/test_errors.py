import errno
import os

import pytest

import _quillmere_test as qt

CLASSES = {
    "NotFound": FileNotFoundError,
    "PermissionDenied": PermissionError,
    "ConnectionRefused": ConnectionRefusedError,
    "ConnectionReset": ConnectionResetError,
    "ConnectionAborted": ConnectionAbortedError,
    "BrokenPipe": BrokenPipeError,
    "AlreadyExists": FileExistsError,
    "WouldBlock": BlockingIOError,
    "NotADirectory": NotADirectoryError,
    "IsADirectory": IsADirectoryError,
    "TimedOut": TimeoutError,
    "Interrupted": InterruptedError,
    "OutOfMemory": MemoryError,
}


@pytest.mark.parametrize("kind", qt.kinds())
def test_kind_decides_the_class(kind):
    e = qt.io_error(kind, "what happened")
    assert type(e) is CLASSES.get(kind, OSError)
    assert e.args == ("what happened",)
    if isinstance(e, OSError):
        assert (e.errno, e.strerror, e.filename) == (None, None, None)
    alone = qt.io_error(kind)
    assert type(alone) is type(e)
    assert alone.args[0] and alone.args[0] == alone.args[0].lower()


def test_kind_alone_reads_as_its_description():
    assert qt.io_error("UnexpectedEof").args == ("unexpected end of file",)


@pytest.mark.parametrize("number, exc_type", [
    (errno.ENOENT, FileNotFoundError),
    (errno.EACCES, PermissionError),
    (errno.EPERM, PermissionError),
    (errno.EEXIST, FileExistsError),
    (errno.EAGAIN, BlockingIOError),
    (errno.ENOMEM, MemoryError),
    (errno.ENOSPC, OSError),
    (errno.EIO, OSError),
])
def test_operating_system_errors(number, exc_type):
    e = qt.os_error(number)
    assert type(e) is exc_type
    assert e.args == (f"{os.strerror(number)} (os error {number})",)
    wrapped = qt.os_error(number, "/spill/run-000001")
    assert type(wrapped) is exc_type
    assert wrapped.args == (f"/spill/run-000001: {os.strerror(number)} (os error {number})",)


def test_paths_that_are_not_utf8_survive_in_messages():
    path = b"/spill/\xff\xfe"
    e = qt.os_error(errno.ENOSPC, path)
    assert os.fsencode(e.args[0]).startswith(path + b": ")


def test_invalid_and_lost():
    e = qt.invalid("a key or value must be shorter than 4 GiB")
    assert type(e) is ValueError and e.args == ("a key or value must be shorter than 4 GiB",)
    e = qt.lost()
    assert type(e) is RuntimeError
    assert e.args == ("an earlier error lost records, so sorting cannot go on",)
