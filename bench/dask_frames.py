"""Sorting a Dask DataFrame: quillmere.dask.sort_values against Dask's own p2p sort_values.

On a local cluster of 2 worker processes (one thread each), sorts one generated frame of
--rows rows (a str, an int64 and a float64 column with NaNs, plus a payload column) by each
key column in turn, once with each method, each on a fresh cluster so that each worker's
peak memory is that sort's. The frame is generated on the workers, as the methods read it (Dask
reads it twice, quillmere once). Each sort is timed until its output is in the workers' memory;
then, untimed, the output is checked where it lies: every partition in key order with NaNs
last, partitions in order, every row once (by the count and the sum of the row numbers), and
for quillmere equal keys in input order (checked alike for both). Prints seconds, the speed-up
and the largest worker's peak memory.

With --one-output, measures instead how much memory making one large output partition costs:
in one process each (Dask's synchronous scheduler), the frame sorted by each key into a single
output partition, made at once (max_bytes above its size) and merged a few blocks at a time
(--max-bytes below it), beside gathering the same frame unsorted into one partition. Prints the
seconds, the output's size and the process's peak memory; the sorted outputs are checked.
"""

import argparse
import os
import resource
import sys
import tempfile
import time

# This file is named like the package it measures: keep its folder off the
# path, so `import dask` finds Dask (spawned workers run this file again).
_here = os.path.dirname(os.path.abspath(__file__))
if _here in sys.path:
    sys.path.remove(_here)

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

KEYS = ("str", "int", "float")
WORDS = 1 << 16


_STEMS = None


def generate(bounds):
    """The rows numbered [start, stop): each column a function of the row number.

    Made with vectorised Arrow and NumPy calls, so that the input costs little beside the
    sorts measured.
    """
    import pyarrow as pa
    import pyarrow.compute as pc

    global _STEMS
    if _STEMS is None:
        _STEMS = (pa.array([f"w{w:05x}" for w in range(WORDS)]),
                  pa.array(["abcdefgh"[k % 8] * (k % 7) for k in range(56)]))
    start, stop = bounds
    row = np.arange(start, stop, dtype=np.int64)
    mixed = (row * 2654435761) % (1 << 32)
    stems, tails = _STEMS
    words = pc.binary_join_element_wise(stems.take(mixed % WORDS), tails.take(mixed % 56), "")
    floats = (mixed % 100_003).astype(np.float64) / 7.0
    floats[mixed % 10 == 0] = np.nan
    return pd.DataFrame({
        "str": pd.array(words, dtype="string[pyarrow]"),
        "int": (mixed % 1_000_003) - 500_000,
        "float": floats,
        "row": row,
        "payload": mixed.astype(np.float64) * 0.5,
    }, index=pd.RangeIndex(start, stop))


def summary(frame, key):
    """(rows, sum of row numbers, first and last keys, NaNs, ordered, equal keys in input
    order) of one output partition."""
    values = frame[key]
    present = values.notna().to_numpy()
    # NaNs last: once a NaN is seen, only NaNs follow.
    missing_at = np.flatnonzero(~present)
    ordered = missing_at.size == 0 or bool((~present[missing_at[0]:]).all())
    kept = values[present]
    stable = True
    if len(kept) > 1:
        ordered &= bool(kept.is_monotonic_increasing)
        same = kept.to_numpy()[1:] == kept.to_numpy()[:-1]
        rows = frame["row"].to_numpy()[present]
        stable = bool((rows[1:][same] > rows[:-1][same]).all())
    firsts = [kept.iloc[0], kept.iloc[-1]] if len(kept) else []
    return len(frame), int(frame["row"].sum()), firsts, int(missing_at.size), ordered, stable


def check(summaries, count, stable):
    rows = sum(s[0] for s in summaries)
    total = sum(s[1] for s in summaries)
    if rows != count or total != count * (count - 1) // 2:
        raise SystemExit(f"wrong rows: {rows} of {count}")
    if not all(s[4] for s in summaries):
        raise SystemExit("a partition out of order")
    if stable and not all(s[5] for s in summaries):
        raise SystemExit("equal keys out of input order")
    edges = [x for s in summaries for x in s[2]]
    if edges != sorted(edges):
        raise SystemExit("partitions out of order")
    # NaNs only in the partitions at the end.
    seen_missing = False
    for s in summaries:
        if seen_missing and s[0] > s[3]:
            raise SystemExit("keys after NaNs")
        seen_missing |= s[3] > 0


def run(method, key, count, parts, max_bytes, scratch):
    import dask.dataframe as dd
    import distributed
    from dask import delayed

    import quillmere.dask

    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
        memory_limit=0,
    ) as cluster, distributed.Client(cluster) as client:
        bounds = [(count * p // parts, count * (p + 1) // parts) for p in range(parts)]
        meta = generate((0, 0))
        start = time.perf_counter()
        frame = dd.from_map(generate, bounds, meta=meta, enforce_metadata=False)
        if method == "quillmere":
            out = quillmere.dask.sort_values(frame, key, max_bytes=max_bytes, scratch=scratch)
        else:
            out = frame.sort_values(key, shuffle_method="p2p")
        # The sort ends with its output in the workers' memory; checking it is not timed.
        out = client.persist(out)
        distributed.wait(out)
        seconds = time.perf_counter() - start
        stable = method == "quillmere"
        # Both outputs are checked alike; only quillmere's must keep equal keys in order.
        summaries = [delayed(summary)(part, key) for part in out.to_delayed()]
        got = client.compute(summaries, sync=True)
        peaks = client.run(lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024)
    check(got, count, stable)
    if os.listdir(scratch):
        raise SystemExit(f"scratch not empty: {os.listdir(scratch)}")
    return seconds, max(peaks.values())


def one_output(how, key, count, parts, max_bytes):
    """(seconds, output MiB, peak MiB) of making one output partition in this process."""
    import dask
    import dask.dataframe as dd

    import quillmere.dask

    bounds = [(count * p // parts, count * (p + 1) // parts) for p in range(parts)]
    with tempfile.TemporaryDirectory() as scratch, dask.config.set(scheduler="sync"):
        start = time.perf_counter()
        frame = dd.from_map(generate, bounds, meta=generate((0, 0)), enforce_metadata=False)
        if how == "gathered":
            out = frame.repartition(npartitions=1).compute()
        else:
            out = quillmere.dask.sort_values(frame, key, npartitions=1, max_bytes=max_bytes,
                                             scratch=scratch).compute()
        seconds = time.perf_counter() - start
        # Before the check, which costs memory of its own.
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
        if how != "gathered":
            check([summary(out, key)], count, True)
            if os.listdir(scratch):
                raise SystemExit(f"scratch not empty: {os.listdir(scratch)}")
    return seconds, out.memory_usage(index=True, deep=True).sum() / 2**20, peak


def one_output_table(args):
    import concurrent.futures
    import multiprocessing

    print(f"{args.rows} rows, {args.parts} partitions in, one out, in one process each")
    print(f"{'key':6} {'made':20} {'seconds':>8} {'output MiB':>11} {'peak MiB':>9}")
    keys = args.keys.split(",")
    for key in keys:
        ways = [("at once", 1 << 40), ("a few blocks a time", args.max_bytes)]
        for how, max_bytes in [("gathered", 0)] * (key == keys[0]) + ways:
            # A fresh process for each, so that each peak is its own.
            with concurrent.futures.ProcessPoolExecutor(
                1, mp_context=multiprocessing.get_context("spawn")
            ) as pool:
                seconds, size, peak = pool.submit(one_output, how, key, args.rows, args.parts,
                                                  max_bytes).result()
            label = "-" if how == "gathered" else key
            print(f"{label:6} {how:20} {seconds:8.2f} {size:11.0f} {peak:9.0f}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=4_000_000)
    parser.add_argument("--parts", type=int, default=16, help="input partitions")
    parser.add_argument("--max-bytes", type=int,
                        help="256 MiB; 32 MiB with --one-output, where it should be below the"
                        " output's size")
    parser.add_argument("--keys", default=",".join(KEYS), help="comma-separated key columns")
    parser.add_argument("--smoke", action="store_true", help="tiny, in seconds")
    parser.add_argument("--one-output", action="store_true",
                        help="the memory one large output partition costs, in one process")
    args = parser.parse_args()
    if args.max_bytes is None:
        args.max_bytes = (32 if args.one_output else 256) << 20
    if args.smoke:
        args.rows, args.parts = 20_000, 3
        if args.one_output:
            args.max_bytes = 1 << 16
    if args.one_output:
        one_output_table(args)
        return
    print(f"{args.rows} rows, {args.parts} partitions in and out, 2 workers of 1 thread")
    print(f"{'key':6} {'method':10} {'seconds':>8} {'speed-up':>9} {'peak MiB':>9}")
    with tempfile.TemporaryDirectory() as scratch:
        for key in args.keys.split(","):
            dask_seconds, dask_peak = run("dask p2p", key, args.rows, args.parts,
                                          args.max_bytes, scratch)
            ours, our_peak = run("quillmere", key, args.rows, args.parts, args.max_bytes,
                                 scratch)
            print(f"{key:6} {'dask p2p':10} {dask_seconds:8.2f} {'':9} {dask_peak:9.0f}")
            print(f"{key:6} {'quillmere':10} {ours:8.2f} {dask_seconds / ours:8.2f}x "
                  f"{our_peak:9.0f}", flush=True)


if __name__ == "__main__":
    main()
