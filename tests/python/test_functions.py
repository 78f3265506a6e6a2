"""The five functions: results against Python's bz2, argument handling and
how library errors surface."""

import bz2
import os

import pytest

import _core
from conftest import raises, run_script
import index_image
from shared import HEADER_ERROR, INDEX_MAGIC, LIMIT_ERROR, MIN_LIMIT, crafted

CRC_ERROR = "bzip2 decode error at bit 32: bzip2 CRC mismatch"
FILE_FUNCTIONS = pytest.mark.parametrize("function", [_core._test, _core._build_index])


def index_of(value):
    """An integer anyone can supply through __index__."""
    return type("Index", (), {"__index__": lambda self: value})()


def with_bad_block_crc(compressed):
    """The stored CRC of the first block (the 32 bits after its magic) changed."""
    changed = bytearray(compressed)
    changed[10] ^= 0x01
    return bytes(changed)


# --- _scan and bz2_crc32 ----------------------------------------------------


@pytest.mark.parametrize("data", [b"", b"BZh", b"BZh0", b"BZhA", b"BZx9", b"xBZh9"])
def test_scan_refuses_a_missing_header_as_value_error(data):
    assert str(raises(ValueError, _core._scan, data)) == HEADER_ERROR


def test_scan_reports_streams_blocks_and_ends_in_order(samples):
    assert _core._scan(b"BZh9") == ([(0, 9)], [], [])
    sample = samples["small"]
    streams, blocks, ends = _core._scan(sample.compressed)
    assert streams[0] == (0, 9)
    bit, crc, randomized, orig_ptr = blocks[0]
    assert (bit, crc, randomized) == (32, _core.bz2_crc32(sample.data), False)
    assert 0 <= orig_ptr < len(sample.data)
    assert ends[-1][1] == crc  # one block: the combined stream CRC is the block's CRC

    parts = [bz2.compress(bytes([65 + i]) * 1000 * (i + 1), i + 1) for i in range(4)]
    streams, blocks, ends = _core._scan(b"".join(parts))
    offsets = [sum(len(p) for p in parts[:i]) for i in range(4)]
    for i, offset in enumerate(offsets):
        assert (offset, i + 1) in streams and offset * 8 + 32 in [b[0] for b in blocks]
    assert streams == sorted(streams) and blocks == sorted(blocks) and ends == sorted(ends)
    assert len(ends) >= 4


@pytest.mark.parametrize("function", [_core._scan, _core.bz2_crc32])
def test_scan_and_crc_take_only_bytes(function):
    assert raises(TypeError, function, bytearray(b"BZh9")).__notes__ == ["while processing 'data'"]
    raises(TypeError, function, memoryview(b"BZh9"))


def reference_crc(data):
    """CRC-32/BZIP2 bit by bit: polynomial 0x04C11DB7, MSB first, init and final xor all ones."""
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7 if crc & 0x80000000 else crc << 1) & 0xFFFFFFFF
    return crc ^ 0xFFFFFFFF


def test_bz2_crc32_known_values():
    assert _core.bz2_crc32(b"") == 0
    assert _core.bz2_crc32(b"123456789") == 0xFC891918  # the published check value
    for data in (b"a", b"\0" * 33, bytes(range(256)) * 3, os.urandom(1001)):
        assert _core.bz2_crc32(data) == reference_crc(data)


# --- _decompress ------------------------------------------------------------


@pytest.mark.parametrize("name", ["multiblock", "level9", "multistream", "small", "binary", "runs",
                                  "concatenated"])
@pytest.mark.parametrize("threads", [1, 2, 0])
def test_decompress_matches_python_bz2(samples, name, threads):
    assert _core._decompress(samples[name].compressed, threads) == samples[name].data


def test_a_valid_file_over_the_marker_cap_decodes_on_every_entry_point(tmp_path):
    # More possible block starts than the engine speculates on: decoded
    # serially everywhere, the index built on the way.
    blob = crafted("over-cap")
    expected = bz2.decompress(blob)
    path = tmp_path / "cap.bz2"
    path.write_bytes(blob)
    for threads in (0, 1, 2):
        assert _core._decompress(blob, threads) == expected
        assert _core._test(str(path), threads=threads) is None
        image = _core._build_index(str(path), threads=threads)
        assert image[:len(INDEX_MAGIC)] == INDEX_MAGIC
    for reader in (_core._IndexedReader.from_path(str(path)), _core._IndexedReader.from_bytes(blob)):
        assert reader.read(len(expected) + 1) == expected


def test_decompress_of_empty_input_depends_on_the_road():
    assert _core._decompress(b"", threads=1) == b""
    assert str(raises(_core.BadBzip2File, _core._decompress, b"", threads=2)) == HEADER_ERROR


@pytest.mark.parametrize("threads", [1, 2])
def test_decompress_memory_limit_and_corrupt_block(samples, threads):
    sample = samples["small"]
    assert str(raises(ValueError, _core._decompress, sample.compressed, threads, MIN_LIMIT - 1)) == LIMIT_ERROR
    assert _core._decompress(sample.compressed, threads, memory_limit=MIN_LIMIT) == sample.data
    error = raises(_core.BadBzip2File, _core._decompress, with_bad_block_crc(sample.compressed), threads)
    assert str(error) == CRC_ERROR
    assert error.errno is None and error.strerror is None


def test_decompress_argument_conversions(samples):
    sample = samples["small"]
    assert _core._decompress(type("Raw", (bytes,), {})(sample.compressed)) == sample.data
    assert _core._decompress(data=sample.compressed, memory_limit=index_of(MIN_LIMIT), threads=index_of(1)) == sample.data
    assert _core._decompress(sample.compressed, 1, 2**64 - 1) == sample.data
    for kind, args, parameter in [(TypeError, (bytearray(sample.compressed),), "data"),
                                  (OverflowError, (sample.compressed, -1), "threads"),
                                  (OverflowError, (sample.compressed, 1, 2**64), "memory_limit"),
                                  (TypeError, (sample.compressed, 1.0), "threads"),
                                  (OverflowError, (b"", -1, -1), "threads")]:  # the first bad one wins
        assert raises(kind, _core._decompress, *args).__notes__ == [f"while processing '{parameter}'"]


def test_decompress_argument_matching_errors():
    for args, kwargs in [((), {}), ((b"", 1, MIN_LIMIT, 4), {}), ((b"",), {"level": 1}),
                         ((b"", 1), {"threads": 1})]:
        assert not hasattr(raises(TypeError, _core._decompress, *args, **kwargs), "__notes__")


# --- _test and _build_index -------------------------------------------------


@FILE_FUNCTIONS
def test_a_missing_file_is_a_plain_oserror(tmp_path, function):
    for memory_limit in (MIN_LIMIT, 1):  # the file is opened before the options are checked
        error = raises(OSError, function, str(tmp_path / "absent.bz2"), 1, memory_limit)
        assert error.args == ("No such file or directory (os error 2)",)
        assert error.errno is None and error.strerror is None and error.filename is None


@FILE_FUNCTIONS
@pytest.mark.parametrize("threads", [0, 1, 2])
def test_an_empty_file_has_no_stream_header(tmp_path, function, threads):
    (tmp_path / "empty.bz2").write_bytes(b"")
    assert str(raises(_core.BadBzip2File, function, str(tmp_path / "empty.bz2"), threads)) == HEADER_ERROR


@FILE_FUNCTIONS
def test_a_corrupt_or_truncated_file_is_caught_as_oserror(tmp_path, samples, function):
    corrupt = tmp_path / "corrupt.bz2"
    corrupt.write_bytes(with_bad_block_crc(samples["small"].compressed))
    try:
        function(str(corrupt))
    except OSError as error:
        assert isinstance(error, _core.BadBzip2File)
        assert str(error) == CRC_ERROR
    else:
        pytest.fail("a corrupt file passed")
    corrupt.write_bytes(samples["multiblock"].compressed[:-100])
    assert str(raises(_core.BadBzip2File, function, str(corrupt))).startswith("bzip2 decode error at bit ")


def test_test_accepts_sound_files_and_checks_options(samples):
    for name in ("multiblock", "multistream", "concatenated"):
        assert _core._test(path=samples[name].path, threads=1) is None
    assert str(raises(ValueError, _core._test, samples["small"].path, 1, MIN_LIMIT - 1)) == LIMIT_ERROR


def test_path_conversions(samples):
    assert raises(TypeError, _core._test, samples["small"].path.encode()).__notes__ == ["while processing 'path'"]
    assert raises(UnicodeEncodeError, _core._build_index, "bad\udc80name").__notes__ == ["while processing 'path'"]
    # a NUL byte refuses the path instead of cutting it short
    error = raises(OSError, _core._test, samples["small"].path + "\0ignored")
    assert str(error) == "file name contained an unexpected NUL byte"


@pytest.mark.parametrize("name", ["multiblock", "multistream", "concatenated", "binary"])
def test_build_index_describes_the_file(samples, name):
    sample = samples[name]
    image = _core._build_index(sample.path)
    fields = index_image.parse(image)
    assert fields["magic"] == INDEX_MAGIC and fields["version"] == 1
    assert len(image) == 108 + 53 * len(fields["streams"]) + 44 * len(fields["blocks"])
    assert fields["trailer"] == index_image.blake3(image[:-32])
    assert fields["source_hash"] == index_image.blake3(sample.compressed)
    assert (fields["source_bytes"], fields["decoded_bytes"]) == (len(sample.compressed), len(sample.data))
    assert fields["blocks"][0]["compressed_start_bit"] == 32
    start = 0
    for block in fields["blocks"]:
        assert block["decoded_start"] == start
        assert block["expected_crc"] == _core.bz2_crc32(sample.data[start:start + block["decoded_bytes"]])
        start += block["decoded_bytes"]
    assert start == len(sample.data)
    assert _core._build_index(sample.path, threads=1) == _core._build_index(sample.path, threads=3) == image


def test_running_out_of_memory_in_a_worker_raises_memory_error(tmp_path):
    # Workers need a 46 MB buffer each for these blocks: under a small address
    # space one of them fails to get it, which is MemoryError, not ValueError.
    path = tmp_path / "zeros.bz2"
    path.write_bytes(bz2.compress(bytes(100_000_000), 9))
    script = """
import resource, sys
sys.path.insert(0, sys.argv[1])
import _core
with open("/proc/self/statm") as f:
    vm = int(f.read().split()[0]) * resource.getpagesize()
_, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (vm + (100 << 20), hard))
for call in (lambda: _core._test(sys.argv[2], threads=4), lambda: _core._build_index(sys.argv[2], threads=4)):
    try:
        call()
        print("no error")
    except MemoryError:
        print("MemoryError")
    except Exception as e:
        print(type(e).__name__, e)
"""
    r = run_script(script, path)
    assert (r.stdout, r.stderr) == ("MemoryError\nMemoryError\n", "")
