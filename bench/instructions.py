"""Instructions per record on the hot paths, counted by callgrind: a half's
sort, a merge step, an add and a decode. Counts, unlike times, do not drift
with the machine, so two builds compare within a few per cent.

  tools/env tools/bench bench/instructions.py [--build DIR]

Each figure is taken as a difference, so that setting up costs nothing:
  sort       quillmere::sort in core_bench's sort_half (1 M float keys), three
             timed iterations less one, per record
  spill      the spill's order: sort_pieces plus for_each_sorted (1 M short
             string keys), likewise
  merge      Merged::next_record in core_bench's merge_64 (64 runs), likewise
  add        push_item per item, adding 200,000 (str, int) tuples through
             Sorter.sort(items) with max_bytes 4 MiB (several spills)
  decode     the pickle decoder per item, reading those back
  read       the iterator's next() per item (merge, refill and decode)
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

PYTHON_CASE = """
import random, sys
from quillmere import Sorter
rng = random.Random(3)
words = ["".join(rng.choices("abcdefghijklmnopqrstuvwxyz", k=rng.randint(5, 12)))
         for _ in range(1 << 16)]
items = [(words[rng.getrandbits(16)], rng.getrandbits(31)) for _ in range(int(sys.argv[1]))]
sorter = Sorter(tmp_dir=sys.argv[2], max_bytes=4 << 20)
count = sum(1 for _ in sorter.sort(items))
assert count == len(items)
"""
PYTHON_ITEMS = 200_000


def callgrind(command, env=None):
    """{function name: inclusive instructions} for one run."""
    with tempfile.TemporaryDirectory(dir=os.path.join(ROOT, "build")) as tmp:
        out = os.path.join(tmp, "cg.out")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *command],
                       check=True, capture_output=True, env=env)
        text = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", out],
                              check=True, capture_output=True, text=True).stdout
    totals = {}
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+) \([^)]*\)\s+\S*?:(.*?) \[", line)
        if m:
            name = m.group(2)
            totals[name] = totals.get(name, 0) + int(m.group(1).replace(",", ""))
    return totals


def find(totals, pattern):
    hits = [v for k, v in totals.items() if re.search(pattern, k)]
    if not hits:
        raise SystemExit(f"no function matches {pattern!r}")
    return max(hits)


def per_iteration(binary, bench, pattern, records):
    runs = [callgrind([binary, f"--benchmark_filter={bench}", f"--benchmark_min_time={n}x"])
            for n in (1, 3)]
    return (find(runs[1], pattern) - find(runs[0], pattern)) / 2 / records


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "release"),
                        help="the build directory to count (core_bench and the extension)")
    args = parser.parse_args()
    binary = os.path.join(args.build, "core_bench")
    rows = [
        ("sort", per_iteration(binary, "^sort_half/quillmere/threads:1/",
                               r"^quillmere::sort\(quillmere::Chunk", 1_000_000)),
        ("spill", per_iteration(binary, "^spill_order/quillmere/threads:1/",
                                r"spill_order_quillmere", 1_000_000)),
        ("merge", per_iteration(binary, "^merge_64/quillmere/",
                                r"^quillmere::Merged::next_record\(\)", 1_000_000)),
    ]
    env = dict(os.environ, PYTHONPATH=f"{args.build}:{os.path.join(ROOT, 'python')}")
    with tempfile.TemporaryDirectory(dir=os.path.join(ROOT, "build")) as tmp:
        totals = callgrind([sys.executable, "-c", PYTHON_CASE, str(PYTHON_ITEMS), tmp], env=env)
    rows += [
        ("add", find(totals, r"quillmere::python::push_item\(") / PYTHON_ITEMS),
        ("decode", find(totals, r"quillmere::python::pickle::loads\(") / PYTHON_ITEMS),
        ("read", find(totals, r"python::\(anonymous namespace\)::iterator_next\(") / PYTHON_ITEMS),
    ]
    print(f"{'path':8} {'instructions/record':>20}")
    for name, value in rows:
        print(f"{name:8} {value:20.0f}")


if __name__ == "__main__":
    main()
