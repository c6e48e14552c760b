# The extension's types are in quillmere/__init__.pyi, where mypy finds them
# when the package is installed. Installed, this stub serves `import
# _quillmere` only to checkers that read top-level stubs (mypy does not); in
# the source tree, to mypy too, with MYPYPATH=python.

from quillmere import Sorter as Sorter

__all__ = ["Sorter"]
