"""The pandas side of sorting a Dask DataFrame: key columns handed to C++ as buffers, and pieces
of rows written and read as blocks of columns.

An input partition's rows, in key order, are written as one run: a file of blocks, each a
little-endian u64 of its stored size, one of its size unpacked, a byte of flags (2: compressed),
then the stored bytes, LZ4-compressed when flagged: a u32 count of buffers and a u64 size of each,
a pickle (protocol 5) of the block's key arena, u64 offsets, the rows' positions in their
partition, their index labels and each column's values, then the buffers the pickle holds out of
band. Pickled column by column rather than as a frame, a block costs little beyond its bytes,
so runs hold many, and an output partition reads just the blocks that hold its rows.
"""

from __future__ import annotations

import decimal
import numbers
import pickle
import struct
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd  # type: ignore[import-untyped]
import pyarrow as pa  # type: ignore[import-untyped]

from _quillmere import _row_keys

_HEADER = struct.Struct("<QQB")
_SIZES = struct.Struct("<I")
_SIZE = struct.Struct("<Q")
_COMPRESSED = 2

# The classes of values an object column may mix, as pandas compares them.
_NUMBER = "number"


@dataclass
class Plan:
    """How every task keys and lays out rows; made once the sample is in."""

    by: list[Any]
    descending: list[bool]
    missing_last: bool
    # Every categorical column's categories, united over the input
    # partitions in order of appearance, as pandas unites them.
    categories: dict[Any, pd.Index] = field(default_factory=dict)


def value_class(value: Any) -> str:
    """The class of an object column's value that compares with others of its class."""
    if isinstance(value, str):
        return "str"
    if isinstance(value, (bytes, bytearray)):
        return "bytes"
    if isinstance(value, (numbers.Real, decimal.Decimal)):
        return _NUMBER
    return type(value).__name__


def object_classes(frame: pd.DataFrame, by: Sequence[Any]) -> dict[Any, list[str]]:
    """For each object key column, the classes of its present values, in order of appearance."""
    found: dict[Any, list[str]] = {}
    for column in by:
        series = frame[column]
        if series.dtype == object:
            values = series[series.notna()].tolist()
            found[column] = list(dict.fromkeys(map(value_class, values)))
    return found


def check_classes(found: Sequence[dict[Any, list[str]]]) -> None:
    """Raises TypeError, as pandas' sort would, for a key column whose values do not compare."""
    united: dict[Any, list[str]] = {}
    for part in found:
        for column, classes in part.items():
            united.setdefault(column, [])
            united[column] += [c for c in classes if c not in united[column]]
    for classes in united.values():
        if len(classes) > 1:
            names = [{"number": "int", "str": "str", "bytes": "bytes"}.get(c, c) for c in classes]
            raise TypeError(
                f"'<' not supported between instances of '{names[1]}' and '{names[0]}'"
            )


def categories_of(frame: pd.DataFrame) -> dict[Any, pd.Index]:
    # A partition without rows adds no categories when Dask concatenates partitions.
    if len(frame) == 0:
        return {}
    return {
        column: frame[column].cat.categories
        for column in frame.columns
        if isinstance(frame[column].dtype, pd.CategoricalDtype)
    }


def unite_categories(found: Sequence[dict[Any, pd.Index]]) -> dict[Any, pd.Index]:
    united: dict[Any, pd.Index] = {}
    for part in found:
        for column, categories in part.items():
            held = united.get(column)
            united[column] = categories if held is None else pd.Index(
                list(dict.fromkeys([*held, *categories])), dtype=held.dtype)
    return united


def with_categories(frame: pd.DataFrame, categories: dict[Any, pd.Index]) -> pd.DataFrame:
    """The frame with each categorical column's categories set to the united ones.

    Then every piece's columns share one dtype, and pieces concatenate as categoricals.
    """
    changed = {
        column: frame[column].cat.set_categories(united)
        for column, united in categories.items()
        if column in frame.columns and not frame[column].cat.categories.equals(united)
    }
    return frame.assign(**changed) if changed else frame


def _missing(series: pd.Series) -> np.ndarray[Any, Any]:
    return np.ascontiguousarray(series.isna().to_numpy(dtype=np.uint8))


def _numbers(values: np.ndarray[Any, Any]) -> tuple[str, int, np.ndarray[Any, Any]]:
    kind = values.dtype.kind
    if kind in "Mm":
        return "i", 8, np.ascontiguousarray(values.view(np.int64))
    if kind == "b":
        return "u", 1, np.ascontiguousarray(values.view(np.uint8))
    if kind == "f" and values.dtype.itemsize not in (4, 8):
        values = values.astype(np.float64)
    return kind, values.dtype.itemsize, np.ascontiguousarray(values)


def _arrow(series: pd.Series) -> pa.Array | None:
    """The series as one Arrow binary or string array, when Arrow holds it."""
    to_arrow = getattr(series.array, "__arrow_array__", None)
    if to_arrow is None:
        return None
    arrow = to_arrow()
    kind = arrow.type
    if pa.types.is_string_view(kind) or pa.types.is_binary_view(kind):
        arrow = arrow.cast(pa.large_binary())
    elif not (pa.types.is_string(kind) or pa.types.is_large_string(kind)
              or pa.types.is_binary(kind) or pa.types.is_large_binary(kind)):
        return None
    return arrow.combine_chunks() if isinstance(arrow, pa.ChunkedArray) else arrow


def key_column(series: pd.Series, descending: bool, missing_last: bool,
               categories: pd.Index | None) -> tuple[Any, ...]:
    """A key column as _row_keys takes it: (kind, width, descending, missing_last, values,
    offsets, data, missing, validity, first)."""
    dtype = series.dtype
    head = (descending, missing_last)
    if isinstance(dtype, pd.CategoricalDtype):
        # Ordered by the position of its category, as pandas orders them.
        codes = series.cat.codes.to_numpy().astype(np.int64)
        if categories is not None and not dtype.categories.equals(categories):
            codes = np.where(codes < 0, -1, categories.get_indexer(dtype.categories)[codes])
        return ("i", 8, *head, np.ascontiguousarray(codes), None, None,
                np.ascontiguousarray((codes < 0).astype(np.uint8)), None, 0)
    if isinstance(dtype, np.dtype) and dtype.kind in "iufbMm":
        values = series.to_numpy()
        kind, width, values = _numbers(values)
        missing = np.isnat(series.to_numpy()) if dtype.kind in "Mm" else None
        if missing is not None:
            missing = np.ascontiguousarray(missing.astype(np.uint8))
        return (kind, width, *head, values, None, None, missing, None, 0)
    if isinstance(dtype, pd.DatetimeTZDtype):
        # Instants in UTC, whatever the zone shows.
        values = series.dt.tz_convert("UTC").dt.tz_localize(None).to_numpy()
        return ("i", 8, *head, np.ascontiguousarray(values.view(np.int64)), None, None,
                np.ascontiguousarray(np.isnat(values).astype(np.uint8)), None, 0)
    arrow = _arrow(series) if dtype != object else None
    if arrow is not None:
        validity, offsets, data = arrow.buffers()[:3]
        width = 8 if pa.types.is_large_string(arrow.type) or pa.types.is_large_binary(
            arrow.type) else 4
        return ("b", width, *head, None, offsets, data if data is not None else b"",
                None, validity, arrow.offset)
    numpy_dtype = getattr(dtype, "numpy_dtype", None)
    if isinstance(numpy_dtype, np.dtype) and numpy_dtype.kind in "iufbMm":
        # pandas' nullable and Arrow-held numbers: the values, NA as a flag.
        missing = _missing(series)
        values = series.to_numpy(dtype=numpy_dtype, na_value=numpy_dtype.type(0))
        kind, width, values = _numbers(values)
        return (kind, width, *head, values, None, None, missing, None, 0)
    return ("o", 0, *head, series.tolist(), None, None, _missing(series), None, 0)


def row_keys(frame: pd.DataFrame, plan: Plan) -> tuple[bytes, bytes]:
    columns = [
        key_column(frame[column], descending, plan.missing_last, plan.categories.get(column))
        for column, descending in zip(plan.by, plan.descending, strict=True)
    ]
    return _row_keys(columns, len(frame))


@dataclass
class Block:
    """Consecutive rows of a sorted run: their keys, places and columns."""

    keys: bytes
    offsets: np.ndarray[Any, Any]  # u64, one more than rows
    positions: np.ndarray[Any, Any]  # i64: each row's position in its input partition
    index: pd.Index
    columns: list[Any]  # each column's values, as pandas holds them

    @property
    def count(self) -> int:
        return len(self.positions)


def block_of(keys: bytes, offsets: np.ndarray[Any, Any], positions: np.ndarray[Any, Any],
             frame: pd.DataFrame, columns: list[Any], first: int, stop: int) -> Block:
    """Rows [first, stop) of a sorted frame whose column values are `columns`."""
    base = int(offsets[first])
    return Block(keys[base : int(offsets[stop])], offsets[first : stop + 1] - base,
                 positions[first:stop], frame.index[first:stop],
                 [values[first:stop] for values in columns])


def write_block(handle: Any, block: Block, compress: bool) -> int:
    """Writes a block; returns the bytes written."""
    # The columns' buffers go to the file as they are, beside the pickle that
    # names them, rather than copied into it.
    buffers: list[pickle.PickleBuffer] = []
    head = pickle.dumps(block, protocol=5, buffer_callback=buffers.append)
    views = [buffer.raw() for buffer in buffers]
    table = _SIZES.pack(len(views)) + b"".join(_SIZE.pack(len(view)) for view in views)
    parts: list[bytes | memoryview] = [table, head, *views]
    size = sum(len(part) for part in parts)
    if compress:
        packed = pa.compress(b"".join(parts), codec="lz4", asbytes=True)
        handle.write(_HEADER.pack(len(packed), size, _COMPRESSED))
        handle.write(packed)
        return _HEADER.size + len(packed)
    handle.write(_HEADER.pack(size, size, 0))
    for part in parts:
        handle.write(part)
    return _HEADER.size + size


def read_blocks(data: bytearray, name: str) -> list[Block]:
    """The blocks that `data`, whole blocks read from run `name`, holds.

    Columns are made over `data` itself, which they keep alive, where they can be.
    """
    blocks = []
    view = memoryview(data)
    at = 0
    while at < len(view):
        if len(view) - at < _HEADER.size:
            raise OSError(f"run {name} ends inside a block's header")
        packed_size, size, flags = _HEADER.unpack_from(view, at)
        at += _HEADER.size
        stored = view[at : at + packed_size]
        if len(stored) < packed_size:
            raise OSError(f"run {name} ends inside a block")
        at += packed_size
        if flags & _COMPRESSED:
            stored = memoryview(bytearray(
                pa.decompress(stored, decompressed_size=size, codec="lz4", asbytes=True)))
        (count,) = _SIZES.unpack_from(stored, 0)
        sizes = [_SIZE.unpack_from(stored, _SIZES.size + _SIZE.size * i)[0] for i in range(count)]
        start = _SIZES.size + _SIZE.size * count
        head_end = end = len(stored) - sum(sizes)
        buffers = []
        for length in sizes:
            buffers.append(stored[end : end + length])
            end += length
        blocks.append(pickle.loads(stored[start:head_end], buffers=buffers))
    return blocks


def joined(blocks: list[Block]) -> tuple[bytes, np.ndarray[Any, Any], np.ndarray[Any, Any]]:
    """The keys, u64 offsets and positions of consecutive blocks, as one."""
    offsets = [np.zeros(1, dtype=np.uint64)]
    base = 0
    for block in blocks:
        offsets.append(block.offsets[1:] + np.uint64(base))
        base += len(block.keys)
    return (b"".join(block.keys for block in blocks), np.concatenate(offsets),
            np.concatenate([block.positions for block in blocks]))


def column_values(frame: pd.DataFrame) -> list[Any]:
    """Each column's values, as pandas holds them (any dtype), by position."""
    return [frame.iloc[:, at].array for at in range(frame.shape[1])]


def frame_of(columns: list[Any], index: pd.Index, like: pd.DataFrame) -> pd.DataFrame:
    """A frame of these column values, labelled as `like`'s columns."""
    frame = pd.DataFrame(dict(enumerate(columns)), index=index, copy=False)
    frame.columns = like.columns
    return frame


def rows_of(blocks: list[Block], first: int, stop: int) -> tuple[list[pd.Index], list[list[Any]]]:
    """The index labels and column values, block by block, of rows [first, stop) of
    consecutive blocks."""
    labels: list[pd.Index] = []
    values: list[list[Any]] = []
    at = 0
    for block in blocks:
        low, high = max(first - at, 0), min(stop - at, block.count)
        if high > low:
            labels.append(block.index[low:high])
            values.append([v[low:high] for v in block.columns])
        at += block.count
    return labels, values


def concatenated(pieces: list[Any]) -> Any:
    """Column values of one dtype, one after another."""
    return type(pieces[0])._concat_same_type(pieces) if len(pieces) > 1 else pieces[0]


def taken(labels: list[pd.Index], values: list[list[Any]], order: np.ndarray[Any, Any] | None,
          like: pd.DataFrame, categories: dict[Any, pd.Index]) -> tuple[pd.Index, list[Any]]:
    """The index and columns of rows taken block by block (`labels` and `values` of each),
    in `order` (positions in all of them laid one after another; None: as they are)."""
    index = labels[0].append(labels[1:]) if len(labels) > 1 else labels[0]
    columns = []
    for at, label in enumerate(like.columns):
        pieces = [block[at] for block in values]
        united = categories.get(label)
        if united is not None:
            # Blocks of different partitions may hold other categories.
            pieces = [piece if piece.categories.equals(united) else piece.set_categories(united)
                      for piece in pieces]
        joined = concatenated(pieces)
        columns.append(joined.take(order) if order is not None else joined)
    return (index.take(order) if order is not None else index), columns
