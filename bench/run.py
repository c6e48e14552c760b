"""quillmere against its peers: one table of figures and ratios.

Every measurement runs in a fresh interpreter (or process, for GNU sort and
DuckDB), so its peak RSS is its own; every ratio is against a peer measured
in the same run. The cases:

  (a) random 62-bit ints, no key function, pickled
  (b) (str, int) tuples
      each pipeline starting from the same items already in a list, against:
      the sorted() pipeline (sort the list, iterate), a pure-Python external
      sort at the same budget (sorted batches pickled to files, merged with
      heapq.merge), and the bare cost of pickle.dumps plus pickle.loads of
      the same items
  (d) 1 M (str, int) tuples at 16 MiB, a size where sorted() does best,
      against the same peers
  (c) 100-byte text lines added with add_encoded(line, line) and streamed
      out with write_to, against GNU sort and DuckDB at the same memory and
      threads
  core: the C++ micro-benchmarks (Google Benchmark), each with its baseline

  tools/env tools/bench bench/run.py [--scale S] [--repeat N] [--smoke] [--json FILE]

--scale multiplies every size (the defaults are 10 M ints, 5 M and 1 M tuples
and 2 GB of lines); --repeat runs cases a, b and d N times, peers and ours
taking turns, and shows the medians; --smoke runs everything at tiny sizes
in seconds.
"""

import argparse
import heapq
import json
import os
import pickle
import random
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from memory import rss_mib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
MIB = 1 << 20


# ---- data: the same items for every implementation ----

def ints(count):
    rng = random.Random(1)
    bits = rng.getrandbits
    for _ in range(count):
        yield bits(62)


WORDS = None


def pairs(count):
    global WORDS
    if WORDS is None:
        rng = random.Random(2)
        letters = "abcdefghijklmnopqrstuvwxyz"
        WORDS = ["".join(rng.choices(letters, k=rng.randint(5, 12))) for _ in range(1 << 16)]
    rng = random.Random(3)
    bits = rng.getrandbits
    words = WORDS
    for _ in range(count):
        yield (words[bits(16)], bits(31))


DATA = {"a": ints, "b": pairs, "d": pairs}


def consume(iterable):
    """Reads everything, checking the order; the same for every pipeline."""
    count = 0
    previous = None
    for item in iterable:
        if count and item < previous:
            raise SystemExit(f"out of order: {previous!r} then {item!r}")
        previous = item
        count += 1
    return count


# ---- workers: each runs in its own interpreter and prints one JSON line ----

# Every pipeline starts from the same items already in a list, so making
# the data is counted nowhere; the bare RSS is taken with the list made.

def work_quillmere(case, count, max_bytes, threads, tmp):
    from quillmere import Sorter
    items = list(DATA[case](count))
    bare = rss_mib()
    start = time.perf_counter()
    sorter = Sorter(tmp_dir=tmp, max_bytes=max_bytes, threads=threads)
    seen = consume(sorter.sort(items))
    return {"seconds": time.perf_counter() - start, "count": seen, "bare_rss": bare}


def work_sorted(case, count, max_bytes, threads, tmp):
    items = list(DATA[case](count))
    bare = rss_mib()
    start = time.perf_counter()
    seen = consume(sorted(items))
    return {"seconds": time.perf_counter() - start, "count": seen, "bare_rss": bare}


def work_pickle(case, count, max_bytes, threads, tmp):
    dumps, loads = pickle.dumps, pickle.loads
    items = list(DATA[case](count))
    bare = rss_mib()
    start = time.perf_counter()
    seen = 0
    for item in items:
        loads(dumps(item, 5))
        seen += 1
    return {"seconds": time.perf_counter() - start, "count": seen, "bare_rss": bare}


def spill_batch(batch, tmp, index):
    path = os.path.join(tmp, f"batch-{index}")
    with open(path, "wb") as f:
        for i in range(0, len(batch), 1000):
            pickle.dump(batch[i:i + 1000], f, 5)
    return path


def read_batch(path):
    with open(path, "rb") as f:
        while True:
            try:
                yield from pickle.load(f)
            except EOFError:
                return


def work_external(case, count, max_bytes, threads, tmp):
    """A plain external sort in Python with the same memory budget."""
    listed = list(DATA[case](count))
    bare = rss_mib()
    start = time.perf_counter()
    items = iter(listed)
    first = next(items)
    per_item = len(pickle.dumps(first)) + sys.getsizeof(first) + 8 + (
        sum(sys.getsizeof(x) for x in first) if isinstance(first, tuple) else 0)
    batch_size = max(1, max_bytes // per_item)
    paths, batch = [], [first]
    for item in items:
        batch.append(item)
        if len(batch) >= batch_size:
            batch.sort()
            paths.append(spill_batch(batch, tmp, len(paths)))
            batch = []
    batch.sort()
    paths.append(spill_batch(batch, tmp, len(paths)))
    del batch
    seen = consume(heapq.merge(*(read_batch(p) for p in paths)))
    return {"seconds": time.perf_counter() - start, "count": seen, "bare_rss": bare}


def work_lines(case, path, max_bytes, threads, tmp):
    from quillmere import Sorter
    bare = rss_mib()
    out = os.path.join(tmp, "out")
    start = time.perf_counter()
    sorter = Sorter(tmp_dir=tmp, max_bytes=max_bytes, threads=threads)
    add = sorter.add_encoded
    with open(path, "rb") as f:
        for line in f:
            add(line, line)
    with open(out, "wb") as f:
        sorter.write_to(f)
    return {"seconds": time.perf_counter() - start, "bare_rss": bare, "output": out}


WORKERS = {"quillmere": work_quillmere, "sorted": work_sorted, "pickle": work_pickle,
           "external": work_external, "lines": work_lines}


def run_worker(args):
    name, case, size, max_bytes, threads, tmp = args
    size = int(size) if name != "lines" else size
    result = WORKERS[name](case, size, int(max_bytes), int(threads), tmp)
    print(json.dumps(result))


# ---- the harness ----

def run(command, env=None):
    """Runs a command, returning its wall time, peak RSS (MiB) and stdout."""
    start = time.perf_counter()
    out_r, out_w = os.pipe()
    err_r, err_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.dup2(out_w, 1)
        os.dup2(err_w, 2)
        for fd in (out_r, out_w, err_r, err_w):
            os.close(fd)
        try:
            os.execvpe(command[0], command, env or os.environ)
        finally:
            os._exit(127)
    os.close(out_w)
    os.close(err_w)
    with os.fdopen(out_r, "rb") as out_f, os.fdopen(err_r, "rb") as err_f:
        out = out_f.read()
        err = err_f.read()
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        lines = err.decode(errors="replace").strip().splitlines()
        errors = [line for line in lines if "Error" in line]  # DuckDB adds hints after it
        return {"failed": errors[:1] or lines[-1:] or ["?"],
                "seconds": wall, "peak_rss": usage.ru_maxrss / 1024}
    return {"seconds": wall, "peak_rss": usage.ru_maxrss / 1024, "stdout": out.decode()}


def python_worker(name, case, size, max_bytes, threads, tmp):
    result = run([sys.executable, __file__, "--worker", name, case, str(size), str(max_bytes),
                  str(threads), tmp])
    if "stdout" in result:
        result.update(json.loads(result.pop("stdout").strip().splitlines()[-1]))
    return result


def make_lines(path, size):
    """About `size` bytes of 100-byte lines of printable text."""
    if os.path.exists(path) and os.path.getsize(path) >= size * 0.99:
        return
    rng = random.Random(4)
    table = bytes(range(33, 127))
    with open(path + ".tmp", "wb") as f:
        remaining = size
        while remaining > 0:
            text = rng.randbytes(99 * 10000).translate(
                bytes(table[i % len(table)] for i in range(256)))
            lines = b"".join(text[i:i + 99] + b"\n" for i in range(0, len(text), 99))
            f.write(lines)
            remaining -= len(lines)
    os.replace(path + ".tmp", path)


def table_row(rows, **row):
    rows.append(row)
    return row


def median_row(results):
    """One result standing for several runs of the same thing: the median of
    each figure (of each ratio too, each taken within its own run) and the
    highest peak memory."""
    if any("failed" in r for r in results):
        return next(r for r in results if "failed" in r)
    row = dict(results[0])
    for key, value in row.items():
        if isinstance(value, float):
            row[key] = statistics.median(r[key] for r in results if key in r)
    row["peak_rss"] = max(r["peak_rss"] for r in results)
    return row


def case_items(rows, case, count, max_bytes, tmp, repeat):
    peers_runs, ours_runs = [], {1: [], 2: []}
    for _ in range(repeat):
        peers = {name: python_worker(name, case, count, max_bytes, 1, tmp)
                 for name in ("sorted", "external", "pickle")}
        peers_runs.append(peers)
        for threads in (1, 2):
            q = python_worker("quillmere", case, count, max_bytes, threads, tmp)
            if "failed" not in q:
                for name, peer in peers.items():
                    if "failed" not in peer:
                        q[f"vs_{name}"] = peer["seconds"] / q["seconds"]
                q["over_budget"] = q["peak_rss"] - q["bare_rss"] - max_bytes / MIB
            ours_runs[threads].append(q)
    for name in ("sorted", "external", "pickle"):
        peer = median_row([peers[name] for peers in peers_runs])
        table_row(rows, case=case, impl=name, threads=1, max_bytes=max_bytes, **peer)
    for threads, runs in ours_runs.items():
        table_row(rows, case=case, impl="quillmere", threads=threads, max_bytes=max_bytes,
                  **median_row(runs))


def case_lines(rows, path, size, budgets, tmp):
    for max_bytes in budgets:
        for threads in (1, 2):
            q = python_worker("lines", "c", path, max_bytes, threads, tmp)
            out = q.pop("output", None)
            sort_out = os.path.join(tmp, "sort.out")
            g = run(["sort", "-S", f"{max_bytes // MIB}M", f"--parallel={threads}", "-T", tmp,
                     "-o", sort_out, path], env=dict(os.environ, LC_ALL="C"))
            if out and "failed" not in g:
                q["same_as_sort"] = subprocess.run(["cmp", "-s", out, sort_out]).returncode == 0
            for f in (out, sort_out):
                if f and os.path.exists(f):
                    os.remove(f)
            d = duckdb(path, max_bytes, threads, tmp)
            for peer_name, peer in (("sort", g), ("duckdb", d)):
                peer["mb_s"] = size / 1e6 / peer["seconds"] if "failed" not in peer else None
                table_row(rows, case="c", impl=peer_name, threads=threads, max_bytes=max_bytes, **peer)
            if "failed" not in q:
                q["mb_s"] = size / 1e6 / q["seconds"]
                q["vs_sort"] = g["seconds"] / q["seconds"] if "failed" not in g else None
                q["vs_duckdb"] = d["seconds"] / q["seconds"] if "failed" not in d else None
                q["over_budget"] = q["peak_rss"] - q["bare_rss"] - max_bytes / MIB
            table_row(rows, case="c", impl="quillmere", threads=threads, max_bytes=max_bytes, **q)


def duckdb(path, max_bytes, threads, tmp):
    if shutil.which("duckdb") is None:
        return {"failed": ["duckdb is not installed"], "seconds": 0}
    out = os.path.join(tmp, "duck.out")
    sql = (f"SET memory_limit='{max_bytes // MIB}MB'; SET threads={threads}; "
           f"SET temp_directory='{tmp}/duck.tmp'; SET preserve_insertion_order=false; "
           f"COPY (SELECT line FROM read_csv('{path}', columns={{'line': 'VARCHAR'}}, "
           f"header=false, delim=chr(1), quote='', escape='', auto_detect=false) "
           f"ORDER BY line) TO '{out}' (HEADER false, QUOTE '', DELIMITER chr(1));")
    result = run(["duckdb", "-c", sql])
    result.pop("stdout", None)
    if os.path.exists(out):
        os.remove(out)
    shutil.rmtree(os.path.join(tmp, "duck.tmp"), ignore_errors=True)
    return result


UNITS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def core_benchmarks(rows, smoke):
    """Runs core_bench; each quillmere entry is compared with its group's
    baseline (the group is the name up to the first '/')."""
    binary = os.path.join(ROOT, "build", "release", "core_bench")
    if not os.path.exists(binary):
        rows.append({"case": "core", "impl": "core_bench", "failed": ["not built"]})
        return
    command = [binary, "--benchmark_format=json", f"--bench_dir={os.path.join(ROOT, 'build')}"]
    if smoke:
        command.append("--benchmark_min_time=0.01s")
    result = run(command)
    if "failed" in result:
        rows.append({"case": "core", "impl": "core_bench", **result})
        return
    results = json.loads(result["stdout"])["benchmarks"]
    baselines = {}
    for b in results:
        b["seconds"] = b["real_time"] * UNITS[b["time_unit"]]
        if b["name"].endswith("/baseline"):
            baselines[b["name"].split("/")[0]] = b["seconds"]
    for b in results:
        row = {"case": "core", "impl": b["name"], "seconds": b["seconds"],
               "items_per_second": b.get("items_per_second"),
               "bytes_per_second": b.get("bytes_per_second")}
        base = baselines.get(b["name"].split("/")[0])
        if base and not b["name"].endswith("/baseline"):
            row["vs_baseline"] = base / b["seconds"]
        rows.append(row)


def fmt(value, spec):
    return format(value, spec) if isinstance(value, (int, float)) else "-"


def print_table(rows):
    print(f"{'case':5} {'impl':34} {'thr':>3} {'budget':>7} {'seconds':>8} {'rate':>10} "
          f"{'peakMiB':>8} {'over':>6}  ratios")
    for r in rows:
        rate = ""
        if r.get("mb_s"):
            rate = f"{r['mb_s']:.0f} MB/s"
        elif r.get("count") and r.get("seconds"):
            rate = f"{r['count'] / r['seconds'] / 1e6:.2f} M/s"
        elif r.get("items_per_second"):
            rate = f"{r['items_per_second'] / 1e6:.2f} M/s"
        elif r.get("bytes_per_second"):
            rate = f"{r['bytes_per_second'] / 1e6:.0f} MB/s"
        ratios = " ".join(f"{k[3:]}={v:.2f}x" for k, v in r.items()
                          if k.startswith("vs_") and isinstance(v, float))
        if r.get("failed"):
            ratios = "FAILED: " + r["failed"][0][:60]
        if r.get("same_as_sort") is False:
            ratios += " OUTPUT DIFFERS FROM sort"
        budget = f"{r['max_bytes'] // MIB}M" if r.get("max_bytes") else ""
        print(f"{r['case']:5} {r['impl'][:34]:34} {fmt(r.get('threads'), '>3')} {budget:>7} "
              f"{fmt(r.get('seconds'), '>8.2f')} {rate:>10} {fmt(r.get('peak_rss'), '>8.0f')} "
              f"{fmt(r.get('over_budget'), '>6.1f')}  {ratios}")


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        run_worker(sys.argv[2:])
        return
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--smoke", action="store_true", help="tiny sizes, in seconds")
    parser.add_argument("--json", default=os.path.join(ROOT, "build", "bench.json"))
    parser.add_argument("--only", default="a,b,d,c,core", help="cases to run, e.g. 'a,core'")
    parser.add_argument("--repeat", type=int, default=1,
                        help="runs of cases a, b and d, each shown as its medians")
    args = parser.parse_args()
    scale = 0.002 if args.smoke else args.scale
    budget = 64 * MIB if not args.smoke else 1 * MIB
    only = set(args.only.replace(" ", ",").split(","))
    rows = []
    data_dir = os.path.join(ROOT, "build", "bench-data")
    os.makedirs(data_dir, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=data_dir) as tmp:
        if "a" in only:
            case_items(rows, "a", int(10_000_000 * scale), budget, tmp, args.repeat)
        if "b" in only:
            case_items(rows, "b", int(5_000_000 * scale), budget, tmp, args.repeat)
        if "d" in only:
            case_items(rows, "d", int(1_000_000 * scale), budget // 4, tmp, args.repeat)
        if "c" in only:
            size = int(2_000_000_000 * scale)
            path = os.path.join(data_dir, f"lines-{size}.txt")
            make_lines(path, size)
            budgets = [budget, 4 * budget]
            case_lines(rows, path, os.path.getsize(path), budgets, tmp)
        if "core" in only:
            core_benchmarks(rows, args.smoke)
    print_table(rows)
    with open(args.json, "w") as f:
        json.dump(rows, f, indent=1)
    print(f"(written to {args.json})")
    if any(r.get("failed") and r.get("impl") in ("quillmere", "core_bench") for r in rows) or any(
            r.get("same_as_sort") is False for r in rows):
        sys.exit("a quillmere run failed")


if __name__ == "__main__":
    main()
