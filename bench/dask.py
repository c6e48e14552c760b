"""Sorting across processes: quillmere.dask on a local cluster against one Sorter.

Sorts N (str, int) records, generated where they are sorted, with one Sorter in
one process, then with quillmere.dask.sort on a local cluster of 1 and of 2
worker processes (one thread each), all in one run. Each sort's output is
checked in place: every partition ordered, partitions in order, every record
once. Prints records/s and peak memory: of the one process, and of each
worker (the largest), next to the time relative to the one Sorter.
"""

import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time

# This file is named like the package it measures: keep its folder off the
# path, so `import dask` finds Dask (spawned workers run this file again).
_here = os.path.dirname(os.path.abspath(__file__))
if _here in sys.path:
    sys.path.remove(_here)

WORDS = 1 << 16


def records(start, stop):
    # Every int appears once and its word, one of 65536, is a function of it:
    # a record that comes back changed, lost or twice is caught.
    return [(f"w{(i * 2654435761) % WORDS:x}{'abcdefgh'[i % 8] * (i % 7)}", i)
            for i in range(start, stop)]


def summary(items):
    """(count, sum of ints, first, last, ordered) of one sorted partition, read once."""
    count = total = 0
    first = last = None
    ordered = True
    for item in items:
        if count == 0:
            first = item
        elif item < last:
            ordered = False
        last = item
        count += 1
        total += item[1]
    edges = [] if count == 0 else [first, last]
    return count, total, edges, ordered


def check(summaries, count):
    total = sum(s[0] for s in summaries)
    ints = sum(s[1] for s in summaries)
    edges = [x for s in summaries for x in s[2]]
    if total != count or ints != count * (count - 1) // 2:
        raise SystemExit(f"wrong records: {total} of {count}")
    if not all(s[3] for s in summaries) or edges != sorted(edges):
        raise SystemExit("output out of order")


def one_sorter(count, max_bytes):
    """Child process: one Sorter over every record; prints its seconds."""
    from quillmere import Sorter

    start = time.perf_counter()
    with Sorter(max_bytes=max_bytes) as sorter:
        step = 100_000
        for at in range(0, count, step):
            for record in records(at, min(count, at + step)):
                sorter.add(record)
        result = summary(sorter.sort())
    seconds = time.perf_counter() - start
    check([result], count)
    print(seconds)


def on_cluster(workers, count, parts, max_bytes, scratch):
    """Seconds, and the largest worker's peak MiB, sorting on `workers` processes."""
    import dask.bag as db
    import distributed

    import quillmere.dask

    with distributed.LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0",
        memory_limit=0,
    ) as cluster, distributed.Client(cluster) as client:
        bounds = [(count * p // parts, count * (p + 1) // parts) for p in range(parts)]
        start = time.perf_counter()
        bag = db.from_sequence(bounds, npartitions=parts).map_partitions(_generate)
        out = quillmere.dask.sort(
            bag, npartitions=2 * parts, max_bytes=max_bytes, scratch=scratch
        )
        summaries = client.compute(out.map_partitions(lambda p: [summary(p)]), sync=True)
        seconds = time.perf_counter() - start
        peaks = client.run(lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024)
    check(summaries, count)
    if os.listdir(scratch):
        raise SystemExit(f"scratch not empty: {os.listdir(scratch)}")
    return seconds, max(peaks.values())


def _generate(bounds):
    return [r for start, stop in bounds for r in records(start, stop)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--records", type=int, default=4_000_000)
    parser.add_argument("--max-bytes", type=int, default=64 << 20, help="each Sorter's")
    parser.add_argument("--parts", type=int, default=8, help="input partitions")
    parser.add_argument("--workers", default="1,2", help="comma-separated cluster sizes")
    parser.add_argument("--smoke", action="store_true", help="tiny, in seconds")
    parser.add_argument("--one-sorter", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.smoke:
        args.records, args.max_bytes, args.parts = 20_000, 1 << 16, 3
    if args.one_sorter:
        return one_sorter(args.records, args.max_bytes)

    # The single process runs as a child, so its peak memory is its own.
    command = [sys.executable, os.path.abspath(__file__), "--one-sorter",
               f"--records={args.records}", f"--max-bytes={args.max_bytes}"]
    with tempfile.TemporaryFile() as out:
        proc = subprocess.Popen(command, stdout=out)
        _, status, usage = os.wait4(proc.pid, 0)
        if os.waitstatus_to_exitcode(status) != 0:
            raise SystemExit("the one-Sorter run failed")
        out.seek(0)
        single = float(out.read())
    rows = [("one Sorter", single, usage.ru_maxrss / 1024)]
    with tempfile.TemporaryDirectory() as scratch:
        for workers in map(int, args.workers.split(",")):
            seconds, peak = on_cluster(workers, args.records, args.parts, args.max_bytes, scratch)
            rows.append((f"{workers} worker{'s' if workers > 1 else ''}", seconds, peak))
    print(f"{args.records} (str, int) records, max_bytes {args.max_bytes} each, "
          f"{args.parts} input partitions, {2 * args.parts} output partitions")
    print(f"{'how':12} {'seconds':>8} {'records/s':>10} {'vs one':>7} {'peak MiB':>9}")
    for name, seconds, peak in rows:
        print(f"{name:12} {seconds:8.2f} {args.records / seconds:10.0f} "
              f"{single / seconds:7.2f} {peak:9.0f}")


if __name__ == "__main__":
    main()
