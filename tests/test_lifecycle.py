import gc
import threading

import pytest

import _quillmere_test as qt
from _quillmere import Sorter
from conftest import pool_threads


def test_with_block_binds_and_closes_the_sorter(spill_dir):
    with Sorter(tmp_dir=spill_dir) as s:
        assert isinstance(s, Sorter)
        assert qt.state(s) == "Adding"
    assert qt.state(s) == "Closed"
    assert s.close() is None
    assert s.close() is None
    assert qt.state(s) == "Closed"
    assert len(s) == 0


def test_exit_ignores_its_arguments_and_lets_exceptions_through(spill_dir):
    with pytest.raises(KeyError):
        with Sorter(tmp_dir=spill_dir) as s:
            raise KeyError("inside")
    assert qt.state(s) == "Closed"
    t = Sorter(tmp_dir=spill_dir)
    assert t.__exit__(1, 2, 3, 4) is None
    assert qt.state(t) == "Closed"
    with pytest.raises(TypeError):
        t.__exit__(exc=None)


def test_close_waits_for_work_under_the_lock(spill_dir):
    s = Sorter(tmp_dir=spill_dir, threads=2)
    entered, leave = threading.Event(), threading.Event()
    holder = threading.Thread(target=qt.hold_lock, args=(s, lambda: (entered.set(), leave.wait(10))))
    holder.start()
    assert entered.wait(10)
    closer = threading.Thread(target=s.close)
    closer.start()
    closer.join(0.2)
    assert closer.is_alive(), "close() did not wait for the lock's holder"
    leave.set()
    holder.join()
    closer.join()
    assert qt.state(s) == "Closed"


def test_close_from_under_its_own_lock_is_a_reentrant_call(spill_dir):
    before = pool_threads()
    s = Sorter(tmp_dir=spill_dir, threads=2)

    def inside():
        for close in (s.close, s.__exit__):
            with pytest.raises(RuntimeError) as info:
                close()
            assert str(info.value) == "reentrant call"
        return "done"

    assert qt.hold_lock(s, inside) == "done"
    assert qt.state(s) == "Adding"  # the failed close changed nothing
    s.close()
    assert qt.state(s) == "Closed"
    assert pool_threads() == before


def test_threads_closing_one_sorter_together(spill_dir):
    before = pool_threads()
    sorters = [Sorter(tmp_dir=spill_dir, threads=2) for _ in range(10)]
    barrier = threading.Barrier(8)

    def close_all():
        barrier.wait()
        for s in sorters:
            s.close()
            assert len(s) == 0

    workers = [threading.Thread(target=close_all) for _ in range(8)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert all(qt.state(s) == "Closed" for s in sorters)
    assert pool_threads() == before


class Key:
    def __call__(self, item):
        return item


def test_collection_releases_the_sorter(spill_dir):
    before = pool_threads()
    s = Sorter(tmp_dir=spill_dir, threads=3)
    assert pool_threads() == before + 3
    del s
    assert pool_threads() == before

    # A key function that refers to its own sorter makes a cycle that only
    # the garbage collector can break.
    gc.disable()
    try:
        key = Key()
        key.sorter = Sorter(key, tmp_dir=spill_dir, threads=2)
        del key
        assert pool_threads() == before + 2
        gc.collect()
        assert pool_threads() == before
    finally:
        gc.enable()
