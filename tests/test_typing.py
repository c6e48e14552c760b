"""The type stubs against the extension they describe, and mypy's reading of them."""

import ast
import inspect
import os
import re
import runpy
import shutil
import subprocess
import sys
import types
import typing
from pathlib import Path

import pytest

import _quillmere
import quillmere
from _quillmere import Sorter

PYTHON_DIR = Path(__file__).resolve().parent.parent / "python"
STUBS = {
    "_quillmere": PYTHON_DIR / "_quillmere.pyi",
    "quillmere": PYTHON_DIR / "quillmere" / "__init__.pyi",
}
EMPTY = inspect.Parameter.empty
P = inspect.Parameter


def parse(module):
    return ast.parse(STUBS[module].read_text(), filename=str(STUBS[module]))


def public_names(tree):
    """Names a stub makes public: its definitions, and imports re-exported as `X as X`."""
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names.add(node.name)
        elif isinstance(node, ast.TypeAlias):
            names.add(node.name.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.ImportFrom):
            names.update(a.asname for a in node.names if a.asname == a.name)
    return {name for name in names if not name.startswith("_")}


def stub_all(tree):
    for node in tree.body:
        if isinstance(node, ast.Assign) and [t.id for t in node.targets] == ["__all__"]:
            return ast.literal_eval(node.value)
    return None


@pytest.mark.parametrize("name, module", [("_quillmere", _quillmere), ("quillmere", quillmere)])
def test_stub_names_match_the_module(name, module):
    tree = parse(name)
    stub = public_names(tree)
    # Submodules (quillmere.cli, once imported) are attributes too, but no stub's business.
    assert {n for n, v in vars(module).items()
            if not n.startswith("_") and not isinstance(v, types.ModuleType)} <= stub
    # Names that the module makes on first use (Codec, SortKey) count too.
    assert all(hasattr(module, n) for n in stub)
    assert stub_all(tree) == module.__all__


def stub_parameters(func):
    """(name, kind, default) of a stub function's parameters after self or cls."""
    a = func.args
    positional = ([(arg, P.POSITIONAL_ONLY) for arg in a.posonlyargs]
                  + [(arg, P.POSITIONAL_OR_KEYWORD) for arg in a.args])
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    params = [(arg.arg, kind, default) for (arg, kind), default in zip(positional, defaults)]
    if a.vararg:
        params.append((a.vararg.arg, P.VAR_POSITIONAL, None))
    params += [(arg.arg, P.KEYWORD_ONLY, d) for arg, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        params.append((a.kwarg.arg, P.VAR_KEYWORD, None))
    # A stub's default must be the value itself, not `...`, to be compared.
    return [(name, kind, EMPTY if d is None else ast.literal_eval(d))
            for name, kind, d in params[1:]]


def real_parameters(cls, name):
    """(name, kind, default) of a method's parameters, from its text signature, after self."""
    if name == "__new__":
        return [(p.name, p.kind, p.default) for p in inspect.signature(cls).parameters.values()]
    params = [(p.name, p.kind, p.default)
              for p in inspect.signature(getattr(cls, name)).parameters.values()]
    # A class method comes bound, so without cls; the others still have self.
    return params if isinstance(vars(cls)[name], types.ClassMethodDescriptorType) else params[1:]


def decorators(func):
    return {d.id for d in func.decorator_list if isinstance(d, ast.Name)}


def check_overloads(name, overloads, real):
    """Each overload has the real parameters, and only the real defaults; and every real
    default is there in some overload, so a call that omits it matches one."""
    for func in overloads:
        stub = stub_parameters(func)
        assert [p[:2] for p in stub] == [p[:2] for p in real], name
        for (param, _, default), (_, _, real_default) in zip(stub, real):
            assert default is EMPTY or default == real_default, (name, param)
            assert real_default is not EMPTY or default is EMPTY, (name, param)
    for i, (param, _, real_default) in enumerate(real):
        if real_default is not EMPTY:
            assert any(stub_parameters(f)[i][2] == real_default for f in overloads), (name, param)


@pytest.mark.parametrize("class_name", ["Sorter", "_SortedIterator"])
def test_stub_methods_match_the_text_signatures(class_name, spill_dir):
    real_class = Sorter if class_name == "Sorter" else type(Sorter(tmp_dir=spill_dir).encoded())
    assert real_class.__name__ == class_name
    stub_class = next(node for node in parse("quillmere").body
                      if isinstance(node, ast.ClassDef) and node.name == class_name)
    methods = {}
    for node in stub_class.body:
        if isinstance(node, ast.FunctionDef):
            methods.setdefault(node.name, []).append(node)

    assert methods.keys() == {n for n, v in vars(real_class).items() if callable(v)}
    # final in the stub exactly when the class refuses subclasses.
    subclassable = bool(real_class.__flags__ & (1 << 10))  # Py_TPFLAGS_BASETYPE
    assert ("final" in decorators(stub_class)) == (not subclassable)
    for name, funcs in methods.items():
        real = real_parameters(real_class, name)
        is_class_method = isinstance(vars(real_class)[name], types.ClassMethodDescriptorType)
        assert all(("classmethod" in decorators(f)) == is_class_method for f in funcs), name
        if len(funcs) == 1:
            assert stub_parameters(funcs[0]) == real, name
        else:
            assert all("overload" in decorators(f) for f in funcs), name
            check_overloads(name, funcs, real)


def test_annotation_types_cost_nothing_until_used_and_name_real_keys(spill_dir):
    probe = ("import sys, quillmere\n"
             "print(sorted({'typing', 'quillmere._typing'} & set(sys.modules)))\n"
             "from quillmere import Codec\n"
             "print(Codec.__name__, 'typing' in sys.modules)")
    result = subprocess.run([sys.executable, "-S", "-c", probe], capture_output=True, text=True)
    assert (result.returncode, result.stdout, result.stderr) == (0, "[]\nCodec True\n", "")
    with pytest.raises(AttributeError, match="has no attribute 'Codecs'"):
        quillmere.Codecs

    from quillmere import SortKey

    class Index:
        def __index__(self):
            return 7

    # One value of each kind that the alias names; each must be a key the sorter takes.
    samples = {int: 1, float: 1.5, str: "a", bytes: b"a", type(None): None,
               typing.SupportsIndex: Index(), tuple: (1, ("a",)), list: [None, [b""]]}
    kinds = {typing.get_origin(arg) or arg for arg in typing.get_args(SortKey.__value__)}
    assert kinds == samples.keys()
    with Sorter(tmp_dir=spill_dir) as sorter:
        for value in samples.values():
            sorter.add_encoded(value, b"")
        for not_a_key in (bytearray(), {1}, object()):
            with pytest.raises(TypeError):
                sorter.add_encoded(not_a_key, b"")


GOOD = '''
import io
import os
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import assert_type

import _quillmere
from quillmere import Codec, Sorter, SortKey


@dataclass
class Row:
    name: str
    score: float


class RowCodec:
    def encode(self, row: Row) -> bytes:
        return f"{row.name}\\t{row.score}".encode()

    def decode(self, data: bytes) -> Row:
        name, score = data.decode().split("\\t")
        return Row(name, float(score))


class Count:
    def __index__(self) -> int:
        return 4


def by_score(row: Row) -> SortKey:
    return (-row.score, [row.name])


def sorted_by[T](items: list[T], key: Callable[[T], SortKey], codec: Codec[T]) -> list[T]:
    with Sorter(key, codec=codec, max_bytes=1 << 20, tmp_dir=Path(".")) as sorter:
        assert_type(sorter, Sorter[T])
        return list(sorter.sort(items))


rows = sorted_by([Row("b", 1.0), Row("a", 2.0)], by_score, RowCodec())
assert_type(rows, list[Row])
assert [row.name for row in rows] == ["a", "b"]

numbers = Sorter[int](max_open=Count(), threads=2)
numbers.add(3)
numbers.add_encoded((Count(), "x", None, b"y", 1.5), b"payload")
assert_type(len(numbers), int)
assert_type(next(numbers.sort([1, 2])), int)

# A codec and no key function: the items are their own keys.
class TextCodec:
    def encode(self, text: str, /) -> bytes:
        return text.encode()

    def decode(self, data: bytes, /) -> str:
        return data.decode()

words = Sorter(codec=TextCodec(), tmp_dir=".")
words.add("pear")
assert_type(words, Sorter[str])
chunks = [chunk for chunk in words.encoded()]
assert_type(chunks, list[bytes])
assert chunks == [b"pear"]

out = io.BytesIO()
Sorter[tuple[int, str]]().write_to(out)
with open(os.devnull, "wb") as handle, Sorter[float]() as floats:
    floats.write_to(handle)
same: _quillmere.Sorter[bytes] = Sorter[bytes]()
'''

BAD = '''
import sys
from quillmere import Codecs  # E: attr-defined
from quillmere import Sorter


class Row:
    pass


class RowCodec:
    def encode(self, row: Row) -> bytes:
        return b""

    def decode(self, data: bytes) -> Row:
        return Row()


class EncodeOnly:
    def encode(self, item: int) -> bytes:
        return b""


def as_set(row: Row) -> set[str]:
    return set()


for x in Sorter[int]().sort():
    x.upper()  # E: attr-defined
for chunk in Sorter[str]().encoded():
    chunk + "s"  # E: operator
Sorter[int](codec=EncodeOnly())  # E: call-overload
Sorter(codec=RowCodec())  # E: type-var
Sorter(as_set)  # E: arg-type
Sorter[str](len, codec=RowCodec())  # E: arg-type
Sorter[int]().add("3")  # E: arg-type
Sorter[int]().add_encoded(1, "payload")  # E: arg-type
Sorter[int]().add_encoded({1}, b"payload")  # E: arg-type
Sorter[int]().write_to(sys.stdout)  # E: arg-type
Sorter[int](tmp_dir=b"/tmp")  # E: call-overload
Sorter[int](max_bytes=1.5)  # E: call-overload
'''


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    """Runs mypy in strict mode on a file (and any more targets given), with the
    package and stubs from the source tree."""
    program = shutil.which("mypy")
    assert program, "mypy is missing from the root (tools/root-packages)"
    cache = tmp_path_factory.mktemp("mypy-cache")
    # mypy reads the stubs, not the build; and the sanitizers' runtime and
    # allocator settings, meant for the extension, would slow it down.
    dropped = {"PYTHONPATH", "LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS"}
    env = {k: v for k, v in os.environ.items() if k not in dropped}
    env["MYPYPATH"] = str(PYTHON_DIR)

    def run(path, *more):
        return subprocess.run([program, "--strict", "--no-error-summary", "--cache-dir", str(cache),
                               path.name, *more], cwd=path.parent, env=env, capture_output=True,
                              text=True, timeout=300)
    return run


def test_mypy_accepts_the_package_and_typed_use_that_runs(mypy, tmp_path, monkeypatch):
    path = tmp_path / "good.py"
    path.write_text(GOOD)
    # The whole package too: it ships py.typed, so its own code (the command
    # included) must hold up under --strict for those who check against it.
    result = mypy(path, str(PYTHON_DIR / "quillmere"))
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    # What mypy accepts also works.
    monkeypatch.chdir(tmp_path)
    runpy.run_path(str(path))


def test_mypy_rejects_wrong_use(mypy, tmp_path):
    path = tmp_path / "bad.py"
    path.write_text(BAD)
    result = mypy(path)
    expected = {(n, line.split("# E: ")[1]) for n, line in enumerate(BAD.splitlines(), 1)
                if "# E: " in line}
    found = {(int(m[1]), m[2]) for m in re.finditer(r"^bad\.py:(\d+): error: .*  \[([\w-]+)\]$",
                                                     result.stdout, re.M)}
    assert result.returncode == 1, result.stdout + result.stderr
    assert found == expected, result.stdout
