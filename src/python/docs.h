// The docstrings of the module's classes and methods. Each method's text
// begins with its signature, a line "--" and an empty line, from which the
// interpreter derives the signature that help() and inspect show.

#pragma once

namespace quillmere::python {

inline constexpr const char kSorterDoc[] =
    "Sorter(key=None, *, codec=None, max_bytes=268435456, tmp_dir=None, max_open=64, threads=1)\n"
    "--\n"
    "\n"
    "Sort more items than fit in memory: add them, then sort them once.\n"
    "\n"
    "Each item is turned into a sort key by `key`, or is its own key, and into bytes by `codec`, or\n"
    "by pickle, once, as it is added. Keys and bytes, and 16 bytes more for each item, are held in at\n"
    "most `max_bytes` of memory, unless one item alone needs more. Once half of that is full, a\n"
    "background thread sorts it and writes it, compressed with LZ4, to a private directory in\n"
    "`tmp_dir` while the other half fills. Sorting merges what was written with what is held, so\n"
    "items come out in key order, and items with equal keys come out in the order they were\n"
    "added. A merge reads at most `max_open` runs at once, each a block of up to 128 KiB at a\n"
    "time, holding the block and room for it compressed, about 269 KiB, and its next item, so it\n"
    "takes about `max_open` times the largest item, plus those blocks, besides what is held.\n"
    "\n"
    "The private directory is removed when reading ends, on `close()`, when a `with` block exits,\n"
    "or when the sorter is garbage collected. Threads sharing a sorter take turns, and a sorter\n"
    "must not be shared across a fork: make a new one in the child.\n"
    "\n"
    "Ctrl-C, or any signal handler that raises, interrupts waiting for a spill, merging, and\n"
    "reading; an interrupted merge or read ends the sort and removes what was spilled, which can take\n"
    "a moment when much was spilled, and the sorter then refuses to be read again.\n"
    "\n"
    "Args:\n"
    "    key: A function returning the sort key of an item: an int, float, str, bytes, None, or a\n"
    "        tuple or list of them, compared as Python compares them. None sorts items by\n"
    "        themselves. NumPy integers, like anything with `__index__`, are ints, and\n"
    "        `np.float64`, `np.str_` and `np.bytes_` are a float, a str and bytes; other NumPy\n"
    "        scalars, such as `np.float32` and `np.bool_`, raise TypeError, so convert them first.\n"
    "    codec: Encodes each item into bytes and decodes it back; pickle if None.\n"
    "    max_bytes: The most memory to hold keys and encoded items in, counting 16 bytes more for\n"
    "        each, at least 2.\n"
    "    tmp_dir: The directory to spill into, which must be writable, or None for\n"
    "        `tempfile.gettempdir()`.\n"
    "    max_open: The most spilled runs to merge at once, at least 2; more are merged in passes.\n"
    "    threads: The threads that sort each half and compress each run: with 1, the thread that\n"
    "        spills it, and with more, a pool of this sorter's own. Writing a run holds, beyond\n"
    "        `max_bytes`, a 1 MiB buffer of what it writes and, for each block compressed at once,\n"
    "        a 128 KiB block and room for it compressed, about 269 KiB: one block with 1 thread, and\n"
    "        with more, two for each thread, but at most 16, about 4.2 MiB.\n"
    "\n"
    "Raises:\n"
    "    TypeError: If `key` is not callable, or `codec` lacks `encode` and `decode` methods.\n"
    "    ValueError: If `max_bytes` or `max_open` is less than 2, or `threads` is less than 1.\n"
    "    OSError: If `tmp_dir` is not a directory, or a directory cannot be made in it.";

inline constexpr const char kAddDoc[] =
    "add($self, item, /)\n"
    "--\n"
    "\n"
    "Add an item, keyed and encoded now.\n"
    "\n"
    "Raises:\n"
    "    TypeError: If the key is not a sort key, or the codec does not return bytes.\n"
    "    ValueError: If the sorter is closed.\n"
    "    RuntimeError: If the sorter has been read, or an earlier error lost items.\n"
    "    OSError: If spilling to disk fails.";

inline constexpr const char kAddEncodedDoc[] =
    "add_encoded($self, key, payload, /)\n"
    "--\n"
    "\n"
    "Add bytes that the codec would decode, with their sort key, calling neither.";

inline constexpr const char kSortDoc[] =
    "sort($self, items=None, /)\n"
    "--\n"
    "\n"
    "Add every item given, then return every item added, decoded, in sorted order.\n"
    "\n"
    "Items are keyed and encoded as they are added. A sorter can be sorted only once; items\n"
    "given before one that fails stay added, and the sorter is not sorted. Once the iterator\n"
    "raises, as when decoding an item fails, it ends, as a generator does.\n"
    "\n"
    "Raises:\n"
    "    TypeError: If a key is not a sort key, or the codec does not return bytes.\n"
    "    ValueError: If the sorter is closed; also raised by the iterator once it is.\n"
    "    RuntimeError: If the sorter has been sorted, or an earlier error lost items.\n"
    "    OSError: If spilling, or reading what was spilled, fails.";

inline constexpr const char kEncodedDoc[] =
    "encoded($self)\n"
    "--\n"
    "\n"
    "Return the encoded items, as bytes, in sorted order, decoding none of them.";

inline constexpr const char kWriteToDoc[] =
    "write_to($self, handle)\n"
    "--\n"
    "\n"
    "Write every encoded item, in sorted order, to a binary handle, in chunks of about 1 MiB.\n"
    "\n"
    "The next chunk is merged on another thread while the handle writes this one. This reads\n"
    "the sorter, so it can be done only once.";

inline constexpr const char kCloseDoc[] =
    "close($self)\n"
    "--\n"
    "\n"
    "Drop every item and remove what was spilled; closing again does nothing.\n"
    "\n"
    "A `write_to` already running in another thread is not stopped: it writes every item, then\n"
    "removes what was spilled.";

inline constexpr const char kEnterDoc[] = "__enter__($self)\n--\n\n";

inline constexpr const char kExitDoc[] = "__exit__($self, *_exc_info)\n--\n\n";

inline constexpr const char kClassGetitemDoc[] = "__class_getitem__($cls, key)\n--\n\n";

inline constexpr const char kIteratorDoc[] = "The items of a sorter, merged in order as they are read.";

}  // namespace quillmere::python
