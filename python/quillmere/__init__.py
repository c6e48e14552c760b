"""Sort more items than fit in memory.

    from quillmere import Sorter

    with Sorter(key=lambda row: row[0], max_bytes=64 << 20) as sorter:
        for row in sorter.sort(rows):
            ...
"""

from _quillmere import Sorter

__all__ = ["Sorter"]
