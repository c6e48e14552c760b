"""The main job: sort a data set several times larger than max_bytes.

Generates ITEMS (str, int) records, adds them to a Sorter with max_bytes of
64 MiB, reads them back in order, checks that the output is ordered and
complete, and prints items/s, runs written and peak memory. Then, unless
--no-compare, sorts the same records with Python's sorted() in this process
for comparison (that holds them all in memory).
"""

import argparse
import os
import random
import sys
import tempfile
import time

from memory import peak_mib, rss_mib
from quillmere import Sorter

WORDS = 1 << 16


def make_words(seed):
    rng = random.Random(seed)
    letters = "abcdefghijklmnopqrstuvwxyz"
    return ["".join(rng.choices(letters, k=rng.randint(6, 14))) for _ in range(WORDS)]


def records(words, count):
    # Every int appears once; its word is a function of it, so a record
    # that comes back changed is caught.
    for i in range(count):
        yield (words[(i * 2654435761) % WORDS], i)


def passes_for(runs, max_open):
    """Merge passes that finishing a sort makes over this many runs."""
    passes = 0
    while runs > max_open:
        k = min(max_open, runs - max_open + 1)
        runs -= k - 1
        passes += 1
    return passes


def check(output, words, count):
    """Consumes the sorted output, checking order and completeness."""
    seen = 0
    total = 0
    previous = None
    for item in output:
        word, i = item
        if words[(i * 2654435761) % WORDS] != word:
            raise AssertionError(f"record {item!r} was changed")
        if previous is not None and not previous < item:
            raise AssertionError(f"out of order: {previous!r} then {item!r}")
        previous = item
        seen += 1
        total += i
    if seen != count or total != count * (count - 1) // 2:
        raise AssertionError(f"{seen:,} records came back, not {count:,}")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--items", type=int, default=20_000_000)
    parser.add_argument("--max-bytes", type=int, default=64 << 20)
    parser.add_argument("--max-open", type=int, default=16)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--no-compare", dest="compare", action="store_false")
    args = parser.parse_args()

    words = make_words(1)
    base = rss_mib()
    with tempfile.TemporaryDirectory() as tmp:
        start = time.perf_counter()
        sorter = Sorter(tmp_dir=tmp, max_bytes=args.max_bytes, max_open=args.max_open,
                        threads=args.threads)
        add = sorter.add
        for record in records(words, args.items):
            add(record)
        added = time.perf_counter()
        spilled = sum(len(files) for _, _, files in os.walk(tmp))
        output = sorter.sort()
        sorting = time.perf_counter()
        check(output, words, args.items)
        done = time.perf_counter()
        left = sum(len(files) for _, _, files in os.walk(tmp))
    peak = peak_mib()

    total = done - start
    print(f"quillmere: {args.items:,} (str, int) records, max_bytes {args.max_bytes >> 20} MiB, "
          f"max_open {args.max_open}, threads {args.threads}")
    print(f"  checked: ordered and complete; files left behind: {left}")
    print(f"  runs spilled: {spilled}; merge passes: {passes_for(spilled, args.max_open)}")
    print(f"  add {added - start:.1f} s, finish {sorting - added:.1f} s, read {done - sorting:.1f} s")
    print(f"  {args.items / total / 1e6:.2f} M items/s end to end ({total:.1f} s)")
    print(f"  peak RSS {peak:.0f} MiB, {peak - base:.0f} MiB above the start "
          f"(max_bytes {args.max_bytes >> 20} MiB)")
    if left:
        sys.exit("the sorter left files behind")

    if args.compare:
        start = time.perf_counter()
        everything = list(records(words, args.items))
        built = time.perf_counter()
        ordered = sorted(everything)
        del everything
        sorted_at = time.perf_counter()
        check(iter(ordered), words, args.items)
        done = time.perf_counter()
        total_sorted = done - start
        print(f"sorted(): build {built - start:.1f} s, sort {sorted_at - built:.1f} s, "
              f"read {done - sorted_at:.1f} s")
        print(f"  {args.items / total_sorted / 1e6:.2f} M items/s end to end ({total_sorted:.1f} s), "
              f"peak RSS {peak_mib():.0f} MiB")
        print(f"quillmere / sorted(): {total_sorted / total:.2f}x the speed")


if __name__ == "__main__":
    main()
