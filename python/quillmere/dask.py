"""Sort a Dask bag or DataFrame across a cluster.

    import quillmere.dask

    ordered = quillmere.dask.sort(bag, key=lambda row: row[0], scratch="s3://bucket/tmp")
    ordered.to_textfiles("out/*.txt")

    by_city = quillmere.dask.sort_values(frame, ["city", "age"], ascending=[True, False])
    by_city.to_parquet("out/")

Needs the `dask` extra (Dask, its distributed scheduler, fsspec, pandas and pyarrow).
"""

from __future__ import annotations

import atexit
import bisect
import contextlib
import dataclasses
import glob
import itertools
import math
import pickle
import random
import tempfile
import threading
import time
import uuid
from collections.abc import Buffer, Callable, Iterable, Sequence
from typing import TYPE_CHECKING, Any

import dask.bag.core
import fsspec  # type: ignore[import-untyped]
from fsspec.implementations.local import LocalFileSystem  # type: ignore[import-untyped]
from dask.bag.core import Bag
from dask._task_spec import Task, TaskRef, convert_legacy_graph
from dask.delayed import Delayed, delayed
from dask.graph_manipulation import bind, clone

from _quillmere import (
    _DEFAULT_MAX_BYTES,
    _DEFAULT_THREADS,
    Sorter,
    _add_pieces,
    _check_sorter_arguments,
    _cuts,
    _merge_runs,
    _sort_key,
    _split_items,
    _split_rows,
)
from quillmere._typing import Codec, SortKey

if TYPE_CHECKING:
    # DataFrames need pandas, NumPy and pyarrow, which bags do not: imported
    # where a DataFrame is sorted.
    from quillmere import _frames

__all__ = ["sort", "sort_values"]

# Keys sampled from each input partition, at the least; the seed is the
# partition's index, so a recomputed sample is the same sample.
SAMPLES = 128
# The most keys sampled in all.
_MOST_SAMPLED = 1 << 20

# Where a record is in the whole input: (key bytes, input partition, position).
# Routing and boundaries compare these, so equal keys split between output
# partitions in input order.
type Place = tuple[bytes, int, int]
# An input partition's sampled places, and its number of records.
type Sampled = tuple[list[Place], int]

# Dask's bag functions are untyped.
bags: Any = dask.bag.core

_READ = 1 << 20
# Items split at a time, between checks of how much each piece holds.
_CHUNK = 4096
_GONE_WAIT = 0.5
_REMOVE_TRIES = 20


def sort[T](
    bag: Bag,
    key: Callable[[T], SortKey] | None = None,
    *,
    codec: Codec[T] | None = None,
    npartitions: int | None = None,
    max_bytes: int = _DEFAULT_MAX_BYTES,
    threads: int = _DEFAULT_THREADS,
    scratch: str | None = None,
) -> Bag:
    """Return a bag of every item of `bag`, sorted as one Sorter with this key would sort it.

    Read in order, its partitions give every item once, in key order; items with equal keys
    stay in input order (by input partition, then position). Nothing runs until the result
    is computed, on whichever scheduler computes it.

    Each input partition is read twice: once to sample its keys, which choose where the
    output partitions divide, then to split its items into one piece per output partition,
    written to `scratch`. Each output partition reads its pieces into a Sorter that holds
    at most `max_bytes` and spills to the worker's own disk. Pieces are removed once read,
    and when the computation fails; those of a cancelled computation when this process
    exits.

    Args:
        bag: The items to sort.
        key: As for a Sorter: a function returning an item's sort key, or None to sort
            items by themselves.
        codec: As for a Sorter: encodes items into bytes and back; pickle if None.
        npartitions: Output partitions; those of `bag` if None.
        max_bytes: The memory each output partition's Sorter holds, at least 2.
        threads: Each output partition's Sorter's threads, at least 1.
        scratch: A directory or fsspec URL that every worker can reach; the local
            temporary directory if None, which suits only a cluster on one machine.

    Raises:
        TypeError, ValueError: As the Sorter would for these arguments; and, when the
            result is computed, as it would for an item, with a note naming the item's
            input partition.
    """
    # As each output partition's Sorter would, with its errors, but now.
    _check_sorter_arguments(key, codec=codec, max_bytes=max_bytes, threads=threads)
    if npartitions is None:
        npartitions = max(bag.npartitions, 1)
    elif npartitions < 1:
        raise ValueError(f"npartitions must be at least 1, not {npartitions}")
    run = Run(scratch if scratch is not None else tempfile.gettempdir(), uuid.uuid4().hex)
    _started(run)
    if bag.npartitions == 0:
        bag = bags.from_sequence([], npartitions=1)
    # Partition i of `indices` is [i]: mapped alongside the items, it tells
    # each task which input partition it reads. Mapping partitions, rather
    # than taking them as arguments, fuses each task with the reading of its
    # input, so no input partition travels between workers.
    indices = bags.bag_range(bag.npartitions, npartitions=bag.npartitions)
    size = _samples_per_partition(bag.npartitions, npartitions)
    sampled = clone(bag).map_partitions(_sample, indices, key, size).to_delayed()
    bounds = delayed(_boundaries)(run, npartitions, sampled)
    encode = codec.encode if codec is not None else pickle.dumps
    # The second reading of the input waits for the boundaries: read earlier,
    # every input partition would be held in memory until they are known.
    bound: Any = bind(bag, bounds)
    split = bound.map_partitions(
        _split, indices, bounds, run, key, encode, npartitions
    ).to_delayed()
    sorted_parts: list[Delayed] = []
    for out in range(npartitions):
        pieces = [delayed(_claim)(run, out, part) for part in split]
        sorted_parts.append(
            delayed(_sort_range)(run, out, npartitions, codec, max_bytes, threads, pieces)
        )
    result: Bag = bags.from_delayed(sorted_parts)
    return result


class Run:
    """One sort's folder under scratch, as every task reaches it.

    Holds, for a bag, `<out>/<input>-<attempt>` pieces, and for a DataFrame
    `runs/<input>-<attempt>` runs (written under their final names: readers
    open only the names that a finished task returned, so a file cut short by
    a failure is never read, and renaming would cost a copy on an object
    store); `<out>.done` (a DataFrame's: `<out>.<computation>.done`) once
    output partition `out` is made; and `.run` while the sort is under way.
    """

    def __init__(self, url: str, token: str) -> None:
        self.url = url
        self.token = token

    @property
    def fs_path(self) -> tuple[Any, str]:
        fs, root = fsspec.core.url_to_fs(self.url)
        return fs, f"{root.rstrip('/')}/quillmere-{self.token}"

    def remove(self) -> None:
        _remove_folder(*self.fs_path)

    def abandon(self) -> None:
        """Removes the run's folder in the background, as a failing task raises at once.

        Its own error then reaches the caller before those of tasks that find the
        folder gone.
        """
        threading.Thread(target=self.remove, name="quillmere-dask-cleanup").start()


# Runs this process made. A cancelled computation runs no more tasks, so
# nothing removes its pieces; this process, the one that can compute the
# result again, removes whatever its runs left when it exits (a run that
# finished left nothing).
_runs: list[Run] = []
_runs_lock = threading.Lock()


def _started(run: Run) -> None:
    with _runs_lock:
        if not _runs:
            atexit.register(_remove_runs)
        _runs.append(run)


def _remove_runs() -> None:
    with _runs_lock:
        for run in _runs:
            with contextlib.suppress(Exception):
                run.remove()
        _runs.clear()


def _remove(fs: Any, path: str, recursive: bool = False) -> None:
    # fsspec's filesystems, the local one aside, take the path for a pattern:
    # a scratch folder named with brackets, say, would match nothing.
    fs.rm(path if isinstance(fs, LocalFileSystem) else glob.escape(path), recursive=recursive)


def _remove_folder(fs: Any, path: str) -> None:
    # Without the marker no task starts writing; one already past its check
    # may still add a file while the folder is emptied, so try again. That
    # task finds the marker gone as it commits and removes the folder itself.
    with contextlib.suppress(FileNotFoundError):
        _remove(fs, f"{path}/.run")
    for attempt in range(_REMOVE_TRIES):
        fs.invalidate_cache(path)
        try:
            _remove(fs, path, recursive=True)
            return
        except FileNotFoundError:
            return
        except OSError:
            if attempt == _REMOVE_TRIES - 1:
                raise
            time.sleep(0.05)


def _noted(error: BaseException, index: int) -> BaseException:
    error.add_note(f"in partition {index} of the bag being sorted")
    return error


def _sample(
    items: Iterable[Any], indices: list[int], key: Callable[[Any], SortKey] | None, size: int
) -> Sampled:
    """A seeded, uniform sample of `size` of an input partition's places, and its length.

    Skips ahead by random gaps (Li's algorithm L), so only the items sampled
    are keyed.
    """
    (index,) = indices
    rng = random.Random(index)
    chosen: list[Place] = []
    position = -1

    def place(item: Any) -> Place:
        try:
            return (_sort_key(key(item) if key is not None else item), index, position)
        except Exception as error:
            raise _noted(error, index)

    # zip takes a number before each item, so once the items run out the
    # counter stands one past their number.
    counter = itertools.count()
    numbered = zip(counter, items)
    for position, item in itertools.islice(numbered, size):
        chosen.append(place(item))
    weight = math.exp(math.log(1.0 - rng.random()) / size)
    while len(chosen) == size:
        gap = int(math.log(1.0 - rng.random()) / math.log1p(-weight))
        found = next(itertools.islice(numbered, gap, None), None)
        if found is None:
            break
        position, item = found
        chosen[rng.randrange(size)] = place(item)
        weight *= math.exp(math.log(1.0 - rng.random()) / size)
    return chosen, next(counter) - 1


def _boundaries(run: Run, count: int, sampled: list[Sampled]) -> list[Place]:
    """The places where output partitions 1, 2, ... begin."""
    _begin(run)
    return _even_bounds(
        [(place, length / len(places)) for places, length in sampled for place in places],
        count,
    )


def _begin(run: Run) -> str:
    """Makes the run's folder and marks it under way; returns a name for this computation."""
    fs, path = run.fs_path
    fs.makedirs(path, exist_ok=True)
    fs.touch(f"{path}/.run")
    return uuid.uuid4().hex[:12]


def _even_bounds(weighted: list[tuple[Place, float]], count: int) -> list[Place]:
    """The places where output partitions 1, 2, ... begin, from sampled places and the rows
    each stands for: each boundary is the first place with its share of rows before it."""
    weighted.sort(key=lambda pair: pair[0])
    total = sum(weight for _, weight in weighted)
    bounds: list[Place] = []
    before = 0.0
    for place, weight in weighted:
        while len(bounds) < count - 1 and before >= total * (len(bounds) + 1) / count:
            bounds.append(place)
        before += weight
    # Too few places for every partition: the last ones start at the last
    # place, and what follows it goes to the last of all.
    if weighted:
        bounds += [weighted[-1][0]] * (count - 1 - len(bounds))
    return bounds


class _Pieces:
    """This input partition's pieces, one per output partition, buffered in memory."""

    def __init__(self, run: Run, index: int, count: int, buffer: int) -> None:
        self.fs, self.path = run.fs_path
        _check_running(self.fs, self.path)
        self.index = index
        self.attempt = uuid.uuid4().hex[:12]
        self.buffers = [bytearray() for _ in range(count)]
        self.files: dict[int, Any] = {}
        self.buffer = buffer

    def name(self, out: int) -> str:
        return f"{self.path}/{out}/{self.index}-{self.attempt}"

    def flush_full(self) -> None:
        for out, held in enumerate(self.buffers):
            if len(held) >= self.buffer:
                self.flush(out)

    def flush(self, out: int) -> None:
        held = self.buffers[out]
        if out not in self.files:
            _check_running(self.fs, self.path)
            self.fs.makedirs(f"{self.path}/{out}", exist_ok=True)
            self.files[out] = self.fs.open(self.name(out), "wb")
        self.files[out].write(held)
        held.clear()

    def commit(self) -> tuple[str | None, ...]:
        """Every piece's name, written whole; None for an output partition it has nothing for."""
        for out, held in enumerate(self.buffers):
            if held:
                self.flush(out)
        for handle in self.files.values():
            handle.close()
        # Written while a failing task removed the folder: nobody reads them.
        _check_running(self.fs, self.path)
        return tuple(self.name(out) if out in self.files else None for out in range(len(self.buffers)))

    def discard(self) -> None:
        for out, handle in self.files.items():
            with contextlib.suppress(Exception):
                handle.close()
            with contextlib.suppress(FileNotFoundError):
                _remove(self.fs, self.name(out))


def _split(
    items: Iterable[Any],
    indices: list[int],
    bounds: list[Place],
    run: Run,
    key: Callable[[Any], SortKey] | None,
    encode: Callable[[Any], bytes],
    count: int,
) -> tuple[str | None, ...]:
    """Writes each item of an input partition into the piece of its output partition."""
    (index,) = indices
    pieces = _Pieces(run, index, count, max(16 << 10, min(1 << 20, (64 << 20) // count)))
    pickled = encode is pickle.dumps
    numbered = iter(items)
    position = 0
    try:
        try:
            while chunk := list(itertools.islice(numbered, _CHUNK)):
                try:
                    _split_items(chunk, index, position, key, encode, pickled, bounds,
                                 pieces.buffers)
                except Exception as error:
                    raise _noted(error, index)
                position += len(chunk)
                pieces.flush_full()
            return pieces.commit()
        except FileNotFoundError:
            # Another task's failure may have removed the folder between our
            # checks and a write or rename: its error, not this one, goes first.
            _check_running(pieces.fs, pieces.path)
            raise
    except BaseException:
        pieces.discard()
        # The whole sort fails with this task: nothing it wrote will be read.
        run.abandon()
        raise


def _check_running(fs: Any, path: str) -> None:
    # Object stores' filesystems cache listings; what matters is now.
    fs.invalidate_cache(path)
    if not fs.exists(f"{path}/.run"):
        # The sort finished, failed or was given up and its folder went:
        # writing now would leave pieces nobody reads. A failure's own error
        # goes first.
        time.sleep(_GONE_WAIT)
        raise RuntimeError(f"the sort's scratch folder {path} is gone; compute the result again")


def _claim(run: Run, out: int, pieces: Sequence[str | None]) -> str | None:
    """Hands a piece to its output partition, reopening that partition if it was done.

    A finished output partition whose result was lost with its worker is sorted again from
    pieces written again; until then the run must not be taken as finished and removed.
    (A partition sorted again from pieces it had read reopens itself as it starts.)
    """
    _reopen(run, out)
    return pieces[out]


def _reopen(run: Run, out: int, computation: str = "") -> None:
    fs, path = run.fs_path
    with contextlib.suppress(FileNotFoundError):
        _remove(fs, _marker(path, out, computation))


def _marker(path: str, out: int, computation: str) -> str:
    """What marks output partition `out` done; within one computation of the result, when
    its name is given (markers of earlier ones may still be there, their run not yet removed)."""
    return f"{path}/{out}{_done_ending(computation)}"


def _done_ending(computation: str) -> str:
    return f".{computation}.done" if computation else ".done"


def _add_piece(sorter: Sorter[Any], fs: Any, name: str) -> None:
    with fs.open(name, "rb") as handle:
        held = b""
        while chunk := handle.read(_READ):
            held = held + chunk if held else chunk
            held = held[_add_pieces(sorter, held) :]
        if held:
            raise OSError(f"piece {name} ends inside a record")


def _spill_dir() -> str:
    # A worker's own folder is swept when a killed worker is replaced, so
    # spills of an interrupted sort do not outlive it.
    try:
        from distributed import get_worker

        return str(get_worker().local_directory)
    except (ImportError, ValueError):
        return tempfile.gettempdir()


def _sort_range(
    run: Run,
    out: int,
    count: int,
    codec: Codec[Any] | None,
    max_bytes: int,
    threads: int,
    pieces: Sequence[str | None],
) -> list[Any]:
    fs, path = run.fs_path
    # Sorted again (the same bag computed twice, or a result lost with its
    # worker): not done until this sort ends, so no other partition removes
    # the pieces it is about to read.
    _reopen(run, out)
    try:
        with Sorter(codec=codec, max_bytes=max_bytes, threads=threads, tmp_dir=_spill_dir()) as sorter:
            for name in pieces:
                if name is not None:
                    _add_piece(sorter, fs, name)
            result = list(sorter.sort())
    except BaseException:
        run.abandon()
        raise
    _finish(fs, path, out, count)
    return result


def _finish(fs: Any, path: str, out: int, count: int, computation: str = "") -> None:
    """Marks an output partition sorted, and removes the run's folder once every partition is.

    A partition's pieces stay until then: the scheduler may hand the names of pieces
    already read to a later computation of the same bag, which sorts the partition again
    from them. Every piece is written before any partition is sorted, so keeping them
    does not raise the most the run holds on disk.
    """
    marker = _marker(path, out, computation)
    try:
        fs.touch(marker, truncate=False)
        if not fs.exists(f"{path}/.run"):
            # Another partition, done at the same moment, saw this one done
            # too and removed the run; a store with no real folders would
            # keep the marker just made.
            _remove(fs, marker)
            return
        fs.invalidate_cache(path)
        names = {entry.rsplit("/", 1)[-1] for entry in fs.ls(path, detail=False)}
    except FileNotFoundError:
        return  # the same, on a filesystem with folders
    ending = _done_ending(computation)
    done = {name for name in names
            if name.endswith(ending) and name.removesuffix(ending).isdigit()}
    if len(done) == count:
        _remove_folder(fs, path)


# The least bytes of rows in a block of a run; blocks are at most
# max_bytes / _BLOCKS_IN_MAX_BYTES, and half the rows a run gives one output
# partition, so that an output partition reads little beyond its own rows.
_LEAST_BLOCK = 64 << 10
_BLOCKS_IN_MAX_BYTES = 64
_BLOCKS_PER_SHARE = 2

_NA_POSITIONS = ("first", "last")


def sort_values(
    df: Any,
    by: Any,
    *,
    ascending: bool | Sequence[bool] = True,
    na_position: str = "last",
    ignore_index: bool = False,
    npartitions: int | None = None,
    max_bytes: int = _DEFAULT_MAX_BYTES,
    threads: int = _DEFAULT_THREADS,
    scratch: str | None = None,
) -> Any:
    """Return a Dask DataFrame of the rows of `df`, sorted by the columns `by`.

    Read in order, its partitions give the rows of
    `df.compute().sort_values(by, ascending=ascending, kind="stable", na_position=na_position)`:
    rows with equal keys stay in input order (by input partition, then position), every
    column keeps its dtype, and each row keeps its index label unless `ignore_index`.
    Nothing runs until the result is computed, on whichever scheduler computes it.

    Each input partition is read once: its rows are keyed, put in key order and written to
    `scratch` as a run of blocks, and regularly spaced keys of the run choose where the output
    partitions divide. Each output partition reads from every run just the blocks that hold
    its rows, and merges them. (A categorical key column orders rows by its categories, which
    only every partition together gives: with one, each input partition is read once more,
    first, for its categories.) Runs are removed once every output partition is made, and
    when the computation fails; those of a cancelled computation when this process exits.

    Args:
        df: The Dask DataFrame to sort.
        by: A column label, or a list of them.
        ascending: The direction of every column, or one for each.
        na_position: "first" or "last": where missing values (NaN, None, NA, NaT) go,
            whatever the direction.
        ignore_index: Number the result's rows 0, 1, ... across its partitions (each output
            partition then waits for the lengths of those before it).
        npartitions: Output partitions; those of `df` if None.
        max_bytes: Bounds the blocks runs are written in, to max_bytes / 64 each; an output
            partition whose rows take more is merged reading about half as much at a time.
        threads: Threads sorting each input partition's keys, at least 1.
        scratch: A directory or fsspec URL that every worker can reach; the local
            temporary directory if None, which suits only a cluster on one machine.

    Raises:
        KeyError: A column of `by` is not in `df`.
        ValueError: For `ascending`, `na_position` or `npartitions` as pandas (or a Sorter,
            for `max_bytes` and `threads`) would refuse them.
        TypeError: When the result is computed, for a key column whose values do not
            compare (an object column mixing str and int, say), as pandas would.
    """
    import dask.dataframe
    import pandas as pd  # type: ignore[import-untyped]

    from quillmere import _frames

    dd: Any = dask.dataframe  # untyped
    columns = list(by) if isinstance(by, (list, tuple)) else [by]
    for column in columns:
        if column not in df.columns:
            raise KeyError(column)
    if isinstance(ascending, (list, tuple)):
        if len(ascending) != len(columns):
            raise ValueError(
                f"Length of ascending ({len(ascending)}) != length of by ({len(columns)})"
            )
        directions = [not bool(a) for a in ascending]
    else:
        directions = [not bool(ascending)] * len(columns)
    if na_position not in _NA_POSITIONS:
        raise ValueError(f"invalid na_position: {na_position}")
    _check_sorter_arguments(None, max_bytes=max_bytes, threads=threads)
    if npartitions is None:
        npartitions = max(df.npartitions, 1)
    elif npartitions < 1:
        raise ValueError(f"npartitions must be at least 1, not {npartitions}")
    meta = df._meta
    if df.npartitions == 0:
        return dd.from_pandas(meta.reset_index(drop=True) if ignore_index else meta,
                              npartitions=1)
    run = Run(scratch if scratch is not None else tempfile.gettempdir(), uuid.uuid4().hex)
    _started(run)
    plan: Any = _frames.Plan(columns, directions, na_position == "last")
    parts = df.to_delayed()
    if any(isinstance(meta[column].dtype, pd.CategoricalDtype) for column in columns):
        found = [delayed(_frames.categories_of)(part) for part in parts]
        plan = delayed(_categorised)(plan, found)
        parts = [_reread(part, plan, run.token) for part in parts]
    begun = delayed(_begin)(run)
    samples = _samples_per_partition(df.npartitions, npartitions)
    block = max(_LEAST_BLOCK, max_bytes // _BLOCKS_IN_MAX_BYTES)
    runs = [
        delayed(_run_frame)(part, index, plan, run, npartitions, samples, block, threads, begun)
        for index, part in enumerate(parts)
    ]
    planned = delayed(_frame_boundaries)(run, npartitions, plan, runs)
    merged = [
        delayed(_merge_range)(run, out, npartitions, meta, delayed(_claim_range)(out, planned),
                              max_bytes, begun)
        for out in range(npartitions)
    ]
    if ignore_index:
        lengths = [delayed(len)(frame) for frame in merged]
        merged = [delayed(_renumber)(frame, lengths[:out]) for out, frame in enumerate(merged)]
        meta = meta.reset_index(drop=True)
    return dd.from_delayed(merged, meta=meta, verify_meta=False)


def _categorised(plan: _frames.Plan, found: list[dict[Any, Any]]) -> _frames.Plan:
    from quillmere import _frames

    plan.categories = _frames.unite_categories(found)
    return plan


def _reread(part: Delayed, after: Delayed, tag: str) -> Delayed:
    """A copy of the tasks computing an input partition, under keys of their own, that start
    only once `after` is computed.

    As for bags, the second reading of the input waits for the boundaries: sharing the
    first reading's tasks, every input partition would be held in memory until they are
    known. (Dask's own clone and bind miss the references inside a DataFrame's tasks.)
    """
    graph = convert_legacy_graph(dict(part.__dask_graph__()))
    renamed = {key: _tagged(key, tag) for key in graph}
    copied = {}
    for key, node in graph.items():
        node = node.substitute(renamed, key=renamed[key])
        if not node.dependencies:
            node = Task(renamed[key], _second, TaskRef(after.key), node)
        copied[renamed[key]] = node
    made: Delayed = Delayed(renamed[part.key], copied)  # type: ignore[no-untyped-call]
    return made


def _tagged(key: Any, tag: str) -> Any:
    return (f"{key[0]}-{tag}", *key[1:]) if isinstance(key, tuple) else f"{key}-{tag}"


def _second(_: object, value: Any) -> Any:
    return value


def _samples_per_partition(inputs: int, outputs: int) -> int:
    # An output partition that spans k sampled places holds its share of the
    # rows give or take about 1/sqrt(k) of it: some 200 places for each keeps
    # the largest within a quarter of the mean.
    wanted = max(SAMPLES * inputs, 200 * outputs)
    return max(SAMPLES, min(-(-wanted // inputs), _MOST_SAMPLED // inputs))


@dataclasses.dataclass
class RunInfo:
    """What an input partition's run holds, for choosing and finding output partitions."""

    name: str | None  # None when the partition has no rows
    firsts: list[Place]  # the place of each block's first row
    ends: list[int]  # where each block ends in the file; 0 first
    block_bytes: int  # about the bytes a block's rows take in memory
    samples: list[tuple[Place, float]]  # places, regularly spaced, and the rows each stands for
    categories: dict[Any, Any]
    classes: dict[Any, list[str]]


def _run_frame(
    frame: Any,
    index: int,
    plan: _frames.Plan,
    run: Run,
    count: int,
    samples: int,
    block: int,
    threads: int,
    _computation: str,
) -> RunInfo:
    """Writes an input partition's rows, in key order, to scratch as a run of blocks."""
    import numpy as np

    from quillmere import _frames

    fs, path = run.fs_path
    _check_running(fs, path)
    # Rows are compressed for a store across a network; on a machine's own
    # disks compressing them would cost more than the bytes it saves.
    compress = not _protocols(fs) & {"file", "local"}
    name = f"{path}/runs/{index}-{uuid.uuid4().hex[:12]}"
    try:
        try:
            frame = _frames.with_categories(frame, plan.categories)
            classes = _frames.object_classes(frame, plan.by)
            try:
                keys, offsets = _frames.row_keys(frame, plan)
            except Exception as error:
                raise _noted(error, index)
            order, keys, offsets = _split_rows(keys, offsets, threads)
            rows = len(frame)
            if rows == 0:
                return RunInfo(None, [], [0], 0, [], {}, classes)
            positions = np.frombuffer(order, dtype="<i8")
            ends = np.frombuffer(offsets, dtype="<u8")
            frame = frame.take(positions)
            values = _frames.column_values(frame)
            width = max(1, (_frame_bytes(frame) + len(keys)) // rows)
            per_block = max(1, min(block // width, -(-rows // (_BLOCKS_PER_SHARE * count))))

            def place(row: int) -> Place:
                return (keys[int(ends[row]) : int(ends[row + 1])], index, int(positions[row]))

            firsts: list[Place] = []
            written = [0]
            fs.makedirs(f"{path}/runs", exist_ok=True)
            with fs.open(name, "wb") as handle:
                for first in range(0, rows, per_block):
                    stop = min(first + per_block, rows)
                    firsts.append(place(first))
                    rows_ = _frames.block_of(keys, ends, positions, frame, values, first, stop)
                    written.append(written[-1] + _frames.write_block(handle, rows_, compress))
            taken = min(rows, samples)
            sampled = [(place(k * rows // taken), rows / taken) for k in range(taken)]
            # Written while a failing task removed the folder: nobody reads it.
            _check_running(fs, path)
            return RunInfo(name, firsts, written, per_block * width, sampled,
                           _frames.categories_of(frame), classes)
        except FileNotFoundError:
            # Another task's failure may have removed the folder between our
            # checks and a write: its error, not this one, goes first.
            _check_running(fs, path)
            raise
    except BaseException:
        with contextlib.suppress(Exception):
            _remove(fs, name)
        run.abandon()
        raise


@dataclasses.dataclass
class Span:
    """The blocks of one run that hold an output partition's rows."""

    index: int  # the input partition
    name: str  # its run
    ends: list[int]  # where the blocks begin and end in the run: the first block's start first
    held: int  # about the bytes the blocks' rows take in memory


# Where output partitions divide, and the spans each one reads.
type Planned = tuple[_frames.Plan, list[Place], list[list[Span]]]


def _frame_boundaries(run: Run, count: int, plan: _frames.Plan, runs: list[RunInfo]) -> Planned:
    """Raises as pandas would for key values that do not compare; chooses the places where
    output partitions 1, 2, ... begin, and finds the blocks each output partition reads."""
    from quillmere import _frames

    try:
        _frames.check_classes([info.classes for info in runs])
        plan.categories = _frames.unite_categories([info.categories for info in runs])
        bounds = _even_bounds([s for info in runs for s in info.samples], count)
        spans: list[list[Span]] = [[] for _ in range(count)]
        for index, info in enumerate(runs):
            if info.name is None:
                continue
            for out in range(count):
                # Block b holds the places from firsts[b] to firsts[b + 1].
                low = 0 if out == 0 else max(0, bisect.bisect_right(info.firsts, bounds[out - 1]) - 1)
                high = (len(info.firsts) if out == count - 1
                        else bisect.bisect_left(info.firsts, bounds[out]))
                if high > low:
                    spans[out].append(Span(index, info.name, info.ends[low : high + 1],
                                           (high - low) * info.block_bytes))
    except BaseException:
        run.abandon()
        raise
    return plan, bounds, spans


# What an output partition reads: the plan, the places where it begins and where the next
# begins (None at either end), and its spans.
type Claimed = tuple[_frames.Plan, Place | None, Place | None, list[Span]]


def _claim_range(out: int, planned: Planned) -> Claimed:
    """What output partition `out` reads, and nothing of the others'."""
    plan, bounds, spans = planned
    lower = bounds[out - 1] if out > 0 else None
    upper = bounds[out] if out < len(spans) - 1 else None
    return plan, lower, upper, spans[out]


def _protocols(fs: Any) -> set[str]:
    protocol = fs.protocol
    return {protocol} if isinstance(protocol, str) else set(protocol)


def _frame_bytes(frame: Any) -> int:
    deep = any(dtype == object for dtype in frame.dtypes)
    return int(frame.memory_usage(index=True, deep=deep).sum())


def _read(fs: Any, name: str, start: int, stop: int) -> bytearray:
    data = bytearray(stop - start)
    with fs.open(name, "rb") as handle:
        handle.seek(start)
        got = 0
        while got < len(data) and (step := handle.readinto(memoryview(data)[got:])):
            got += step
    if got < len(data):
        raise OSError(f"run {name} ends before its blocks do")
    return data


class _Window:
    """The rows of a span read from its run and not yet merged: rows [first, stop) of
    `blocks`, the blocks last read."""

    def __init__(self, span: Span, lower: Place | None, upper: Place | None, per_read: int):
        import numpy as np

        self.span = span
        self.lower = lower
        self.upper = upper
        self.per_read = per_read
        self.next = 0  # the next block of the span to read
        self.blocks: list[_frames.Block] = []
        self.keys = b""
        self.offsets = np.zeros(1, dtype=np.uint64)
        self.positions = np.zeros(0, dtype=np.int64)
        self.first = self.stop = 0

    @property
    def rows(self) -> int:
        return self.stop - self.first

    @property
    def more(self) -> bool:
        return self.next < len(self.span.ends) - 1

    def last(self) -> Place:
        end = self.stop - 1
        return (self.keys[int(self.offsets[end]) : int(self.offsets[end + 1])], self.span.index,
                int(self.positions[end]))

    def before(self, edge: Place) -> int:
        """How many of the rows come before `edge`."""
        return max(0, _cuts(self.keys, self.offsets, self.positions, self.span.index, [edge])[0]
                   - self.first)

    def fill(self, fs: Any) -> None:
        """Reads the next blocks when every row read is merged, until some row is this
        output partition's or none is left."""
        from quillmere import _frames

        while self.rows == 0 and self.more:
            ends, start = self.span.ends, self.next
            self.next = min(start + self.per_read, len(ends) - 1)
            self.blocks = []  # let go of the last ones first
            self.blocks = _frames.read_blocks(
                _read(fs, self.span.name, ends[start], ends[self.next]), self.span.name)
            self.keys, self.offsets, self.positions = _frames.joined(self.blocks)
            self.first, self.stop = 0, len(self.positions)
            # Only the span's first block holds rows of the partitions before, and only
            # its last rows of those after.
            if start == 0 and self.lower is not None:
                self.first = _cuts(self.keys, self.offsets, self.positions, self.span.index,
                                   [self.lower])[0]
            if not self.more and self.upper is not None:
                self.stop = max(self.first, _cuts(self.keys, self.offsets, self.positions,
                                                  self.span.index, [self.upper])[0])

    def take(self, count: int) -> tuple[tuple[Buffer, Buffer, int], list[Any], list[list[Any]]]:
        """The next `count` rows: as _merge_runs takes them, and their labels and values."""
        from quillmere import _frames

        stream = (self.keys, self.offsets[: self.first + count + 1], self.first)
        labels, values = _frames.rows_of(self.blocks, self.first, self.first + count)
        self.first += count
        return stream, labels, values


def _merge_range(run: Run, out: int, count: int, meta: Any, claimed: Claimed, max_bytes: int,
                 computation: str) -> Any:
    """Reads an output partition's rows from every run, and merges them.

    When its rows take more than `max_bytes`, the runs are read a few blocks at a time and
    merged as far as every run read allows, so that besides the partition made, no more
    than about half of `max_bytes` of rows is held at once.
    """
    from quillmere import _frames

    plan, lower, upper, spans = claimed
    fs, path = run.fs_path
    # Made again (its result lost with its worker): not done until this ends,
    # so that no other partition removes the runs it is about to read.
    _reopen(run, out, computation)
    try:
        share = max_bytes // (2 * len(spans)) if sum(s.held for s in spans) > max_bytes else None
        windows = []
        for span in spans:
            blocks = len(span.ends) - 1
            per_read = blocks if share is None else max(1, share * blocks // max(span.held, 1))
            windows.append(_Window(span, lower, upper, per_read))
        frame = _merged(fs, windows, meta, plan)
    except BaseException:
        run.abandon()
        raise
    _finish(fs, path, out, count, computation)
    return frame


def _merged(fs: Any, windows: list[_Window], meta: Any, plan: _frames.Plan) -> Any:
    import numpy as np

    from quillmere import _frames

    indexes: list[Any] = []
    chunks: list[list[Any]] = []
    while True:
        for window in windows:
            window.fill(fs)
        live = [window for window in windows if window.rows]
        if not live:
            break
        # Rows up to the least last row read of a run with more to read are in
        # their final order: none still unread comes before them.
        waiting = [window for window in live if window.more]
        edge = min(waiting, key=_Window.last) if waiting else None
        place = edge.last() if edge is not None else None
        streams: list[tuple[Buffer, Buffer, int]] = []
        labels: list[Any] = []
        values: list[list[Any]] = []
        for window in live:
            taking = window.rows if place is None or window is edge else window.before(place)
            if taking:
                stream, got_labels, got_values = window.take(taking)
                streams.append(stream)
                labels += got_labels
                values += got_values
        order = np.frombuffer(_merge_runs(streams), dtype="<i8") if len(streams) > 1 else None
        index, columns = _frames.taken(labels, values, order, meta, plan.categories)
        del labels, values
        indexes.append(index)
        chunks.append(columns)
    if not chunks:
        return _frames.with_categories(meta, plan.categories)
    index = indexes[0].append(indexes[1:]) if len(indexes) > 1 else indexes[0]
    columns = []
    for at in range(len(meta.columns)):
        # Each column's pieces go as soon as it is joined.
        pieces = [chunk[at] for chunk in chunks]
        for chunk in chunks:
            chunk[at] = None
        columns.append(_frames.concatenated(pieces))
        del pieces
    return _frames.frame_of(columns, index, meta)


def _renumber(frame: Any, before: list[int]) -> Any:
    import pandas as pd

    start = sum(before)
    frame.index = pd.RangeIndex(start, start + len(frame))
    return frame
