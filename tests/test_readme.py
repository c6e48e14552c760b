"""Every snippet of the README's user guide runs as it stands.

The Python snippets run in order, each in a fresh interpreter, in one
directory (the first makes the files the others read); the shell snippets of
the guide run there too, with `quillmere` on PATH. A plain mypy run accepts
the Python snippets, as a user's checker would.
"""

import ast
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
GUIDE_START = "## Using it"
GUIDE_END = "## Developing"


def snippets():
    """(language, code) of each fenced block of the user guide, in order."""
    text = README.read_text()
    start = text.index(GUIDE_START)
    guide = text[start:text.index(GUIDE_END, start)]
    return re.findall(r"^```(\w+)\n(.*?)^```", guide, flags=re.M | re.S)


def importable(code):
    """Whether this interpreter imports every module the snippet imports."""
    tree = ast.parse(code)
    modules = {alias.name for node in ast.walk(tree) if isinstance(node, ast.Import)
               for alias in node.names}
    modules |= {node.module for node in ast.walk(tree)
                if isinstance(node, ast.ImportFrom) and node.module}
    probe = subprocess.run([sys.executable, "-c", "\n".join(f"import {m}" for m in modules)],
                           capture_output=True, env=dict(os.environ), timeout=120)
    return probe.returncode == 0


def test_every_snippet_runs(tmp_path):
    blocks = snippets()
    # A heading or fence renamed would otherwise leave nothing to run.
    languages = [language for language, _ in blocks]
    assert languages.count("python") >= 5 and "sh" in languages
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    shim = bin_dir / "quillmere"
    shim.write_text(f'#!/bin/sh\nexec "{sys.executable}" -m quillmere "$@"\n')
    shim.chmod(0o755)
    work = tmp_path / "work"
    work.mkdir()
    env = dict(os.environ, PATH=f"{bin_dir}:{os.environ['PATH']}", TMPDIR=str(tmp_path))
    skipped = []
    for number, (language, code) in enumerate(blocks, 1):
        if language == "python" and not importable(code):
            skipped.append(number)  # what it imports has no build for this Python
            continue
        if language == "python":
            command = [sys.executable, "-c", code]
        elif language == "sh":
            command = ["bash", "-eu", "-c", code]  # no pipefail: `| head` is fine
        else:
            pytest.fail(f"snippet {number} is in {language}, which the tests cannot run")
        result = subprocess.run(command, cwd=work, env=env, capture_output=True, text=True,
                                timeout=300)
        assert result.returncode == 0, f"snippet {number} failed:\n{code}\n{result.stderr}"
    # Only pandas, built for some Pythons and not others, may be missing.
    assert not skipped or not importable("import pandas"), f"snippets {skipped} do not import"
    # Nothing the sorters spilled is left behind.
    assert not [p for p in tmp_path.iterdir() if p.name.startswith("quillmere-")]


def test_mypy_accepts_every_python_snippet(tmp_path):
    mypy = shutil.which("mypy")
    if mypy is None:
        pytest.skip("no mypy")
    files = []
    for number, (language, code) in enumerate(snippets(), 1):
        if language == "python":
            files.append(tmp_path / f"snippet_{number}.py")
            files[-1].write_text(code)
    env = dict(os.environ, MYPYPATH=str(README.parent / "python"))
    result = subprocess.run([mypy, "--cache-dir", os.devnull, *map(str, files)],
                            env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout
