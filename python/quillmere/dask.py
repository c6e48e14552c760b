"""Sort a Dask bag across a cluster, each output partition by a Sorter.

    import dask.bag as db
    import quillmere.dask

    ordered = quillmere.dask.sort(bag, key=lambda row: row[0], scratch="s3://bucket/tmp")
    ordered.to_textfiles("out/*.txt")

Needs the `dask` extra (Dask, its distributed scheduler and fsspec).
"""

from __future__ import annotations

import atexit
import contextlib
import itertools
import math
import pickle
import random
import tempfile
import threading
import time
import uuid
from collections.abc import Callable, Iterable, Sequence
from typing import Any

import dask.bag.core
import fsspec  # type: ignore[import-untyped]
from dask.bag.core import Bag
from dask.delayed import Delayed, delayed
from dask.graph_manipulation import bind, clone

from _quillmere import (
    _DEFAULT_MAX_BYTES,
    _DEFAULT_THREADS,
    Sorter,
    _add_pieces,
    _check_sorter_arguments,
    _sort_key,
    _split_items,
)
from quillmere._typing import Codec, SortKey

__all__ = ["sort"]

# Keys sampled from each input partition; the seed is the partition's index,
# so a recomputed sample is the same sample.
SAMPLES = 128

# Where a record is in the whole input: (key bytes, input partition, position).
# Routing and boundaries compare these, so equal keys split between output
# partitions in input order.
type Place = tuple[bytes, int, int]

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
    sampled = clone(bag).map_partitions(_sample, indices, key).to_delayed()
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

    Holds `<out>/<input>-<attempt>` pieces (written as `.tmp` files, then
    renamed: readers open only the names that a finished task returned),
    `<out>.done` once output partition `out` has been sorted, and `.run`
    while the sort is under way.
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


def _remove_folder(fs: Any, path: str) -> None:
    # Without the marker no task starts writing; one already past its check
    # may still add a file while the folder is emptied, so try again. That
    # task finds the marker gone as it commits and removes the folder itself.
    with contextlib.suppress(FileNotFoundError):
        fs.rm(f"{path}/.run")
    for attempt in range(_REMOVE_TRIES):
        try:
            fs.rm(path, recursive=True)
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


def _sample(items: Iterable[Any], indices: list[int], key: Callable[[Any], SortKey] | None) -> list[Place]:
    """A seeded, uniform sample of an input partition's places.

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

    numbered = enumerate(items)
    for position, item in itertools.islice(numbered, SAMPLES):
        chosen.append(place(item))
    weight = math.exp(math.log(1.0 - rng.random()) / SAMPLES)
    while len(chosen) == SAMPLES:
        gap = int(math.log(1.0 - rng.random()) / math.log1p(-weight))
        found = next(itertools.islice(numbered, gap, None), None)
        if found is None:
            break
        position, item = found
        chosen[rng.randrange(SAMPLES)] = place(item)
        weight *= math.exp(math.log(1.0 - rng.random()) / SAMPLES)
    return chosen


def _boundaries(run: Run, count: int, sampled: list[list[Place]]) -> list[Place]:
    """The places where output partitions 1, 2, ... begin, evenly spread over the sample."""
    fs, path = run.fs_path
    fs.makedirs(path, exist_ok=True)
    fs.touch(f"{path}/.run")
    every = sorted(itertools.chain.from_iterable(sampled))
    if not every:
        return []
    return [every[len(every) * out // count] for out in range(1, count)]


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
            self.files[out] = self.fs.open(self.name(out) + ".tmp", "wb")
        self.files[out].write(held)
        held.clear()

    def commit(self) -> tuple[str | None, ...]:
        """Every piece under its final name; None for an output partition it has nothing for."""
        for out, held in enumerate(self.buffers):
            if held:
                self.flush(out)
        for handle in self.files.values():
            handle.close()
        for out in self.files:
            self.fs.mv(self.name(out) + ".tmp", self.name(out))
        # Written while a failing task removed the folder: nobody reads them.
        _check_running(self.fs, self.path)
        return tuple(self.name(out) if out in self.files else None for out in range(len(self.buffers)))

    def discard(self) -> None:
        for out, handle in self.files.items():
            with contextlib.suppress(Exception):
                handle.close()
            for name in (self.name(out) + ".tmp", self.name(out)):
                with contextlib.suppress(FileNotFoundError):
                    self.fs.rm(name)


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
    fs, path = run.fs_path
    with contextlib.suppress(FileNotFoundError):
        fs.rm(f"{path}/{out}.done")
    return pieces[out]


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
    with contextlib.suppress(FileNotFoundError):
        fs.rm(f"{path}/{out}.done")
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


def _finish(fs: Any, path: str, out: int, count: int) -> None:
    """Marks an output partition sorted, and removes the run's folder once every partition is.

    A partition's pieces stay until then: the scheduler may hand the names of pieces
    already read to a later computation of the same bag, which sorts the partition again
    from them. Every piece is written before any partition is sorted, so keeping them
    does not raise the most the run holds on disk.
    """
    marker = f"{path}/{out}.done"
    try:
        fs.touch(marker, truncate=False)
        if not fs.exists(f"{path}/.run"):
            # Another partition, done at the same moment, saw this one done
            # too and removed the run; a store with no real folders would
            # keep the marker just made.
            fs.rm(marker)
            return
        names = {entry.rsplit("/", 1)[-1] for entry in fs.ls(path, detail=False)}
    except FileNotFoundError:
        return  # the same, on a filesystem with folders
    done = {name.removesuffix(".done") for name in names if name.endswith(".done")}
    if len(done) == count:
        _remove_folder(fs, path)
