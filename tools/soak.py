"""Soak: sorts random data with random settings for a while, checking every
output against sorted(input, key=...), and reports what it ran.

  tools/env tools/bench tools/soak.py [--minutes M] [--seed S]

Not part of CI. Each round picks a key kind, an item count, a budget from
the smallest to several MiB, max_open, threads, a way of adding and a way of
reading (sort, encoded, write_to), and equal keys are common, so stability
across runs, passes and the held half is checked every time.
"""

import argparse
import collections
import io
import os
import pickle
import random
import sys
import tempfile
import time

from quillmere import Sorter

KINDS = {
    "int": lambda r: r.choice([r.randrange(-9, 9), r.getrandbits(70) - 2**69, 2**64 + r.randrange(3)]),
    "number": lambda r: r.choice([r.randrange(-9, 9), r.uniform(-9, 9), float(r.randrange(-9, 9))]),
    "str": lambda r: "".join(r.choice("ab\x00\ud800é") for _ in range(r.randrange(5))),
    "bytes": lambda r: bytes(r.choice(b"\x00\x01\xff") for _ in range(r.randrange(5))),
    "tuple": lambda r: (r.randrange(4), "".join(r.choice("xy") for _ in range(r.randrange(3)))),
    "list": lambda r: [r.randrange(3) for _ in range(r.randrange(4))],
}


def one_round(rng, tmp):
    kind = rng.choice(sorted(KINDS))
    count = rng.choice([0, 1, 10, 1000, 20_000, 200_000])
    config = dict(max_bytes=rng.choice([2, 100, 10_000, 300_000, 5_000_000]),
                  max_open=rng.choice([2, 3, 7, 64]), threads=rng.choice([1, 2, 3]))
    if config["max_bytes"] < 1000:
        count = min(count, 1000)  # one run per item: keep the round short
    make = KINDS[kind]
    items = [(make(rng), i) for i in range(count)]
    key = (lambda item: item[0])
    s = Sorter(key, tmp_dir=tmp, **config)
    how = rng.choice(["add", "add_encoded", "sort"])
    if how == "add":
        for item in items:
            s.add(item)
    elif how == "add_encoded":
        for item in items:
            s.add_encoded(key(item), pickle.dumps(item, 5))
    out_way = rng.choice(["sort", "encoded", "write_to"])
    if how == "sort":
        out = list(s.sort(items))
        out_way = "sort"
    elif out_way == "sort":
        out = list(s.sort())
    elif out_way == "encoded":
        out = [pickle.loads(p) for p in s.encoded()]
    else:
        sink = io.BytesIO()
        s.write_to(sink)
        # Payloads back to back: read the pickles one after another.
        sink.seek(0)
        out = []
        while sink.tell() < len(sink.getbuffer()):
            out.append(pickle.load(sink))
    model = sorted(items, key=key)
    if out != model:
        raise SystemExit(f"MISMATCH: {kind} {count} {config} {how} {out_way}")
    if os.listdir(tmp):
        raise SystemExit(f"files left behind: {os.listdir(tmp)}")
    return kind, count, config, how, out_way


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--minutes", type=float, default=5)
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    rng = random.Random(seed)
    deadline = time.monotonic() + args.minutes * 60
    tally = collections.Counter()
    items = rounds = 0
    with tempfile.TemporaryDirectory() as tmp:
        while time.monotonic() < deadline:
            kind, count, config, how, out_way = one_round(rng, tmp)
            rounds += 1
            items += count
            tally[kind] += 1
            tally[f"{how}->{out_way}"] += 1
            tally[f"threads={config['threads']}"] += 1
    print(f"soak: seed {seed}, {rounds} rounds, {items:,} items, every output checked")
    print("  " + ", ".join(f"{k}: {v}" for k, v in sorted(tally.items())))


if __name__ == "__main__":
    sys.exit(main())
