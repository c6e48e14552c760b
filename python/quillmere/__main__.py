"""python -m quillmere: sort files larger than memory (see quillmere.cli)."""

import sys

from quillmere.cli import main

if __name__ == "__main__":
    sys.exit(main())
