import os
import signal
import sys
import threading
import time

import pytest

distributed = pytest.importorskip("distributed")
# pandas installed for another Python raises ImportError, not ModuleNotFoundError.
pd = pytest.importorskip("pandas", exc_type=ImportError)
pytest.importorskip("pyarrow", exc_type=ImportError)
import cloudpickle  # noqa: E402  (distributed's own dependency)
import dask  # noqa: E402
import dask.dataframe as dd  # noqa: E402
import numpy as np  # noqa: E402

import _quillmere  # noqa: E402
import quillmere.dask  # noqa: E402
from conftest import left_after_failure  # noqa: E402

# Workers cannot import this file: its functions travel by value.
cloudpickle.register_pickle_by_value(sys.modules[__name__])

# Dask would turn object columns into Arrow strings (numbers and bytes
# among them); they are kept as they are, to be sorted as they are.
pytestmark = pytest.mark.usefixtures("object_columns_kept")


@pytest.fixture(scope="module")
def object_columns_kept():
    with dask.config.set({"dataframe.convert-string": False}):
        yield

N = 3000


def table(n=N, seed=3):
    """A frame with a column of every kind of key, each with repeats and missing values."""
    rng = np.random.default_rng(seed)
    small = rng.integers(-4, 4, n)
    gaps = rng.random(n) < 0.15
    words = np.array(["", "a", "a\x00b", "ab", "b", "é", "z" * 40, "\U0001f600"], dtype=object)
    text = words[rng.integers(0, len(words), n)]
    text[gaps] = None
    floats = small * 0.5
    floats[small == 0] = np.where(rng.random((small == 0).sum()) < 0.5, -0.0, 0.0)
    floats[gaps] = np.nan
    times = pd.to_datetime(small, unit="h") + pd.Timedelta("1D")
    times = times.where(~gaps, pd.NaT)
    return pd.DataFrame({
        "int": small,
        "int8": small.astype(np.int8),
        "uint": (small + 4).astype(np.uint64) * np.uint64(1 << 61),
        "float": floats,
        "float32": floats.astype(np.float32),
        "bool": small > 0,
        "object": text,
        "arrow": pd.array(text, dtype="string[pyarrow]"),
        "python": pd.array(text, dtype="string[python]"),
        "bytes": np.array([None if t is None else t.encode() for t in text], dtype=object),
        "numbers": np.array([None if g else (s if s % 2 else s + 0.5) for s, g in
                             zip(small.tolist(), gaps)], dtype=object),
        "datetime": times,
        "zoned": times.tz_localize("UTC").tz_convert("America/New_York"),
        "delta": pd.to_timedelta(small, unit="s").where(~gaps, pd.NaT),
        "Int64": pd.array(np.where(gaps, None, small), dtype="Int64"),
        "Float64": pd.array(np.where(gaps, None, floats), dtype="Float64"),
        "boolean": pd.array(np.where(gaps, None, small > 0), dtype="boolean"),
        # Not "a\x00b": pandas' own hash tables take it for "a".
        "category": pd.Categorical(np.where(gaps | (text == "a\x00b"), None, text),
                                   categories=[w for w in words[::-1] if w and "\x00" not in w]),
        "row": np.arange(n),
    }, index=rng.integers(0, 50, n))


def dask_frame(frame, sizes):
    """A Dask frame with partitions of these sizes, empty ones included."""
    parts, at = [], 0
    for size in sizes:
        parts.append(frame.iloc[at : at + size])
        at += size
    return dd.from_delayed([dask.delayed(lambda p: p)(p) for p in parts], meta=frame.iloc[:0],
                           verify_meta=False)


def assert_same(got, want):
    assert list(got.columns) == list(want.columns)
    assert got.dtypes.to_dict() == want.dtypes.to_dict()
    pd.testing.assert_frame_equal(got, want)


FRAME = table()
SINGLE = [c for c in FRAME.columns if c != "row"]


@pytest.mark.parametrize("na_position", ["last", "first"])
@pytest.mark.parametrize("ascending", [True, False])
@pytest.mark.parametrize("column", SINGLE)
def test_each_kind_of_key_sorts_as_pandas_stable_sort(tmp_path, column, ascending, na_position):
    df = dask_frame(FRAME, [700, 0, 1300, 1000])
    out = quillmere.dask.sort_values(df, column, ascending=ascending, na_position=na_position,
                                     npartitions=3, scratch=str(tmp_path))
    with dask.config.set(scheduler="sync"):
        got = out.compute()
        whole = df.compute()
    pd.testing.assert_frame_equal(whole, FRAME)
    want = whole.sort_values(column, ascending=ascending, na_position=na_position, kind="stable")
    assert_same(got, want)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("by,ascending", [
    (["int", "arrow"], [True, False]),
    (["bool", "float", "datetime"], [False, True, False]),
    (["category", "Int64", "bytes"], True),
    (["zoned", "numbers", "uint"], [True, False, True]),
])
@pytest.mark.parametrize("na_position", ["last", "first"])
# At 64 KiB, output partitions take more than max_bytes: their runs are read and
# merged a block at a time.
@pytest.mark.parametrize("max_bytes", [1 << 30, 1 << 16])
def test_several_columns_each_in_its_own_direction(tmp_path, by, ascending, na_position,
                                                   max_bytes):
    df = dask_frame(FRAME, [1000, 1000, 1000])
    # ignore_index numbers the rows across partitions, as pandas does.
    out = quillmere.dask.sort_values(df, by, ascending=ascending, na_position=na_position,
                                     ignore_index=True, npartitions=4, max_bytes=max_bytes,
                                     scratch=str(tmp_path))
    with dask.config.set(scheduler="threads"):
        parts = [p.compute() for p in out.to_delayed()]
    want = FRAME.sort_values(by, ascending=ascending, na_position=na_position, kind="stable",
                             ignore_index=True)
    assert_same(pd.concat(parts), want)
    assert all(isinstance(p.index, pd.RangeIndex) for p in parts)


def test_categories_that_differ_between_partitions(tmp_path):
    parts = [
        pd.DataFrame({"c": pd.Categorical(["b", "a", "b"], categories=["b", "a"]), "n": [0, 1, 2]}),
        pd.DataFrame({"c": pd.Categorical(["c", "a", None, "d"], categories=["d", "c", "a"]),
                      "n": [3, 4, 5, 6]}),
        pd.DataFrame({"c": pd.Categorical([], categories=["e"]), "n": []}).astype({"n": int}),
    ]
    df = dd.from_delayed([dask.delayed(lambda p: p)(p) for p in parts], meta=parts[0].iloc[:0],
                         verify_meta=False)
    for ascending in (True, False):
        out = quillmere.dask.sort_values(df, ["c", "n"], ascending=[ascending, False],
                                         npartitions=2, scratch=str(tmp_path))
        with dask.config.set(scheduler="sync"):
            got = out.compute()
            whole = df.compute()
        # Dask unites the categories of partitions with rows in order of appearance; the
        # result's partitions share them, so they concatenate as categoricals.
        assert list(whole["c"].cat.categories) == ["b", "a", "d", "c"]
        assert_same(got, whole.sort_values(["c", "n"], ascending=[ascending, False],
                                           kind="stable"))


def test_refusals_as_pandas_refuses(tmp_path):
    df = dask_frame(FRAME, [1500, 1500])
    mixed = dd.from_pandas(pd.DataFrame({"m": ["a", 1, None, "b"]}, dtype=object), npartitions=2)
    with pytest.raises(TypeError, match="not supported between instances of"):
        pd.DataFrame({"m": ["a", 1, None, "b"]}, dtype=object).sort_values("m")
    with dask.config.set(scheduler="sync"), pytest.raises(
            TypeError, match="'<' not supported between instances of 'int' and 'str'"):
        quillmere.dask.sort_values(mixed, "m", scratch=str(tmp_path)).compute()
    assert left_after_failure(tmp_path) == []
    with pytest.raises(KeyError, match="nope"):
        quillmere.dask.sort_values(df, ["int", "nope"])
    with pytest.raises(ValueError, match=r"Length of ascending \(1\) != length of by \(2\)"):
        quillmere.dask.sort_values(df, ["int", "float"], ascending=[True])
    with pytest.raises(ValueError, match="invalid na_position: middle"):
        quillmere.dask.sort_values(df, "int", na_position="middle")
    with pytest.raises(ValueError, match="npartitions must be at least 1, not 0"):
        quillmere.dask.sort_values(df, "int", npartitions=0)
    with pytest.raises(ValueError, match="threads must be at least 1"):
        quillmere.dask.sort_values(df, "int", threads=0)


# On a cluster, with scratch on a local directory and on an S3-compatible server.

def hot(n=20000, seed=5):
    """Half the rows share one key; the rest spread, with NaNs."""
    rng = np.random.default_rng(seed)
    key = np.where(rng.random(n) < 0.5, 7.0, rng.normal(size=n).round(2))
    key[rng.random(n) < 0.05] = np.nan
    return pd.DataFrame({"key": key, "word": pd.array([f"w{i % 97}" for i in range(n)],
                                                      dtype="string[pyarrow]"),
                         "row": np.arange(n)})


def test_a_hot_key_is_spread_evenly_over_the_cluster(client, scratch):
    url, left = scratch
    frame = hot()
    df = dask_frame(frame, [6000, 2000, 0, 12000])
    out = quillmere.dask.sort_values(df, ["key", "word"], ascending=[False, True],
                                     npartitions=6, max_bytes=1 << 16, scratch=url)
    parts = client.compute(out.to_delayed(), sync=True)
    want = frame.sort_values(["key", "word"], ascending=[False, True], kind="stable")
    assert_same(pd.concat(parts), want)
    sizes = [len(p) for p in parts]
    assert max(sizes) <= 1.25 * len(frame) / len(parts), sizes
    assert left() == [], "\n".join(left())


@pytest.mark.parametrize("phase", ["split", "merge"])
def test_a_worker_killed_mid_sort_loses_and_duplicates_nothing(tmp_path, phase):
    frame = hot(40000)
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
    ) as cluster, distributed.Client(cluster) as c:
        pids = list(c.run(os.getpid).values())

        def kill_when_under_way():
            # Runs being written (split) or an output partition done (merge).
            while True:
                found = [(os.path.basename(top), n) for top, _, files in os.walk(scratch)
                         for n in files]
                if phase == "split" and any(top == "runs" for top, _ in found):
                    break
                if phase == "merge" and any(n.endswith(".done") for _, n in found):
                    break
                time.sleep(0.005)
            os.kill(pids[0], signal.SIGKILL)

        killer = threading.Thread(target=kill_when_under_way, daemon=True)
        df = dask_frame(frame, [5000] * 8)
        out = quillmere.dask.sort_values(df, "key", npartitions=8, max_bytes=1 << 16,
                                         scratch=str(scratch))
        killer.start()
        got = pd.concat(c.compute(out.to_delayed(), sync=True))
    killer.join(timeout=5)
    assert not killer.is_alive()
    assert_same(got, frame.sort_values("key", kind="stable"))
    assert os.listdir(scratch) == []


def wide(bounds):
    """Rows of about a kilobyte, numbered [start, stop), their keys a function of the number."""
    import pyarrow as pa
    import pyarrow.compute as pc

    start, stop = bounds
    rows = np.arange(start, stop)
    mixed = (rows * 2654435761) % (1 << 32)
    filler = pc.binary_join_element_wise(pa.scalar("x" * 1000),
                                         pc.cast(pa.array(mixed % 1000), pa.string()), "")
    return pd.DataFrame({"key": mixed, "filler": pd.array(filler, dtype="string[pyarrow]"),
                         "row": rows})


@pytest.mark.skipif(bool(os.environ.get("QUILLMERE_SANITIZED")),
                    reason="a sanitizer's own memory would pass any limit")
def test_more_rows_than_the_cluster_holds(tmp_path):
    # Rows three times the workers' memory limits together, written out a
    # partition at a time: no worker is killed, every row is there, in order.
    # (A worker here holds some 150 MiB before its first task, 350 MiB at
    # most while sorting; pausing one near its limit would only slow this.)
    limit, workers, parts = 500 << 20, 2, 256
    width = wide((0, 1000)).memory_usage(deep=True).sum() / 1000
    count = int(3 * workers * limit / width)
    bounds = [(count * p // parts, count * (p + 1) // parts) for p in range(parts)]
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    with dask.config.set({"distributed.worker.memory.pause": False}), distributed.LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0",
        memory_limit=limit,
    ) as cluster, distributed.Client(cluster) as c:
        started = list(c.scheduler_info()["workers"])
        df = dd.from_map(wide, bounds, meta=wide((0, 0)), enforce_metadata=False)
        out = quillmere.dask.sort_values(df, "key", scratch=str(scratch))
        c.compute(out.to_parquet(str(tmp_path / "out"), compute=False), sync=True)
        # A worker killed and restarted would have a new address.
        assert set(c.scheduler_info()["workers"]) == set(started), "a worker was replaced"
    assert os.listdir(scratch) == []
    last, rows, total = -1, 0, 0
    files = sorted(os.listdir(tmp_path / "out"), key=lambda n: int(n.split(".")[1]))
    for name in files:
        part = pd.read_parquet(tmp_path / "out" / name)
        keys = part["key"].to_numpy()
        assert (np.diff(keys) >= 0).all() and (len(keys) == 0 or keys[0] >= last)
        last = keys[-1] if len(keys) else last
        rows += len(part)
        total += int(part["row"].sum())
    assert rows == count and total == count * (count - 1) // 2


def u64(*values):
    return np.array(values, dtype="<u8").tobytes()


@pytest.mark.parametrize("call,message", [
    # An Arrow column whose offsets run past its data.
    (lambda: _quillmere._row_keys([("b", 4, False, True, None, np.array([0, 9], dtype="<i4"),
                                    b"abc", None, None, 0)], 1), "offsets must rise within"),
    (lambda: _quillmere._row_keys([("i", 8, False, True, np.zeros(1, "<i8"), None, None,
                                    None, None, 0)], 2), "fewer rows than asked"),
    (lambda: _quillmere._split_rows(b"abc", u64(0, 2, 1), 1), "offsets must rise"),
    (lambda: _quillmere._split_rows(b"abc", u64(0, 4), 1), "stay within the keys"),
    (lambda: _quillmere._cuts(b"ab", u64(0, 1, 2), u64(0), 0, []), "one 8-byte number a row"),
    (lambda: _quillmere._merge_runs([(b"ab", u64(0, 1, 2), 3)]), "start must be within"),
])
def test_the_private_calls_refuse_buffers_that_do_not_fit(call, message):
    # Their callers make these buffers; one that does not fit is refused, not read past.
    with pytest.raises(ValueError, match=message):
        call()
