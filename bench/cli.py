"""The quillmere command against GNU sort on text files of a few GB.

Each case runs `python -m quillmere` and `sort` with the same options,
locale (LC_ALL=C unless the case says otherwise), memory (-S), threads
(--parallel) and temporary directory, checks
that the outputs are identical, and prints both times, the ratio quillmere
speed / sort speed (above 1: quillmere is faster) and both peak resident
memories. With --repeat N (3 by default) each case runs N times, the two
commands alternating, and the table shows the medians: of each time, and of
the ratios taken within one repetition. The cases:

  plain     100-byte lines of printable text, whole-line keys
  field     comma-separated records, -t, -k2,2 (ties by whole lines)
  stable    the same records with -s (ties in input order)
  short     tab-separated records of about 30 bytes, -t TAB, -k2,2
  numeric   lines that start with a signed decimal number, -n
  words     1.5 M lines of two short words (about 13 bytes): whatever
            --size says, all of it fits within -S
  locale    the same lines in LC_ALL=en_US.UTF-8: compared by its collation

  tools/env tools/bench bench/cli.py [--size BYTES] [--buffer 256M] [--threads 1,2]
                                     [--only CASE,...] [--repeat N] [--smoke]

--size is the size of each input (default 2 GB); --smoke runs every case on
tiny inputs in seconds. Inputs are kept in build/bench-data between runs.
"""

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PRINTABLE = bytes(range(33, 127))
WORDS = [bytes(random.Random(i).choices(b"abcdefghijklmnopqrstuvwxyz", k=5 + i % 8))
         for i in range(4096)]
SHORT_WORDS = [bytes(random.Random(-i).choices(b"abcdefghijklmnopqrstuvwxyz", k=4 + i % 5))
               for i in range(4096)]


def plain_lines(rng, count):
    table = bytes(PRINTABLE[i % len(PRINTABLE)] for i in range(256))
    text = rng.randbytes(99 * count).translate(table)
    return b"".join(text[i:i + 99] + b"\n" for i in range(0, len(text), 99))


def field_lines(rng, count):
    words = rng.choices(WORDS, k=4 * count)
    numbers = rng.choices(range(1 << 20), k=count)
    return b"".join(b"%s,%s,%d,%s,%s\n" % (words[4 * i], words[4 * i + 1], numbers[i],
                                           words[4 * i + 2], words[4 * i + 3])
                    for i in range(count))


def short_lines(rng, count):
    words = rng.choices(WORDS, k=2 * count)
    numbers = rng.choices(range(1 << 20), k=count)
    return b"".join(b"%s\t%s\t%d\n" % (words[2 * i], words[2 * i + 1], numbers[i])
                    for i in range(count))


def word_pairs(rng, count):
    words = rng.choices(SHORT_WORDS, k=2 * count)
    return b"".join(b"%s %s\n" % (words[2 * i], words[2 * i + 1]) for i in range(count))


def numeric_lines(rng, count):
    ints = rng.choices(range(-10 ** 9, 10 ** 9), k=count)
    fracs = rng.choices(range(1000), k=count)
    words = rng.choices(WORDS, k=count)
    return b"".join(b"%d.%03d %s\n" % (ints[i], fracs[i], words[i]) for i in range(count))


CASES = {
    "plain": (plain_lines, []),
    "field": (field_lines, ["-t", ",", "-k2,2"]),
    "stable": (field_lines, ["-s", "-t", ",", "-k2,2"]),
    "short": (short_lines, ["-t", "\t", "-k2,2"]),
    "numeric": (numeric_lines, ["-n"]),
    "words": (word_pairs, []),
    "locale": (word_pairs, []),
}
# Cases whose inputs have a size of their own.
FIXED_SIZE = {"words": 1_500_000 * 13, "locale": 1_500_000 * 13}
# Cases that sort another case's input.
INPUT_OF = {"locale": "words"}
# The locale of each case, C where not given.
LOCALE = {"locale": "en_US.UTF-8"}


def make_input(path, case, size):
    """About `size` bytes of the case's lines, made once and kept."""
    if os.path.exists(path) and os.path.getsize(path) >= size * 0.99:
        return
    rng = random.Random(case)
    make = CASES[case][0]
    with open(path + ".tmp", "wb") as f:
        while f.tell() < size:
            f.write(make(rng, 20000))
    os.replace(path + ".tmp", path)


def timed(command, env):
    """Seconds taken and peak resident memory in MiB."""
    # Each command starts with no dirty pages of the last one still being
    # written back, which would slow whichever runs next.
    os.sync()
    with tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        proc = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(proc.pid, 0)
        seconds = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode != 0:
            err.seek(0)
            raise SystemExit(f"{command[0]} failed: {err.read().decode(errors='replace')}")
    return seconds, usage.ru_maxrss / 1024


def run_case(case, path, buffer, threads, tmp):
    options = CASES[case][1]
    env = dict(os.environ, LC_ALL=LOCALE.get(case, "C"))
    ours, theirs = os.path.join(tmp, "quillmere.out"), os.path.join(tmp, "sort.out")
    common = ["-S", buffer, "-T", tmp, f"--parallel={threads}", *options]
    q = timed([sys.executable, "-m", "quillmere", "--quiet", *common, "-o", ours, path], env)
    g = timed(["sort", *common, "-o", theirs, path], env)
    same = subprocess.run(["cmp", "-s", ours, theirs]).returncode == 0
    for f in (ours, theirs):
        os.remove(f)
    return q, g, same


def summary(runs):
    """Median times, peak memories, the median ratio and whether all agreed."""
    def side(i):
        return (statistics.median(r[i][0] for r in runs), max(r[i][1] for r in runs))
    ratio = statistics.median(r[1][0] / r[0][0] for r in runs)
    return side(0), side(1), ratio, all(r[2] for r in runs)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=float, default=2e9, help="bytes per input file")
    parser.add_argument("--buffer", default="256M", help="-S for both")
    parser.add_argument("--threads", default="1,2", help="comma-separated --parallel values")
    parser.add_argument("--only", default=",".join(CASES), help="comma-separated cases")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each, medians shown")
    parser.add_argument("--smoke", action="store_true", help="tiny inputs, in seconds")
    args = parser.parse_args()
    if args.smoke:
        args.size, args.buffer, args.threads, args.repeat = 2e6, "256K", "1,2", 1
    data_dir = os.path.join(ROOT, "build", "bench-data")
    os.makedirs(data_dir, exist_ok=True)
    tmp = tempfile.mkdtemp(prefix="cli-", dir=os.path.join(ROOT, "build"))
    failed = False
    try:
        print(f"{'case':8} {'MB':>7} {'-S':>5} {'thr':>3} {'quillmere s':>11} {'sort s':>8} "
              f"{'ratio':>6} {'q MiB':>6} {'s MiB':>6}  same")
        for case in args.only.split(","):
            size = int(args.size if args.smoke else FIXED_SIZE.get(case, args.size))
            source = INPUT_OF.get(case, case)
            path = os.path.join(data_dir, f"cli-{source}-{size}.txt")
            make_input(path, source, size)
            megabytes = os.path.getsize(path) / 1e6
            thread_counts = [int(t) for t in args.threads.split(",")]
            # The thread counts take turns too, so a drift of the machine's
            # speed does not fall on one of them.
            runs = {t: [] for t in thread_counts}
            for _ in range(args.repeat):
                for threads in thread_counts:
                    runs[threads].append(run_case(case, path, args.buffer, threads, tmp))
            for threads in thread_counts:
                (q, q_peak), (g, g_peak), ratio, same = summary(runs[threads])
                failed |= not same
                print(f"{case:8} {megabytes:7.0f} {args.buffer:>5} {threads:3} {q:11.2f} {g:8.2f} "
                      f"{ratio:6.2f} {q_peak:6.0f} {g_peak:6.0f}  "
                      f"{'yes' if same else 'NO: OUTPUTS DIFFER'}", flush=True)
            if args.smoke:
                os.remove(path)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    if failed:
        raise SystemExit("quillmere's output differs from sort's")


if __name__ == "__main__":
    main()
