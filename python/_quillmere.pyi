# The extension's types are in quillmere/__init__.pyi, where mypy finds them
# when the package is installed. Installed, this stub serves `import
# _quillmere` only to checkers that read top-level stubs (mypy does not); in
# the source tree, to mypy too, with MYPYPATH=python.

from quillmere import Sorter as Sorter

__all__ = ["Sorter"]

from collections.abc import Buffer, Callable, Iterable, Sequence
from typing import Any, Final, Protocol, final

# Private to the quillmere package: the constructor's defaults.
_DEFAULT_MAX_BYTES: Final = 268435456
_DEFAULT_MAX_OPEN: Final = 64
_DEFAULT_THREADS: Final = 1

# Private to the quillmere command: text records keyed in C++.
from quillmere import SortKey

from _typeshed import SupportsWrite

# One key, as _Lines reads it by attribute: positions 0-based (end_field
# None for the end of the record, end_char 0 for the end of its field),
# order one of "", "n", "g", "h", "M", "V" and ignore one of "", "d", "i".
class _KeySpec(Protocol):
    @property
    def start_field(self) -> int: ...
    @property
    def start_char(self) -> int: ...
    @property
    def skip_start_blanks(self) -> bool: ...
    @property
    def end_field(self) -> int | None: ...
    @property
    def end_char(self) -> int: ...
    @property
    def skip_end_blanks(self) -> bool: ...
    @property
    def order(self) -> str: ...
    @property
    def fold(self) -> bool: ...
    @property
    def ignore(self) -> str: ...
    @property
    def reverse(self) -> bool: ...
    @property
    def random(self) -> bool: ...

@final
class _Lines:
    def __new__(
        cls,
        keys: Sequence[_KeySpec],
        tab: int | None,
        terminator: int,
        last_resort: int = 0,
        hash_key: bytes | None = None,
        locale: dict[str, str] | None = None,
    ) -> _Lines: ...
    def add(self, sorter: Sorter[Any], block: bytes, /) -> int: ...
    def add_texts(
        self, sorter: Sorter[Any], texts: Sequence[Sequence[bytes]], records: Sequence[bytes], /
    ) -> int: ...
    def write_to(self, sorter: Sorter[Any], handle: SupportsWrite[bytes], /) -> None: ...
    def unique(self, chunk: bytes, /) -> bytes: ...
    def check(self, block: bytes, strict: bool, /) -> int: ...
    def texts_key(self, texts: Sequence[bytes], /) -> bytes: ...
    def _marked(self, chunk: bytes, keys: bool, whole: bool, /) -> bytes: ...

@final
class _LineMerge:
    def __new__(cls, lines: _Lines, count: int) -> _LineMerge: ...
    def feed(self, input: int, block: bytes, /) -> None: ...
    def take(self, limit: int, /) -> tuple[bytes, int]: ...

# Private to quillmere.dask: the bytes a Sorter orders a key by, and pieces
# of (key bytes, payload) records.
def _sort_key(key: SortKey, /) -> bytes: ...
def _split_items(
    items: Iterable[Any],
    index: int,
    position: int,
    key: Callable[[Any], SortKey] | None,
    encode: Callable[[Any], bytes],
    pickled: bool,
    bounds: list[tuple[bytes, int, int]],
    outs: list[bytearray],
    /,
) -> None: ...
def _add_pieces(sorter: Sorter[Any], data: bytes, /) -> int: ...
def _keep_freed_memory() -> None: ...

# Private to quillmere.dask's DataFrame sort: keys as (arena, u64 offsets),
# orders and positions as i64 row numbers.
def _row_keys(columns: list[tuple[Any, ...]], rows: int, /) -> tuple[bytes, bytes]: ...
def _split_rows(keys: Buffer, offsets: Buffer, threads: int, /) -> tuple[bytes, bytes, bytes]: ...
def _cuts(
    keys: Buffer, offsets: Buffer, positions: Buffer, index: int,
    bounds: list[tuple[bytes, int, int]], /
) -> list[int]: ...
def _merge_runs(runs: list[tuple[Buffer, Buffer, int]], /) -> bytes: ...

# Private to quillmere.dask: Sorter()'s checks of its arguments, without a Sorter.
def _check_sorter_arguments(*args: Any, **kwargs: Any) -> None: ...
