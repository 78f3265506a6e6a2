"""Import-and-decode smoke test for a _core built against another CPython
(for example 3.13, where the module declares Py_MOD_GIL_NOT_USED), runnable
without pytest: python3.13 tests/python/smoke.py <folder holding _core>."""

import bz2
import os
import sys

sys.path.insert(0, sys.argv[1])
sys.path.insert(1, os.path.join(os.path.dirname(__file__), "..", "support"))
import _core  # noqa: E402
from shared import HEADER_ERROR  # noqa: E402

data = b"".join(b"line %d of the smoke test\n" % i for i in range(200_000))
compressed = bz2.compress(data, 1) + bz2.compress(data[:1000], 9)
expected = data + data[:1000]
assert _core._decompress(compressed, threads=1) == expected
assert _core._decompress(compressed, threads=2) == expected
reader = _core._IndexedReader.from_bytes(compressed)
reader.seek(123_456)
assert reader.read(500_000) == expected[123_456:623_456]
assert _core._IndexedReader.from_bytes(compressed, index=reader.index_bytes()).size == len(expected)
try:
    _core._decompress(compressed, threads=-1)
except OverflowError as error:
    assert error.__notes__ == ["while processing 'threads'"]
else:
    raise AssertionError("threads=-1 was accepted")
try:
    _core._decompress(b"", threads=2)
except _core.BadBzip2File as error:
    assert str(error) == HEADER_ERROR
else:
    raise AssertionError("an empty input was accepted")
print("smoke ok on Python", sys.version.split()[0])
