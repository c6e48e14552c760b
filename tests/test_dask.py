import ast
import os
import pickle
import random
import shutil
import signal
import subprocess
import sys
import threading
import time

import pytest

distributed = pytest.importorskip("distributed")
import cloudpickle  # noqa: E402  (distributed's own dependency)
import dask.bag as db  # noqa: E402
from dask import delayed  # noqa: E402

import quillmere.dask  # noqa: E402
from conftest import left_after_failure  # noqa: E402
from quillmere import Sorter  # noqa: E402

# Workers cannot import this file: its functions travel by value.
cloudpickle.register_pickle_by_value(sys.modules[__name__])


def one_sorter(items, key):
    with Sorter(key) as s:
        return list(s.sort(items))


def bag_of(parts):
    """A bag with exactly these partitions, empty ones included."""
    return db.from_delayed([delayed(list)(p) for p in parts])


def chunks(items, sizes):
    parts, at = [], 0
    for size in sizes:
        parts.append(items[at : at + size])
        at += size
    return parts


rng = random.Random(7)
N = 6000
WORDS = [f"w{rng.randrange(400)}" for _ in range(N)]
MIXED = [rng.choice([None, rng.randrange(-50, 50), rng.random(), "s", b"b", (1, "t")]) for _ in range(N)]
CASES = {
    "ints": ([(rng.randrange(1000), i) for i in range(N)], lambda r: r[0]),
    "tuples of str and int": ([(w, i) for i, w in enumerate(WORDS)], lambda r: (r[0], -r[1] % 3)),
    "mixed kinds": ([(m, i) for i, m in enumerate(MIXED)], lambda r: r[0]),
    "half one key": ([(0 if i % 2 else rng.randrange(100), i) for i in range(N)], lambda r: r[0]),
    "items are keys": ([rng.randrange(300) for _ in range(N)], None),
}


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("npartitions", [1, 4])
def test_sorts_as_one_sorter_does(client, scratch, case, npartitions):
    url, left = scratch
    items, key = CASES[case]
    # Uneven input partitions, two of them empty.
    bag = bag_of(chunks(items, [1500, 0, 2500, 0, 2000]))
    # Some 2000 items per output partition, against 8 KiB: every one spills.
    out = quillmere.dask.sort(bag, key, npartitions=npartitions, max_bytes=8192, scratch=url)
    assert left() == []  # lazy
    parts = client.compute(out.to_delayed(), sync=True)
    assert [x for p in parts for x in p] == one_sorter(items, key)
    assert len(parts) == npartitions
    if npartitions == 4:
        # The sample spreads every case evenly, a key holding half the items
        # included.
        assert max(map(len, parts)) <= 1.25 * N / 4, list(map(len, parts))
    assert left() == []


@pytest.mark.filterwarnings("ignore:Running on a single-machine scheduler")
def test_empty_bags_and_more_partitions_than_items(client, tmp_path):
    assert quillmere.dask.sort(bag_of([[]]), scratch=str(tmp_path)).compute() == []
    assert quillmere.dask.sort(bag_of([[], []]), npartitions=3, scratch=str(tmp_path)).compute() == []
    out = quillmere.dask.sort(bag_of([[3, 1], [2]]), npartitions=6, scratch=str(tmp_path))
    assert out.compute() == [1, 2, 3]
    # Any scheduler computes it, and the same bag can be computed again.
    assert out.compute(scheduler="threads") == [1, 2, 3]
    assert os.listdir(tmp_path) == []


class Bytes:
    """A codec of bytes items that can fail on one item."""

    def __init__(self, bad=None):
        self.bad = bad

    def encode(self, item):
        return "not bytes" if item == self.bad else item

    def decode(self, payload):
        return payload


def test_bad_items_fail_as_a_sorter_would_and_leave_nothing(client, tmp_path):
    with pytest.raises(TypeError, match="must be an int, float, str") as caught:
        quillmere.dask.sort(bag_of([[1, 2], [3, object()]]), scratch=str(tmp_path)).compute()
    assert caught.value.__notes__ == ["in partition 1 of the bag being sorted"]
    assert left_after_failure(tmp_path) == []
    # A codec fails only once items are being split into pieces, some of
    # them perhaps written already.
    items = [[b"%d" % i for i in range(k, 3000, 3)] for k in range(3)]
    with pytest.raises(TypeError, match="bytes, not str") as caught:
        quillmere.dask.sort(bag_of(items), codec=Bytes(bad=b"2000"), scratch=str(tmp_path)).compute()
    assert caught.value.__notes__ == ["in partition 2 of the bag being sorted"]
    assert left_after_failure(tmp_path) == []
    # Arguments are checked at once, with the Sorter's own errors.
    with pytest.raises(ValueError, match="max_bytes must be at least 2, not 1"):
        quillmere.dask.sort(bag_of([[1]]), max_bytes=1)
    with pytest.raises(TypeError, match="key must be a function"):
        quillmere.dask.sort(bag_of([[1]]), key=5)
    with pytest.raises(ValueError, match="npartitions must be at least 1, not 0"):
        quillmere.dask.sort(bag_of([[1]]), npartitions=0)


class Killing:
    """A pickle codec that, the first time `phase` runs anywhere, writes its
    process id where the test watches for it, then stalls until killed."""

    def __init__(self, flag, phase):
        self.flag, self.phase = flag, phase

    def _maybe_stall(self, phase):
        if phase != self.phase:
            return
        try:
            fd = os.open(self.flag, os.O_CREAT | os.O_EXCL | os.O_WRONLY)
        except FileExistsError:
            return
        os.write(fd, str(os.getpid()).encode())
        os.close(fd)
        time.sleep(60)

    def encode(self, item):
        self._maybe_stall("split")
        return pickle.dumps(item)

    def decode(self, payload):
        self._maybe_stall("sort")
        return pickle.loads(payload)


@pytest.mark.parametrize("phase", ["split", "sort"])
def test_a_worker_killed_mid_task_loses_and_duplicates_nothing(tmp_path, phase):
    items, key = CASES["half one key"]
    scratch, flag = tmp_path / "scratch", tmp_path / "pid"
    scratch.mkdir()

    def kill_when_flagged():
        while not flag.exists() or not flag.read_text():
            time.sleep(0.02)
        os.kill(int(flag.read_text()), signal.SIGKILL)

    killer = threading.Thread(target=kill_when_flagged, daemon=True)
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
    ) as cluster, distributed.Client(cluster) as client:
        out = quillmere.dask.sort(
            bag_of(chunks(items, [1000] * 6)),
            key,
            codec=Killing(str(flag), phase),
            npartitions=4,
            max_bytes=8192,
            scratch=str(scratch),
        )
        killer.start()
        got = client.compute(out, sync=True)
    killer.join(timeout=5)
    assert not killer.is_alive()
    assert got == one_sorter(items, key)
    assert os.listdir(scratch) == []


CANCELLED = """
import os, pickle, sys, time
import dask.bag as db
import distributed
import quillmere.dask

class Stall:
    # Stalls the first decode: every piece is written, no output is sorted.
    def encode(self, item):
        return pickle.dumps(item)
    def decode(self, payload):
        if not os.path.exists(flag):
            open(flag, "w").close()
            time.sleep(2)
        return pickle.loads(payload)

scratch, flag = sys.argv[1:]
with distributed.LocalCluster(
    n_workers=1, threads_per_worker=2, processes=False, dashboard_address=":0"
) as cluster, distributed.Client(cluster) as client:
    bag = db.from_sequence(range(2000), npartitions=4)
    future = client.compute(quillmere.dask.sort(bag, codec=Stall(), npartitions=3, scratch=scratch))
    while not os.path.exists(flag):
        time.sleep(0.02)
    future.cancel()
    (run,) = os.listdir(scratch)
    print(sorted(os.listdir(os.path.join(scratch, run))))
"""


def test_a_cancelled_sort_leaves_nothing_once_its_process_exits(tmp_path):
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    done = subprocess.run(
        [sys.executable, "-c", CANCELLED, str(scratch), str(tmp_path / "flag")],
        capture_output=True, text=True, timeout=120,
    )
    assert done.returncode == 0, done.stderr
    # Cancelled with every piece written and some not yet read (another
    # output partition may have been sorted meanwhile); gone once it exited.
    left = ast.literal_eval(done.stdout)
    assert ".run" in left and any(name.isdigit() for name in left), left
    assert os.listdir(scratch) == []


def test_two_output_partitions_finishing_at_once(tmp_path):
    # Partition 1 finishes as partition 0 marks itself done: 1 sees every
    # partition done and removes the run before 0 looks at what is left.
    from fsspec.implementations.local import LocalFileSystem

    run = tmp_path / "run"
    (run / "0").mkdir(parents=True)
    (run / ".run").touch()
    (run / "1.done").touch()

    class Racing(LocalFileSystem):
        def touch(self, path, **kwargs):
            super().touch(path, **kwargs)
            shutil.rmtree(run)

    quillmere.dask._finish(Racing(), str(run), 0, 2)
    assert os.listdir(tmp_path) == []


def test_pieces_stay_until_every_partition_is_sorted(tmp_path, monkeypatch):
    # The same bag computed again may reuse the names of pieces a first
    # computation already read (take() then count()): a sorted partition's
    # pieces stay until the run is done, and sorting it again reopens it
    # while it reads them, so that no other partition takes the run as done.
    from fsspec.implementations.local import LocalFileSystem

    fs, run = LocalFileSystem(), tmp_path / "quillmere-x"
    for out in ("0", "1"):
        (run / out).mkdir(parents=True)
    (run / ".run").touch()
    quillmere.dask._finish(fs, str(run), 0, 2)
    assert sorted(os.listdir(run)) == [".run", "0", "0.done", "1"]

    seen = []
    monkeypatch.setattr(quillmere.dask, "_add_piece",
                        lambda sorter, fs, name: seen.append(sorted(os.listdir(run))))
    run_ref = quillmere.dask.Run(str(tmp_path), "x")
    assert quillmere.dask._sort_range(run_ref, 0, 2, None, 1 << 20, 1, ["0/0-a"]) == []
    assert seen == [[".run", "0", "1"]]
    assert sorted(os.listdir(run)) == [".run", "0", "0.done", "1"]
    quillmere.dask._finish(fs, str(run), 1, 2)
    assert os.listdir(tmp_path) == []
