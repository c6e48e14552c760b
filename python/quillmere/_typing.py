"""Types for annotating code that uses quillmere, imported from the package:

    from quillmere import Codec, Sorter, SortKey

    def by_length(line: str) -> SortKey:
        return (len(line), line)

    def lines(codec: Codec[str]) -> Sorter[str]:
        return Sorter(by_length, codec=codec)

The package loads this module on first use of one of its names, so a
program that only sorts never pays for importing `typing`.
"""

from typing import Protocol, SupportsIndex

__all__ = ["Codec", "SortKey"]

# What a key function may return, or an item may be when there is no key
# function. Anything with __index__ (NumPy integers) is keyed as an int.
# list is invariant, so a function declared to return list[int] is not a
# SortKey function: declare it to return list[SortKey], or return a tuple.
type SortKey = (
    int | float | str | bytes | None | SupportsIndex | tuple[SortKey, ...] | list[SortKey]
)


class Codec[T](Protocol):
    """Turns an item into bytes and back; `decode(encode(item))` is the item.

    Both methods are called with one positional argument, so their
    parameters may have any name.
    """

    def encode(self, item: T, /) -> bytes: ...

    def decode(self, data: bytes, /) -> T: ...
