"""Run by tools/check-wheels with an installed wheel, in a bare root with no
compiler, no liblz4 and nothing else of the project: the API sorts across
spilled runs, and the command runs, both ways, saying the wheel's version.
Exits non-zero, with a traceback, on any fault."""

import importlib.metadata
import os
import random
import subprocess
import sys
import tempfile

import quillmere

rng = random.Random(5)
items = [(rng.randbytes(4).hex(), i) for i in range(200_000)]
with tempfile.TemporaryDirectory() as spill:
    with quillmere.Sorter(max_bytes=1 << 20, tmp_dir=spill) as sorter:
        for item in items:
            sorter.add(item)
        (private,) = os.listdir(spill)
        runs = len(os.listdir(os.path.join(spill, private)))
        assert runs >= 2, f"only {runs} runs spilled"
        assert list(sorter.sort()) == sorted(items)
    assert os.listdir(spill) == []

lines = b"".join(f"{word}\n".encode() for word, _ in items[:1000])
expected = b"".join(sorted(lines.splitlines(keepends=True)))
bin_dir = os.path.dirname(sys.executable)
for command in ([os.path.join(bin_dir, "quillmere")], [sys.executable, "-m", "quillmere"]):
    done = subprocess.run([*command, "-S", "64K"], input=lines, capture_output=True, check=True,
                          env=dict(os.environ, LC_ALL="C"))
    assert done.stdout == expected, command

version = importlib.metadata.version("quillmere")
shown = subprocess.run([os.path.join(bin_dir, "quillmere"), "--version"], capture_output=True,
                       text=True, check=True).stdout
assert shown == f"quillmere {version}\n", shown
assert quillmere.__version__ == version
print(f"wheel {version}: {runs} runs sorted, the command and python -m quillmere ran")
