"""The module's surface: attributes, signatures, the exception type, the class
object's flags and the shared library's exports."""

import importlib
import subprocess
import sys
import weakref

import pytest

import _core

NAMES = ["_scan", "bz2_crc32", "_decompress", "_build_index", "_test", "_IndexedReader", "BadBzip2File",
         "__version__"]


def test_all_lists_the_eight_attributes_in_order_and_the_version():
    assert _core.__all__ == NAMES
    for name in NAMES:
        assert hasattr(_core, name)
    assert _core.__version__ == "0.1.4"
    assert _core.__doc__ == ""


@pytest.mark.parametrize("name, signature", [
    ("_scan", "(data)"),
    ("bz2_crc32", "(data)"),
    ("_decompress", "(data, threads=0, memory_limit=...)"),
    ("_build_index", "(path, threads=0, memory_limit=...)"),
    ("_test", "(path, threads=0, memory_limit=...)"),
])
def test_functions_carry_only_their_text_signature(name, signature):
    function = getattr(_core, name)
    assert function.__text_signature__ == signature
    assert function.__doc__ is None
    assert function.__module__ == "_core"
    assert function.__self__ is _core


@pytest.mark.parametrize("name, signature", [
    ("from_path", "(path, threads=0, memory_limit=..., index_path=None, cache_limit=...)"),
    ("from_bytes", "(data, threads=0, memory_limit=..., index=None, cache_limit=...)"),
    ("read", "($self, size)"),
    ("seek", "($self, offset, whence=0)"),
    ("tell", "($self)"),
    ("index_bytes", "($self)"),
])
def test_reader_members_carry_their_text_signature(name, signature):
    member = getattr(_core._IndexedReader, name)
    assert member.__text_signature__ == signature
    assert member.__doc__ is None


def test_bad_bzip2_file_is_an_oserror_named_in_the_morvane_package():
    error = _core.BadBzip2File
    assert error.__name__ == "BadBzip2File"
    assert error.__module__ == "morvane"
    assert error.__bases__ == (OSError,)
    assert error.__doc__ is None
    assert set(vars(error)) <= {"__module__", "__weakref__", "__dict__", "__doc__"}


def test_the_class_is_a_plain_gc_tracked_mutable_type():
    cls = _core._IndexedReader
    assert repr(cls) == "<class 'builtins._IndexedReader'>"
    assert (cls.__name__, cls.__qualname__, cls.__module__) == ("_IndexedReader", "_IndexedReader", "builtins")
    assert cls.__bases__ == (object,)
    assert cls.__doc__ is None
    assert isinstance(cls.__dict__["from_path"], staticmethod)
    assert cls.__dict__["size"].__doc__ is None
    have_gc, immutable, basetype = 1 << 14, 1 << 8, 1 << 10
    assert cls.__flags__ & have_gc
    assert not cls.__flags__ & immutable
    assert not cls.__flags__ & basetype
    cls.extra_attribute = 1  # a mutable type accepts new attributes
    del cls.extra_attribute


def test_the_class_cannot_be_called_or_subclassed(samples):
    with pytest.raises(TypeError):
        _core._IndexedReader()
    with pytest.raises(TypeError):
        type("Derived", (_core._IndexedReader,), {})
    reader = _core._IndexedReader.from_bytes(samples["small"].compressed)
    assert not hasattr(reader, "__dict__")
    with pytest.raises(AttributeError):
        reader.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(reader)


def test_types_are_shared_by_every_module_object_of_the_process():
    first = sys.modules.pop("_core")
    try:
        second = importlib.import_module("_core")
        assert second is not first
        assert second.BadBzip2File is first.BadBzip2File
        assert second._IndexedReader is first._IndexedReader
        assert second.__all__ == NAMES
    finally:
        sys.modules["_core"] = first


def test_the_only_exported_symbol_is_the_entry_point(nm_tool):
    listing = subprocess.run([nm_tool, "-D", "--defined-only", _core.__file__], stdout=subprocess.PIPE,
                             check=True, text=True).stdout
    symbols = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert symbols == ["PyInit__core"]
