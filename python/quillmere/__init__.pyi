# Types of the package. Sorter is the extension's class, which calls itself
# quillmere.Sorter, so it is described here and _quillmere.pyi re-exports
# it: mypy reads an installed stub only inside a package marked by py.typed,
# and a top-level module like _quillmere cannot carry that mark.
# The test command holds these against the extension's own signatures
# (stubtest), so a method added, removed or renamed there must be changed
# here too.

from collections.abc import Callable, Iterable, Iterator
from os import PathLike
from types import GenericAlias
from typing import Any, Self, SupportsIndex, final, overload, type_check_only

from _typeshed import SupportsWrite

# For annotations; __init__.py loads them on first use.
from quillmere._typing import Codec as Codec, SortKey as SortKey

__all__ = ["Sorter"]
__version__: str

# T defaults to Any: code that leaves the item type unknown (a lambda key,
# say) checks cleanly, while annotated code keeps its precise types.
@final
class Sorter[T = Any]:
    # Without a key function each item is its own key, so a codec's items
    # must be sort keys. With pickle that cannot be checked: mypy binds cls
    # to Sorter[T] before it looks at a bound, and without that binding
    # Sorter[int]() would not make a Sorter[int].
    @overload
    def __new__[K: SortKey](
        cls,
        key: None = None,
        *,
        codec: Codec[K],
        max_bytes: SupportsIndex = 268435456,
        tmp_dir: str | PathLike[str] | None = None,
        max_open: SupportsIndex = 64,
        threads: SupportsIndex = 1,
    ) -> Sorter[K]: ...
    @overload
    def __new__[I](
        cls: type[Sorter[I]],
        key: None = None,
        *,
        codec: None = None,
        max_bytes: SupportsIndex = 268435456,
        tmp_dir: str | PathLike[str] | None = None,
        max_open: SupportsIndex = 64,
        threads: SupportsIndex = 1,
    ) -> Sorter[I]: ...
    @overload
    def __new__[I](
        cls: type[Sorter[I]],
        key: Callable[[I], SortKey],
        *,
        codec: Codec[I] | None = None,
        max_bytes: SupportsIndex = 268435456,
        tmp_dir: str | PathLike[str] | None = None,
        max_open: SupportsIndex = 64,
        threads: SupportsIndex = 1,
    ) -> Sorter[I]: ...
    def __len__(self) -> int: ...
    def add(self, item: T, /) -> None: ...
    def add_encoded(self, key: SortKey, payload: bytes, /) -> None: ...
    def sort(self, items: Iterable[T] | None = None, /) -> _SortedIterator[T]: ...
    def encoded(self) -> _SortedIterator[bytes]: ...
    # Whatever write returns is accepted: a count short of the chunk gets
    # the rest in another call, and anything but a count means all of it.
    def write_to(self, handle: SupportsWrite[bytes]) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    # Returns None: an exception leaving the with block goes on.
    def __exit__(self, *_exc_info: object) -> None: ...
    @classmethod
    def __class_getitem__(cls, key: Any) -> GenericAlias: ...

# Made only by sort() and encoded(); not an attribute of the module.
@final
@type_check_only
class _SortedIterator[T](Iterator[T]):
    def __iter__(self) -> Self: ...
    def __next__(self) -> T: ...
