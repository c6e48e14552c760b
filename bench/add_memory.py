"""Peak memory while adding far more than max_bytes of small items.

Adds GIB gibibytes (default 2) of items of about 100 bytes (a 10-byte int key
and a 90-byte payload) with add_encoded to a sorter with max_bytes of 64 MiB,
then reports the process's peak RSS above what it held before the sorter
was made. The items are made on the fly, so the sorter is what grows.
"""

import argparse
import os
import random
import tempfile
import time

from _quillmere import Sorter
from memory import peak_mib, rss_mib


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--gib", type=float, default=2.0)
    parser.add_argument("--max-bytes", type=int, default=64 << 20)
    parser.add_argument("--threads", type=int, default=1)
    args = parser.parse_args()

    payloads = [random.randbytes(90) for _ in range(1024)]
    keys = [random.getrandbits(60) for _ in range(1 << 16)]
    per_item = 10 + 90
    count = int(args.gib * (1 << 30) / per_item)
    base = rss_mib()
    with tempfile.TemporaryDirectory() as tmp:
        start = time.perf_counter()
        s = Sorter(tmp_dir=tmp, max_bytes=args.max_bytes, threads=args.threads)
        add = s.add_encoded
        for i in range(count):
            add(keys[i & 0xFFFF] ^ i, payloads[i & 1023])
        elapsed = time.perf_counter() - start
        spilled = sum(os.path.getsize(os.path.join(d, f))
                      for d, _, files in os.walk(tmp) for f in files)
        s.close()
    peak = peak_mib()
    print(f"items: {count:,} ({args.gib} GiB of keys and payloads), threads {args.threads}")
    print(f"add rate: {count / elapsed / 1e6:.2f} M items/s ({elapsed:.1f} s)")
    print(f"spilled at the end: {spilled / (1 << 20):.0f} MiB of run files")
    print(f"RSS before the sorter: {base:.1f} MiB; peak: {peak:.1f} MiB")
    print(f"peak above the base: {peak - base:.1f} MiB "
          f"for max_bytes {args.max_bytes / (1 << 20):.0f} MiB")


if __name__ == "__main__":
    main()
