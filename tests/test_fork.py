import gc
import os
import threading
import time
import warnings

import pytest

import _quillmere_test as qt
from _quillmere import Sorter


def forked(child, timeout=20):
    """Runs child() in a forked process; returns its exit code. A child that
    hangs is killed and fails the test."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads
        pid = os.fork()
    if pid == 0:
        code = 1
        try:
            code = child()
        finally:
            os._exit(code)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    pytest.fail("the child hung dropping an inherited sorter")


@pytest.mark.parametrize("holding", ["nothing", "a stuck spill", "the lock"])
def test_a_forked_child_leaves_the_parents_sorter_alone(spill_dir, holding):
    s = Sorter(tmp_dir=spill_dir, max_bytes=3_000_000, threads=2)
    count = 0
    gate = None
    if holding == "a stuck spill":
        gate = qt.hold_pool(s)  # a spill waits for the pool across the fork
    # With the pool held, stop where the next add would wait for the spill.
    while (not qt.must_wait(s, 10)) if gate else count < 150_000:
        s.add_encoded(count, count.to_bytes(4, "big"))
        count += 1
    (private,) = os.listdir(spill_dir)
    release = threading.Event()
    holder = None
    if holding == "the lock":
        entered = threading.Event()
        holder = threading.Thread(target=qt.hold_lock,
                                  args=(s, lambda: (entered.set(), release.wait(30))))
        holder.start()
        entered.wait(10)

    def child():
        # The parent's threads are not here; its files are not the child's.
        nonlocal s
        del s
        gc.collect()
        return 0 if os.path.isdir(spill_dir / private) else 3

    assert forked(child) == 0
    release.set()
    if holder:
        holder.join()
    if gate:
        gate.open()
    assert os.path.isdir(spill_dir / private)
    out = [int.from_bytes(p, "big") for p in s.encoded()]
    assert out == list(range(count))
    assert os.listdir(spill_dir) == []
