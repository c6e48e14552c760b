"""python -m quillmere: sort files larger than memory (see quillmere.cli)."""

from quillmere.cli import entry

if __name__ == "__main__":
    entry()
