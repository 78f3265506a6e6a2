"""The five functions: results against Python's bz2, argument handling and
how library errors surface."""

import bz2
import os

import pytest

import _core
from conftest import HEADER_ERROR
import index_image

MIN_LIMIT = 46620004
CRC_ERROR = "bzip2 decode error at bit 32: bzip2 CRC mismatch"


class Index:
    """An index anyone can supply through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def with_bad_block_crc(compressed):
    """The stored CRC of the first block (the 32 bits after its magic) changed."""
    changed = bytearray(compressed)
    changed[10] ^= 0x01
    return bytes(changed)


# --- _scan and bz2_crc32 ----------------------------------------------------


@pytest.mark.parametrize("data", [b"", b"BZ", b"BZh", b"BZh0", b"BZhA", b"BZx9", b"xBZh9"])
def test_scan_refuses_a_missing_header_as_value_error(data):
    with pytest.raises(ValueError) as caught:
        _core._scan(data)
    assert type(caught.value) is ValueError
    assert str(caught.value) == HEADER_ERROR


def test_scan_of_a_bare_header_finds_only_the_stream():
    assert _core._scan(b"BZh9") == ([(0, 9)], [], [])


def test_scan_reports_stream_block_and_end_of_a_sound_file(samples):
    sample = samples["small"]
    streams, blocks, ends = _core._scan(sample.compressed)
    assert streams[0] == (0, 9)
    bit, crc, randomized, orig_ptr = blocks[0]
    assert bit == 32
    assert crc == _core.bz2_crc32(sample.data)
    assert randomized is False
    assert isinstance(orig_ptr, int) and 0 <= orig_ptr < len(sample.data)
    # one block: the combined stream CRC is the block's CRC
    assert ends[-1][1] == crc
    assert all(len(b) == 4 and type(b[2]) is bool for b in blocks)


def test_scan_finds_every_stream_header_of_concatenated_streams():
    parts = [bz2.compress(bytes([65 + i]) * 1000 * (i + 1), i + 1) for i in range(4)]
    data = b"".join(parts)
    streams, blocks, ends = _core._scan(data)
    offsets = [sum(len(p) for p in parts[:i]) for i in range(4)]
    for i, offset in enumerate(offsets):
        assert (offset, i + 1) in streams
        assert offset * 8 + 32 in [b[0] for b in blocks]
    assert streams == sorted(streams) and blocks == sorted(blocks) and ends == sorted(ends)
    assert len(ends) >= 4


def test_scan_and_crc_take_only_bytes():
    for function in (_core._scan, _core.bz2_crc32):
        with pytest.raises(TypeError) as caught:
            function(bytearray(b"BZh9"))
        assert caught.value.__notes__ == ["while processing 'data'"]
        with pytest.raises(TypeError):
            function(memoryview(b"BZh9"))
        with pytest.raises(TypeError):
            function()


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
    assert _core.bz2_crc32(b"\xff" * 4) <= 0xFFFFFFFF


# --- _decompress ------------------------------------------------------------


@pytest.mark.parametrize("name", ["multiblock", "level9", "multistream", "small", "binary", "runs",
                                  "concatenated"])
@pytest.mark.parametrize("threads", [1, 2, 0])
def test_decompress_matches_python_bz2(samples, name, threads):
    sample = samples[name]
    assert _core._decompress(sample.compressed, threads) == sample.data


def test_decompress_of_empty_input_depends_on_the_road():
    assert _core._decompress(b"", threads=1) == b""
    with pytest.raises(_core.BadBzip2File) as caught:
        _core._decompress(b"", threads=2)
    assert str(caught.value) == HEADER_ERROR


@pytest.mark.parametrize("threads", [1, 2])
def test_decompress_memory_limit_boundary(samples, threads):
    sample = samples["small"]
    with pytest.raises(ValueError) as caught:
        _core._decompress(sample.compressed, threads, MIN_LIMIT - 1)
    assert type(caught.value) is ValueError
    assert str(caught.value) == "memory limit must be at least 46620004 bytes"
    assert _core._decompress(sample.compressed, threads, memory_limit=MIN_LIMIT) == sample.data


@pytest.mark.parametrize("threads", [1, 2])
def test_decompress_reports_a_corrupt_block(samples, threads):
    with pytest.raises(OSError) as caught:
        _core._decompress(with_bad_block_crc(samples["small"].compressed), threads)
    assert type(caught.value) is _core.BadBzip2File
    assert str(caught.value) == CRC_ERROR
    assert caught.value.errno is None and caught.value.strerror is None


def test_decompress_argument_conversions(samples):
    sample = samples["small"]

    class Raw(bytes):
        pass

    assert _core._decompress(Raw(sample.compressed)) == sample.data
    assert _core._decompress(data=sample.compressed, memory_limit=Index(MIN_LIMIT), threads=Index(1)) == sample.data
    assert _core._decompress(sample.compressed, True) == sample.data

    with pytest.raises(TypeError) as caught:
        _core._decompress(bytearray(sample.compressed))
    assert caught.value.__notes__ == ["while processing 'data'"]

    with pytest.raises(OverflowError) as caught:
        _core._decompress(sample.compressed, threads=-1)
    assert caught.value.__notes__ == ["while processing 'threads'"]

    with pytest.raises(OverflowError) as caught:
        _core._decompress(sample.compressed, 1, 2**64)
    assert caught.value.__notes__ == ["while processing 'memory_limit'"]
    assert _core._decompress(sample.compressed, 1, 2**64 - 1) == sample.data

    with pytest.raises(TypeError) as caught:
        _core._decompress(sample.compressed, 1.0)
    assert caught.value.__notes__ == ["while processing 'threads'"]

    # the first bad parameter wins; nothing runs
    with pytest.raises(OverflowError) as caught:
        _core._decompress(b"", -1, -1)
    assert caught.value.__notes__ == ["while processing 'threads'"]


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    ((b"", 1, MIN_LIMIT, 4), {}),
    ((b"",), {"level": 1}),
    ((b"",), {"data": b""}),
    ((b"", 1), {"threads": 1}),
])
def test_decompress_argument_matching_errors(args, kwargs):
    with pytest.raises(TypeError) as caught:
        _core._decompress(*args, **kwargs)
    assert not hasattr(caught.value, "__notes__")


# --- _test and _build_index -------------------------------------------------


@pytest.mark.parametrize("function", [_core._test, _core._build_index])
def test_a_missing_file_is_a_plain_oserror(tmp_path, function):
    missing = str(tmp_path / "absent.bz2")
    for memory_limit in (MIN_LIMIT, 1):  # the file is opened before the options are checked
        with pytest.raises(OSError) as caught:
            function(missing, 1, memory_limit)
        error = caught.value
        assert type(error) is OSError
        assert str(error) == "No such file or directory (os error 2)"
        assert error.args == ("No such file or directory (os error 2)",)
        assert error.errno is None and error.strerror is None and error.filename is None


@pytest.mark.parametrize("function", [_core._test, _core._build_index])
@pytest.mark.parametrize("threads", [0, 1, 2])
def test_an_empty_file_has_no_stream_header(tmp_path, function, threads):
    empty = tmp_path / "empty.bz2"
    empty.write_bytes(b"")
    with pytest.raises(_core.BadBzip2File) as caught:
        function(str(empty), threads)
    assert str(caught.value) == HEADER_ERROR


@pytest.mark.parametrize("function", [_core._test, _core._build_index])
def test_a_corrupt_file_is_caught_as_oserror(tmp_path, samples, function):
    corrupt = tmp_path / "corrupt.bz2"
    corrupt.write_bytes(with_bad_block_crc(samples["small"].compressed))
    try:
        function(str(corrupt))
    except OSError as error:
        assert isinstance(error, _core.BadBzip2File)
        assert str(error) == CRC_ERROR
    else:
        pytest.fail("a corrupt file passed")


def test_test_accepts_sound_files_and_checks_options(samples):
    for name in ("multiblock", "multistream", "concatenated"):
        assert _core._test(samples[name].path) is None
        assert _core._test(path=samples[name].path, threads=1) is None
    with pytest.raises(ValueError) as caught:
        _core._test(samples["small"].path, 1, MIN_LIMIT - 1)
    assert str(caught.value) == "memory limit must be at least 46620004 bytes"


def test_truncated_file_fails(tmp_path, samples):
    truncated = tmp_path / "truncated.bz2"
    truncated.write_bytes(samples["multiblock"].compressed[:-100])
    with pytest.raises(_core.BadBzip2File) as caught:
        _core._test(str(truncated))
    assert str(caught.value).startswith("bzip2 decode error at bit ")


def test_path_conversions(samples):
    with pytest.raises(TypeError) as caught:
        _core._test(samples["small"].path.encode())
    assert caught.value.__notes__ == ["while processing 'path'"]
    with pytest.raises(UnicodeEncodeError) as caught:
        _core._build_index("bad\udc80name")
    assert caught.value.__notes__ == ["while processing 'path'"]
    # a NUL byte refuses the path instead of cutting it short
    with pytest.raises(OSError) as caught:
        _core._test(samples["small"].path + "\0ignored")
    assert type(caught.value) is OSError
    assert str(caught.value) == "file name contained an unexpected NUL byte"


@pytest.mark.parametrize("name", ["multiblock", "multistream", "concatenated", "small"])
def test_build_index_describes_the_file(samples, name):
    sample = samples[name]
    image = _core._build_index(sample.path)
    fields = index_image.parse(image)
    assert fields["magic"] == b"DOZEZIZ\0" and fields["version"] == 1
    assert len(image) == 108 + 53 * len(fields["streams"]) + 44 * len(fields["blocks"])
    assert fields["trailer"] == index_image.blake3(image[:-32])
    assert fields["source_bytes"] == len(sample.compressed)
    assert fields["decoded_bytes"] == len(sample.data)
    assert fields["blocks"][0]["compressed_start_bit"] == 32
    start = 0
    for block in fields["blocks"]:
        assert block["decoded_start"] == start
        piece = sample.data[start:start + block["decoded_bytes"]]
        assert block["expected_crc"] == _core.bz2_crc32(piece)
        start += block["decoded_bytes"]
    assert start == len(sample.data)
    # the same image on every road
    assert _core._build_index(sample.path, threads=1) == image
    assert _core._build_index(sample.path, threads=3) == image


def test_build_index_hashes_the_whole_input(samples):
    sample = samples["binary"]
    fields = index_image.parse(_core._build_index(sample.path))
    assert fields["source_hash"] == index_image.blake3(sample.compressed)
