"""The module's surface: attributes, signatures, the exception type, the class
object's flags and the shared library's exports."""

import importlib
import subprocess
import sys
import weakref

import pytest

import _core
from shared import VERSION

NAMES = ["_scan", "bz2_crc32", "_decompress", "_build_index", "_test", "_IndexedReader", "BadBzip2File",
         "__version__"]
LIMITS = "threads=0, memory_limit=..."


def test_all_lists_the_eight_attributes_in_order_and_the_version():
    assert _core.__all__ == NAMES and all(hasattr(_core, name) for name in NAMES)
    assert (_core.__version__, _core.__doc__) == (VERSION, "")


@pytest.mark.parametrize("owner, name, signature", [
    (_core, "_scan", "(data)"), (_core, "bz2_crc32", "(data)"), (_core, "_decompress", f"(data, {LIMITS})"),
    (_core, "_build_index", f"(path, {LIMITS})"), (_core, "_test", f"(path, {LIMITS})"),
    (_core._IndexedReader, "from_path", f"(path, {LIMITS}, index_path=None, cache_limit=...)"),
    (_core._IndexedReader, "from_bytes", f"(data, {LIMITS}, index=None, cache_limit=...)"),
    (_core._IndexedReader, "read", "($self, size)"), (_core._IndexedReader, "seek", "($self, offset, whence=0)"),
    (_core._IndexedReader, "tell", "($self)"), (_core._IndexedReader, "index_bytes", "($self)"),
])
def test_functions_carry_only_their_text_signature(owner, name, signature):
    function = getattr(owner, name)
    assert (function.__text_signature__, function.__doc__) == (signature, None)
    if owner is _core:
        assert function.__module__ == "_core" and function.__self__ is _core


def test_bad_bzip2_file_is_an_oserror_named_in_the_morvane_package():
    error = _core.BadBzip2File
    assert (error.__name__, error.__module__, error.__bases__, error.__doc__) == (
        "BadBzip2File", "morvane", (OSError,), None)
    assert set(vars(error)) <= {"__module__", "__weakref__", "__dict__", "__doc__"}


def test_the_class_is_a_plain_gc_tracked_mutable_final_type(samples):
    cls = _core._IndexedReader
    assert repr(cls) == "<class 'builtins._IndexedReader'>"
    assert (cls.__qualname__, cls.__module__, cls.__bases__, cls.__doc__) == ("_IndexedReader", "builtins",
                                                                              (object,), None)
    assert isinstance(cls.__dict__["from_path"], staticmethod) and cls.__dict__["size"].__doc__ is None
    have_gc, immutable, basetype = 1 << 14, 1 << 8, 1 << 10
    assert cls.__flags__ & (have_gc | immutable | basetype) == have_gc
    cls.extra_attribute = 1  # a mutable type accepts new attributes
    del cls.extra_attribute
    reader = cls.from_bytes(samples["small"].compressed)
    for refused in (cls, lambda: type("Derived", (cls,), {}), lambda: weakref.ref(reader)):
        with pytest.raises(TypeError):
            refused()
    with pytest.raises(AttributeError):
        reader.anything = 1


def test_types_are_shared_by_every_module_object_of_the_process():
    first = sys.modules.pop("_core")
    try:
        second = importlib.import_module("_core")
        assert second is not first and second.__all__ == NAMES
        assert (second.BadBzip2File, second._IndexedReader) == (first.BadBzip2File, first._IndexedReader)
    finally:
        sys.modules["_core"] = first


def test_the_only_exported_symbol_is_the_entry_point(nm_tool):
    listing = subprocess.run([nm_tool, "-D", "--defined-only", _core.__file__], stdout=subprocess.PIPE,
                             check=True, text=True).stdout
    assert [line.split()[-1] for line in listing.splitlines() if line.strip()] == ["PyInit__core"]
