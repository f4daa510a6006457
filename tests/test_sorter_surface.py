"""The module and the Sorter class as Python sees them: names, signatures, docstrings,
argument binding, the constructor's checks in their order, len(), the with block, and the
conversion of the engine's errors into exceptions."""

import ast
import contextlib
import errno
import gc
import importlib.util
import inspect
import os
import pathlib
import subprocess
import sys
import sysconfig
import tempfile
import types

import pytest

import _tessarune
import tessarune
from tessarune import Sorter


@contextlib.contextmanager
def raises_with(exc_type, message, note=None):
    """Checks the exception's exact type, its exact message, and its notes (none, or one)."""
    with pytest.raises(exc_type) as info:
        yield info
    assert type(info.value) is exc_type
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", []) == ([note] if note else [])


# --- the module and the class ----------------------------------------------------------


def test_module_exports_only_the_sorter():
    assert _tessarune.__all__ == ["Sorter"]
    assert _tessarune.Sorter is tessarune.Sorter
    assert _tessarune.__doc__ == ""


def test_each_module_object_has_its_own_types():
    spec = importlib.util.find_spec("_tessarune")
    other = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(other)
    assert other.Sorter is not _tessarune.Sorter
    mine, theirs = _tessarune.Sorter(), other.Sorter()
    for s in (mine, theirs):
        s.add(2)
        s.add(1)
    assert type(theirs.stats()) is not type(mine.stats())
    assert theirs.stats().items == 2
    it = theirs.sort()
    assert type(it) is not type(mine.sort())
    assert list(it) == [1, 2]


def test_sorter_presents_itself_under_the_package_name():
    assert Sorter.__module__ == "tessarune"
    assert Sorter.__qualname__ == "Sorter"
    assert Sorter.__name__ == "Sorter"
    assert repr(Sorter) == "<class 'tessarune.Sorter'>"


def test_constructor_signature():
    expected = "(key=None, *, reverse=False, codec=None, max_bytes=268435456, tmp_dir=None, max_open=64, threads=1)"
    assert Sorter.__text_signature__ == expected
    sig = inspect.signature(Sorter)
    assert str(sig) == expected
    kinds = {name: p.kind for name, p in sig.parameters.items()}
    assert kinds["key"] is inspect.Parameter.POSITIONAL_OR_KEYWORD
    for name in ("reverse", "codec", "max_bytes", "tmp_dir", "max_open", "threads"):
        assert kinds[name] is inspect.Parameter.KEYWORD_ONLY


@pytest.mark.parametrize(
    "method, signature",
    [
        ("add", "(self, item, /)"),
        ("add_encoded", "(self, key, payload, /)"),
        ("sort", "(self, items=None, /)"),
        # "$self" in a text signature makes self positional-only
        ("encoded", "(self, /)"),
        ("write_to", "(self, /, handle)"),
        ("close", "(self, /)"),
        ("__enter__", "(self, /)"),
        ("__exit__", "(self, /, *_exc_info)"),
    ],
)
def test_method_signatures(method, signature):
    assert str(inspect.signature(getattr(Sorter, method))) == signature


def test_method_table_order():
    names = [n for n in vars(Sorter) if not n.startswith("__") or n in
             ("__enter__", "__exit__", "__class_getitem__")]
    assert names == ["add", "add_encoded", "sort", "encoded", "write_to", "close",
                     "__enter__", "__exit__", "__class_getitem__",
                     "stats", "_add_lines", "_write_lines", "_add_keyed", "_add_framed"]


def stub_docstrings():
    """The docstrings of the type stub: the class's, and each method's, by name."""
    tree = ast.parse((pathlib.Path(tessarune.__file__).parent / "__init__.pyi").read_text())
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Sorter")
    methods = {f.name: ast.get_docstring(f) for f in cls.body if isinstance(f, ast.FunctionDef)}
    return ast.get_docstring(cls), methods


def test_the_stub_says_what_the_runtime_says():
    # The docstrings live once, in the extension; the stub repeats them for editors and is
    # held to the same text here.
    class_doc, methods = stub_docstrings()
    assert class_doc == inspect.cleandoc(Sorter.__doc__)
    public = ["add", "add_encoded", "sort", "encoded", "write_to", "close"]
    for name in public:
        assert methods.get(name) is not None, f"the stub has no docstring for {name}"
    for name, doc in methods.items():
        if doc is not None:
            assert doc == inspect.cleandoc(getattr(Sorter, name).__doc__), name


@pytest.mark.parametrize(
    "name, signature",
    [
        ("Sorter", "(key=None, *, reverse=False, codec=None, max_bytes=268435456, tmp_dir=None, max_open=64, threads=1)"),
        ("add", "($self, item, /)"),
        ("add_encoded", "($self, key, payload, /)"),
        ("sort", "($self, items=None, /)"),
        ("encoded", "($self)"),
        ("write_to", "($self, handle)"),
        ("close", "($self)"),
        ("__enter__", "($self)"),
        ("__exit__", "($self, *_exc_info)"),
        ("__class_getitem__", "($cls, key)"),
    ],
)
def test_signatures_and_docstrings(name, signature):
    obj = Sorter if name == "Sorter" else getattr(Sorter, name)
    assert obj.__text_signature__ == signature
    if name in ("__enter__", "__exit__", "__class_getitem__"):
        assert obj.__doc__ is None  # a signature alone
    else:
        assert obj.__doc__ and obj.__doc__ == obj.__doc__.strip()


def test_sorter_cannot_be_subclassed():
    with pytest.raises(TypeError):
        class Sub(Sorter):
            pass


def test_sorter_has_no_dict_and_no_weak_references():
    s = Sorter()
    with pytest.raises(AttributeError):
        s.anything = 1
    with pytest.raises(TypeError):
        import weakref

        weakref.ref(s)


def test_sorter_cannot_be_pickled_or_copied():
    import copy
    import pickle

    s = Sorter()
    s.add(1)
    with pytest.raises(TypeError):
        pickle.dumps(s)
    with pytest.raises(TypeError):
        copy.copy(s)


def test_iterator_type_is_not_instantiable_nor_a_module_attribute():
    it = Sorter().sort()
    it_type = type(it)
    assert it_type.__module__ == "tessarune"
    assert it_type.__qualname__ == "_SortedIterator"
    assert it_type.__doc__ == "The items of a sorter, merged in order as they are read."
    assert iter(it) is it
    with pytest.raises(TypeError):
        it_type()
    with pytest.raises(TypeError):
        class Sub(it_type):
            pass
    assert not hasattr(_tessarune, "_SortedIterator")
    # The same type serves every iterator, decoding or not.
    assert type(Sorter().encoded()) is it_type


def test_class_getitem_makes_a_generic_alias():
    alias = Sorter[int]
    assert isinstance(alias, types.GenericAlias)
    assert alias.__origin__ is Sorter
    assert alias.__args__ == (int,)
    assert Sorter.__class_getitem__(key=str).__args__ == (str,)


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="only a free-threaded interpreter can show that the GIL stays off")
def test_importing_keeps_the_gil_disabled():
    import subprocess

    out = subprocess.run([sys.executable, "-c",
                          "import sys, _tessarune; print(sys._is_gil_enabled())"],
                         capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


def test_a_subinterpreter_sorts_with_its_own_module(tmp_path):
    # Each interpreter gets its own module state (types and error classes): sorting and an
    # engine error work there, and the main interpreter's module still works once it is gone.
    interpreters = pytest.importorskip("concurrent.interpreters")
    interp = interpreters.create()
    try:
        interp.exec(f"""
import sys
sys.path[:0] = {sys.path!r}
import _tessarune
s = _tessarune.Sorter(max_bytes=1 << 16, tmp_dir={str(tmp_path)!r})
for i in range(30000):
    key = ((i * 7919) % 30000).to_bytes(4, "big")
    s.add_encoded(key, key)
assert s.stats().runs_spilled > 1
assert list(s.encoded()) == [i.to_bytes(4, "big") for i in range(30000)]
try:
    _tessarune.Sorter(tmp_dir={str(tmp_path / "gone")!r})
except FileNotFoundError as e:
    assert type(e).__name__ == "FileNotFoundError" and e.errno == 2 and e.filename
else:
    raise AssertionError("no error")
""")
    finally:
        interp.close()
    with pytest.raises(FileNotFoundError) as info:
        Sorter(tmp_dir=str(tmp_path / "gone"))
    assert type(info.value).__module__ == "tessarune" and info.value.errno == 2


# --- argument binding -------------------------------------------------------------------

BINDING_CASES = [
    (lambda: Sorter(1, 2),
     "Sorter.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: Sorter(None, codec=None, bogus=1),
     "Sorter.__new__() got an unexpected keyword argument 'bogus'"),
    (lambda: Sorter(len, key=len),
     "Sorter.__new__() got multiple values for argument 'key'"),
    (lambda: Sorter(None, None),
     "Sorter.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda s: s.add(), "Sorter.add() missing 1 required positional argument: 'item'"),
    (lambda s: s.add(1, 2), "Sorter.add() takes 1 positional arguments but 2 were given"),
    (lambda s: s.add(item=1),
     "Sorter.add() got some positional-only arguments passed as keyword arguments: 'item'"),
    (lambda s: s.add(1, other=2), "Sorter.add() got an unexpected keyword argument 'other'"),
    (lambda s: s.add_encoded(),
     "Sorter.add_encoded() missing 2 required positional arguments: 'key' and 'payload'"),
    (lambda s: s.add_encoded(1),
     "Sorter.add_encoded() missing 1 required positional argument: 'payload'"),
    (lambda s: s.add_encoded(1, b"", 3),
     "Sorter.add_encoded() takes 2 positional arguments but 3 were given"),
    (lambda s: s.add_encoded(key=1, payload=b""),
     "Sorter.add_encoded() got some positional-only arguments passed as keyword arguments: "
     "'key' and 'payload'"),
    (lambda s: s.sort([], []), "Sorter.sort() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda s: s.sort(items=[]),
     "Sorter.sort() got some positional-only arguments passed as keyword arguments: 'items'"),
    (lambda s: s.write_to(), "Sorter.write_to() missing 1 required positional argument: 'handle'"),
    (lambda s: s.write_to(None, handle=None),
     "Sorter.write_to() got multiple values for argument 'handle'"),
    (lambda s: s.write_to(handel=None),
     "Sorter.write_to() got an unexpected keyword argument 'handel'"),
    (lambda s: s.__exit__(None, exc=None),
     "Sorter.__exit__() got an unexpected keyword argument 'exc'"),
    (lambda s: Sorter.__class_getitem__(),
     "Sorter.__class_getitem__() missing 1 required positional argument: 'key'"),
    (lambda s: Sorter.__class_getitem__(int, str),
     "Sorter.__class_getitem__() takes 1 positional arguments but 2 were given"),
]


@pytest.mark.parametrize("call, message", BINDING_CASES)
def test_binding_errors(call, message):
    s = Sorter()
    with raises_with(TypeError, message):
        call(s) if call.__code__.co_argcount else call()
    # A refused call changes nothing.
    assert len(s) == 0
    s.add(1)
    assert list(s.sort()) == [1]


def test_binding_uses_one_positional_argument_as_the_singular():
    with raises_with(TypeError, "Sorter.add() takes 1 positional arguments but 3 were given"):
        Sorter().add(1, 2, 3)
    with raises_with(TypeError, "Sorter.sort() takes from 0 to 1 positional arguments but 3 were given"):
        Sorter().sort(1, 2, 3)


def test_no_argument_methods_refuse_arguments():
    s = Sorter()
    for method in (s.encoded, s.close, s.__enter__):
        with pytest.raises(TypeError):
            method(1)


def test_write_to_accepts_its_handle_by_keyword():
    import io

    s = Sorter()
    s.add_encoded(1, b"b")
    s.add_encoded(0, b"a")
    out = io.BytesIO()
    s.write_to(handle=out)
    assert out.getvalue() == b"ab"


def test_exit_takes_any_number_of_positional_arguments():
    for args in ((), (None,), (None, None, None), tuple(range(7))):
        s = Sorter()
        assert s.__exit__(*args) is None
        with raises_with(ValueError, "I/O operation on a closed sorter"):
            s.add(1)


# --- the constructor --------------------------------------------------------------------


def test_defaults_and_explicit_nones_make_working_sorters(tmp_path):
    made = [Sorter(), Sorter(None), Sorter(key=None, codec=None, tmp_dir=None),
            Sorter(lambda x: -x, max_bytes=2, max_open=2, threads=1, tmp_dir=tmp_path)]
    for s in made:
        for x in (3, 1, 2):
            s.add(x)
    assert [list(s.sort()) for s in made] == [[1, 2, 3]] * 3 + [[3, 2, 1]]


def test_numbers_accept_anything_with_index(tmp_path):
    np = pytest.importorskip("numpy")

    class Two:
        def __index__(self):
            return 2

    s = Sorter(max_bytes=np.int64(1 << 20), max_open=Two(), threads=True, tmp_dir=str(tmp_path))
    s.add("x")
    assert list(s.sort()) == ["x"]


def test_tmp_dir_accepts_path_like_objects(tmp_path):
    class Where:
        def __fspath__(self):
            return str(tmp_path)

    for where in (tmp_path, pathlib.PurePath(tmp_path), Where()):
        s = Sorter(max_bytes=64, tmp_dir=where)
        for i in range(50):
            s.add(i)
        assert any(p.name.startswith("tessarune-") for p in tmp_path.iterdir())
        assert list(s.sort()) == list(range(50))
        s.close()
        assert list(tmp_path.iterdir()) == []


class FsPathRaises:
    class Failure(Exception):
        pass

    def __fspath__(self):
        raise self.Failure("no path today")


class FsPathBytes:
    def __fspath__(self):
        return b"/tmp"


CONVERSION_CASES = [
    (dict(max_bytes=None), TypeError, "'NoneType' object cannot be interpreted as an integer", "max_bytes"),
    (dict(max_bytes=1.0), TypeError, "'float' object cannot be interpreted as an integer", "max_bytes"),
    (dict(max_bytes="x"), TypeError, "'str' object cannot be interpreted as an integer", "max_bytes"),
    (dict(max_bytes=2**63), OverflowError, None, "max_bytes"),
    (dict(max_bytes=-(2**63) - 1), OverflowError, None, "max_bytes"),
    (dict(tmp_dir=b"/tmp"), TypeError, "'bytes' object is not an instance of 'str'", "tmp_dir"),
    (dict(tmp_dir=FsPathBytes()), TypeError, "'bytes' object is not an instance of 'str'", "tmp_dir"),
    (dict(tmp_dir=5), TypeError, "expected str, bytes or os.PathLike object, not int", "tmp_dir"),
    (dict(tmp_dir=FsPathRaises()), FsPathRaises.Failure, "no path today", "tmp_dir"),
    (dict(tmp_dir="/tmp/a\0b"), ValueError, "embedded null byte", "tmp_dir"),
    (dict(max_open=None), TypeError, "'NoneType' object cannot be interpreted as an integer", "max_open"),
    (dict(max_open=2**64), OverflowError, None, "max_open"),
    (dict(threads=None), TypeError, "'NoneType' object cannot be interpreted as an integer", "threads"),
    (dict(threads=1.5), TypeError, "'float' object cannot be interpreted as an integer", "threads"),
]


@pytest.mark.parametrize("kwargs, exc_type, message, name", CONVERSION_CASES)
def test_conversion_failures_carry_a_note(kwargs, exc_type, message, name):
    with pytest.raises(exc_type) as info:
        Sorter(**kwargs)
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{name}'"]


RANGE_CASES = [
    (dict(max_bytes=1), "max_bytes must be at least 2, not 1"),
    (dict(max_bytes=-(2**63)), f"max_bytes must be at least 2, not {-(2**63)}"),
    (dict(max_open=-5), "max_open must be at least 2, not -5"),
    (dict(max_open=1), "max_open must be at least 2, not 1"),
    (dict(threads=0), "threads must be at least 1, not 0"),
    (dict(threads=-3), "threads must be at least 1, not -3"),
    # No pool that large could start; asking must not end in an allocation failure.
    (dict(threads=1025), "threads must be at most 1024, not 1025"),
    (dict(threads=2**61), f"threads must be at most 1024, not {2**61}"),
]


@pytest.mark.parametrize("kwargs, message", RANGE_CASES)
def test_range_checks(kwargs, message):
    with raises_with(ValueError, message):
        Sorter(**kwargs)


class NoMethods:
    pass


class EncodeRaises:
    @property
    def encode(self):
        raise KeyError("encode")

    def decode(self, data):
        return data


class DecodeNotCallable:
    def encode(self, item):
        return b""

    decode = 5


@pytest.mark.parametrize(
    "codec, name",
    [(5, "int"), (NoMethods(), "NoMethods"), (EncodeRaises(), "EncodeRaises"),
     (DecodeNotCallable(), "DecodeNotCallable"), ("text", "str")],
)
def test_codec_needs_callable_encode_and_decode(codec, name):
    with raises_with(TypeError, f"a codec must have encode and decode methods, unlike {name}"):
        Sorter(codec=codec)


def test_key_must_be_callable():
    with raises_with(TypeError, "key must be a function returning a sort key, not int"):
        Sorter(key=5)
    with raises_with(TypeError, "key must be a function returning a sort key, not list"):
        Sorter([])


def test_type_names_follow_dunder_name():
    class Original:
        pass

    Original.__name__ = "Renamed"
    with raises_with(TypeError, "key must be a function returning a sort key, not Renamed"):
        Sorter(Original())


@pytest.mark.parametrize(
    "kwargs, exc_type, text",
    [
        # conversions come first, in the order max_bytes, tmp_dir, max_open, threads
        (dict(key=5, max_bytes="x"), TypeError, "max_bytes"),
        (dict(key=5, max_open="x", tmp_dir=5), TypeError, "tmp_dir"),
        (dict(key=5, threads="x", max_open="x"), TypeError, "max_open"),
        (dict(key=5, codec=5, threads="x", max_bytes=1), TypeError, "threads"),
        # then the key function, then the codec
        (dict(key=5, codec=5, max_bytes=1), TypeError, "key must be"),
        (dict(codec=5, max_bytes=1, tmp_dir="/nonexistent"), TypeError, "a codec must"),
        # then the ranges, in the order max_bytes, max_open, threads
        (dict(max_bytes=1, max_open=1, threads=0), ValueError, "max_bytes must"),
        (dict(max_open=1, threads=0), ValueError, "max_open must"),
        # and the directory only after them all
        (dict(threads=0, tmp_dir="/nonexistent/dir"), ValueError, "threads must"),
    ],
)
def test_constructor_checks_in_order(kwargs, exc_type, text):
    with pytest.raises(exc_type) as info:
        Sorter(**kwargs)
    notes = getattr(info.value, "__notes__", [])
    assert text in str(info.value) or notes == [f"while processing '{text}'"]


def test_pickle_import_failure_propagates_after_the_key_check(monkeypatch):
    monkeypatch.setitem(sys.modules, "pickle", None)
    with pytest.raises(TypeError, match="^key must be"):
        Sorter(key=5)
    with pytest.raises(ImportError) as info:
        Sorter(max_bytes=1)
    assert not getattr(info.value, "__notes__", None)
    # A codec of one's own does not need pickle.
    Sorter(codec=PassThrough())


class PassThrough:
    def encode(self, item):
        return item

    def decode(self, data):
        return data


def test_gettempdir_is_asked_after_the_codec_and_before_the_ranges(monkeypatch):
    import tempfile

    class Refused(Exception):
        pass

    calls = []

    def gettempdir():
        calls.append(1)
        raise Refused("no temporary directory")

    monkeypatch.setattr(tempfile, "gettempdir", gettempdir)
    with pytest.raises(TypeError, match="^a codec must"):
        Sorter(codec=5)
    assert calls == []
    with pytest.raises(Refused) as info:
        Sorter(max_bytes=1)
    assert not getattr(info.value, "__notes__", None)
    assert calls == [1]
    # An explicit directory never asks.
    Sorter(tmp_dir=os.getcwd())
    assert calls == [1]


def test_gettempdir_result_is_converted_without_a_note(monkeypatch, tmp_path):
    import tempfile

    monkeypatch.setattr(tempfile, "gettempdir", lambda: os.fsencode(tmp_path))
    with raises_with(TypeError, "'bytes' object is not an instance of 'str'"):
        Sorter()
    monkeypatch.setattr(tempfile, "gettempdir", lambda: tmp_path)
    s = Sorter(max_bytes=64)
    for i in range(40):
        s.add(i)
    assert [p.name[:10] for p in tmp_path.iterdir()] == ["tessarune-"]
    s.close()


def test_failed_construction_keeps_no_references():
    def key(x):
        return x

    codec = PassThrough()
    before = sys.getrefcount(key), sys.getrefcount(codec)
    for kwargs in (dict(max_bytes=1), dict(threads=0), dict(tmp_dir="/nonexistent/x"),
                   dict(max_open="x")):
        with pytest.raises((ValueError, TypeError, OSError)):
            Sorter(key, codec=codec, **kwargs)
    assert (sys.getrefcount(key), sys.getrefcount(codec)) == before
    s = Sorter(key, codec=codec)
    assert sys.getrefcount(key) == before[0] + 1
    del s
    gc.collect()
    assert (sys.getrefcount(key), sys.getrefcount(codec)) == before


# --- errors of the engine ---------------------------------------------------------------


def test_missing_tmp_dir_is_file_not_found(tmp_path):
    missing = str(tmp_path / "missing")
    with pytest.raises(FileNotFoundError) as info:
        Sorter(tmp_dir=missing)
    e = info.value
    assert isinstance(e, FileNotFoundError)
    assert str(e) == missing + ": No such file or directory (os error 2)"
    assert (e.errno, e.strerror, e.filename) == (errno.ENOENT, os.strerror(errno.ENOENT), missing)
    assert e.args == (errno.ENOENT, os.strerror(errno.ENOENT))


def test_a_relative_tmp_dir_is_the_one_current_at_construction(tmp_path, monkeypatch):
    for where in ("then", "later"):
        (tmp_path / where / "spill").mkdir(parents=True)
    monkeypatch.chdir(tmp_path / "then")
    s = Sorter(max_bytes=64 << 10, tmp_dir="spill")
    monkeypatch.chdir(tmp_path / "later")
    for i in range(10_000):
        s.add(i)
    assert len(os.listdir(tmp_path / "then" / "spill")) == 1
    assert os.listdir(tmp_path / "later" / "spill") == []
    assert list(s.sort()) == list(range(10_000))


def test_tmp_dir_that_is_a_file_is_not_a_directory(tmp_path):
    f = tmp_path / "file"
    f.write_bytes(b"")
    with pytest.raises(NotADirectoryError) as info:
        Sorter(tmp_dir=f)
    assert str(info.value) == f"{f} is not a directory"
    assert [p.name for p in tmp_path.iterdir()] == ["file"]


SPILL_DIR_OUT_OF_DESCRIPTORS = """
import os, sys
from tessarune import Sorter
s = Sorter(max_bytes=64 << 10, tmp_dir=sys.argv[1])
held = []
try:
    while True:
        held.append(os.open("/dev/null", os.O_RDONLY))
except OSError:
    pass
try:
    for i in range(100_000):
        s.add(i)
except OSError as e:
    print(e.errno, e.filename)
"""


def test_every_spill_directory_error_carries_errno_and_filename(tmp_path):
    def failure(make, fill=False):
        with pytest.raises(OSError) as info:
            s = make()
            for i in range(100_000 if fill else 0):
                s.add(i)
        return info.value.errno, info.value.filename

    f = tmp_path / "file"
    f.write_bytes(b"")
    assert failure(lambda: Sorter(tmp_dir=f)) == (errno.ENOTDIR, str(f))
    gone = tmp_path / "gone"
    gone.mkdir()

    def removed_after_construction():
        s = Sorter(max_bytes=64 << 10, tmp_dir=gone)
        gone.rmdir()
        return s

    assert failure(removed_after_construction, fill=True) == (errno.ENOENT, str(gone))
    for system_dir in ("/proc", "/sys"):
        if os.path.isdir(system_dir):
            code, filename = failure(lambda: Sorter(tmp_dir=system_dir))
            assert code in (errno.ENOENT, errno.EPERM, errno.EACCES, errno.EROFS)
            assert filename == system_dir
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        return  # the sanitizer's runtime needs descriptors of its own to report anything
    done = subprocess.run([sys.executable, "-c", SPILL_DIR_OUT_OF_DESCRIPTORS, str(tmp_path)],
                          capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert done.stdout.split() == [str(errno.EMFILE), str(tmp_path)], done.stderr


def test_tmp_dir_path_keeps_undecodable_bytes_in_the_message(tmp_path):
    odd = os.fsdecode(os.fsencode(str(tmp_path)) + b"/\xff-missing")
    with pytest.raises(FileNotFoundError) as info:
        Sorter(tmp_dir=odd)
    assert str(info.value).startswith(odd + ": ")


def test_unwritable_tmp_dir_is_permission_error():
    # Root may write anywhere, so as root the check runs in a child that is not.
    locked = tempfile.mkdtemp()
    os.chmod(locked, 0o555)
    script = ("import sys\nfrom tessarune import Sorter\n"
              "try:\n    Sorter(tmp_dir=sys.argv[1])\n"
              "except OSError as e:\n    print(type(e).__name__)\n    print(e)\n")
    try:
        if os.geteuid() == 0:
            def become_nobody():
                os.setgid(65534)
                os.setuid(65534)

            done = subprocess.run([sys.executable, "-c", script, locked], capture_output=True,
                                  text=True, cwd="/", preexec_fn=become_nobody, timeout=60,
                                  env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
            assert done.returncode == 0, done.stderr
            kind, message = done.stdout.splitlines()
        else:
            with pytest.raises(OSError) as info:
                Sorter(tmp_dir=locked)
            kind, message = type(info.value).__name__, str(info.value)
        assert kind == "PermissionError"
        assert message.startswith(locked + ": ")
    finally:
        os.chmod(locked, 0o755)
        os.rmdir(locked)


def test_construction_leaves_no_directory_behind(tmp_path):
    s = Sorter(tmp_dir=tmp_path)
    assert list(tmp_path.iterdir()) == []
    s.add(1)
    del s
    assert list(tmp_path.iterdir()) == []


def test_threads_make_a_named_pool_that_ends_with_the_sorter():
    def workers():
        names = []
        for task in pathlib.Path("/proc/self/task").iterdir():
            try:
                names.append((task / "comm").read_text().strip())
            except FileNotFoundError:
                pass
        return names.count("tessarune-sort-")

    if not pathlib.Path("/proc/self/task").exists():
        pytest.skip("needs /proc")
    base = workers()
    s = Sorter(threads=3)
    assert workers() == base + 3
    s.close()
    assert workers() == base
    t = Sorter(threads=2)
    assert workers() == base + 2
    del t
    gc.collect()
    assert workers() == base


# --- len() and the with block -----------------------------------------------------------


def test_len_counts_accepted_items_only():
    s = Sorter()
    assert len(s) == 0
    for x in (1, "a", (2, 3)):
        s.add(x)
    with pytest.raises(TypeError):
        s.add({})
    assert len(s) == 3
    s.close()
    assert len(s) == 3


def test_with_block_binds_the_sorter_and_closes_it():
    with Sorter() as s:
        assert type(s) is Sorter
        s.add(1)
    with raises_with(ValueError, "I/O operation on a closed sorter"):
        s.add(2)
    assert len(s) == 1


def test_with_block_closes_and_lets_the_exception_through(tmp_path):
    class Boom(Exception):
        pass

    with pytest.raises(Boom):
        with Sorter(max_bytes=64, tmp_dir=tmp_path) as s:
            for i in range(40):
                s.add(i)
            assert list(tmp_path.iterdir())
            raise Boom()
    assert list(tmp_path.iterdir()) == []
    with raises_with(ValueError, "I/O operation on a closed sorter"):
        s.sort()


def test_enter_returns_the_same_object_each_time():
    s = Sorter()
    assert s.__enter__() is s
    assert s.__enter__() is s
    s.close()
    assert s.__enter__() is s
