"""Sort more items than fit in memory.

    from quillmere import Sorter

    with Sorter(key=lambda row: row[0], max_bytes=64 << 20) as sorter:
        for row in sorter.sort(rows):
            ...
"""

from _quillmere import Sorter

__all__ = ["Sorter"]


def __getattr__(name):
    # Codec and SortKey, for annotations, come from a module that imports
    # typing, and the version from the installed package's metadata; looking
    # them up only when asked keeps `import quillmere` cheap.
    if name in ("Codec", "SortKey"):
        from quillmere import _typing

        return getattr(_typing, name)
    if name == "__version__":
        from importlib.metadata import PackageNotFoundError, version

        try:
            return version("quillmere")
        except PackageNotFoundError:  # a source tree on the path, not installed
            pass
    raise AttributeError(f"module 'quillmere' has no attribute {name!r}")
