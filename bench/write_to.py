"""write_to against iterating encoded() and writing from Python.

Adds N payloads of about 100 bytes under random int keys to two identical
sorters, then streams one with write_to into a file and the other by
iterating encoded() and writing each payload with the file's write; both
files go to DIR (default: build/, on the project's disk) and must end up
identical. Prints the time of each way out and their ratio.
"""

import argparse
import os
import random
import tempfile
import time

from quillmere import Sorter


def loaded(tmp, payloads, keys, max_bytes, threads):
    s = Sorter(tmp_dir=tmp, max_bytes=max_bytes, threads=threads)
    add = s.add_encoded
    for key, payload in zip(keys, payloads):
        add(key, payload)
    return s


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--items", type=int, default=5_000_000)
    parser.add_argument("--max-bytes", type=int, default=64 << 20)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--dir", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    args = parser.parse_args()

    rng = random.Random(7)
    pool = [rng.randbytes(rng.randint(60, 140)) for _ in range(4096)]
    payloads = [pool[i & 4095] for i in range(args.items)]
    keys = [rng.getrandbits(62) for _ in range(args.items)]
    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        direct_path = os.path.join(tmp, "write_to.out")
        loop_path = os.path.join(tmp, "loop.out")

        s = loaded(tmp, payloads, keys, args.max_bytes, args.threads)
        start = time.perf_counter()
        with open(direct_path, "wb") as f:
            s.write_to(f)
        direct = time.perf_counter() - start

        s = loaded(tmp, payloads, keys, args.max_bytes, args.threads)
        start = time.perf_counter()
        with open(loop_path, "wb") as f:
            write = f.write
            for payload in s.encoded():
                write(payload)
        loop = time.perf_counter() - start

        size = os.path.getsize(direct_path)
        with open(direct_path, "rb") as a, open(loop_path, "rb") as b:
            if a.read() != b.read():
                raise SystemExit("the two outputs differ")

    print(f"{args.items:,} payloads, {size / (1 << 20):.0f} MiB, max_bytes "
          f"{args.max_bytes >> 20} MiB, threads {args.threads}")
    print(f"write_to:                {direct:.2f} s ({size / direct / (1 << 20):.0f} MiB/s)")
    print(f"encoded() + f.write():   {loop:.2f} s ({size / loop / (1 << 20):.0f} MiB/s)")
    print(f"write_to is {loop / direct:.2f}x as fast")


if __name__ == "__main__":
    main()
