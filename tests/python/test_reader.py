"""_IndexedReader over files and bytes: reads and seeks at every boundary,
argument handling, and the ways a reader comes to its index."""

import os
import random

import pytest

import _core
from conftest import HEADER_ERROR
import index_image

Reader = _core._IndexedReader
MIN_LIMIT = 46620004


def block_boundaries(reader):
    fields = index_image.parse(reader.index_bytes())
    return [b["decoded_start"] for b in fields["blocks"]] + [fields["decoded_bytes"]]


@pytest.fixture(params=["path", "bytes"])
def open_reader(request):
    def make(sample, **options):
        if request.param == "path":
            return Reader.from_path(sample.path, **options)
        return Reader.from_bytes(sample.compressed, **options)
    return make


@pytest.mark.parametrize("name", ["multiblock", "multistream", "concatenated", "runs"])
def test_reads_at_every_block_boundary(open_reader, samples, name):
    sample = samples[name]
    data = sample.data
    reader = open_reader(sample)
    assert reader.size == len(data)
    bounds = block_boundaries(reader)
    assert len(bounds) >= 2
    for bound in bounds:
        for start in (bound - 1, bound):
            if 0 <= start <= len(data):
                assert reader.seek(start) == start
                assert reader.read(2) == data[start:start + 2]
                assert reader.tell() == min(start + 2, len(data))
    # one read spanning every block, then the end
    reader.seek(1)
    assert reader.read(len(data)) == data[1:]
    assert reader.read(10) == b""
    assert reader.tell() == len(data)


def test_read_sizes(open_reader, samples):
    sample = samples["multiblock"]
    data = sample.data
    reader = open_reader(sample)
    assert reader.read(0) == b""
    assert reader.tell() == 0
    assert reader.read(-1) == data
    assert reader.read(-1) == b""
    reader.seek(-5, 2)
    assert reader.read(1000) == data[-5:]
    reader.seek(100)
    assert reader.read(-7) == data[100:]
    assert reader.read(2**63 - 1) == b""
    reader.seek(0)
    assert reader.read(size=3) == data[:3]


def test_random_reads_match(samples):
    sample = samples["multistream"]
    data = sample.data
    rng = random.Random(5)
    for cache_limit in (0, 150_000, 64 << 20):
        reader = Reader.from_bytes(sample.compressed, cache_limit=cache_limit)
        for _ in range(60):
            start = rng.randrange(len(data) + 1)
            length = rng.choice([1, 17, 4096, 250_000])
            reader.seek(start)
            assert reader.read(length) == data[start:start + length]


def test_seek_rules(open_reader, samples):
    sample = samples["small"]
    reader = open_reader(sample)
    size = reader.size
    assert reader.seek(0, 2) == size
    assert reader.seek(-size, 2) == 0
    assert reader.seek(3) == 3
    assert reader.seek(4, 1) == 7
    assert reader.seek(offset=size, whence=0) == size

    reader.seek(7)
    for args, message in [((size + 1,), "seek outside decompressed data"),
                          ((-1,), "negative absolute seek"),
                          ((1, 2), "seek outside decompressed data"),
                          ((-8, 1), "seek outside decompressed data"),
                          ((2**63 - 1, 1), "seek outside decompressed data"),
                          ((0, 3), "invalid whence"),
                          ((0, -1), "invalid whence")]:
        with pytest.raises(OSError) as caught:
            reader.seek(*args)
        assert type(caught.value) is OSError
        assert str(caught.value) == message
        assert caught.value.errno is None
        assert reader.tell() == 7  # a refused seek leaves the position

    reader.seek(0)
    with pytest.raises(OSError) as caught:
        reader.seek(-1, 1)
    assert str(caught.value) == "seek outside decompressed data"


def test_reader_argument_conversions(samples):
    reader = Reader.from_bytes(samples["small"].compressed)
    with pytest.raises(OverflowError) as caught:
        reader.seek(0, 2**31)
    assert str(caught.value) == "out of range integral type conversion attempted"
    assert caught.value.__notes__ == ["while processing 'whence'"]
    with pytest.raises(OverflowError) as caught:
        reader.seek(0, -2**31 - 1)
    assert caught.value.__notes__ == ["while processing 'whence'"]
    with pytest.raises(OverflowError) as caught:
        reader.seek(2**63)
    assert caught.value.__notes__ == ["while processing 'offset'"]
    with pytest.raises(OverflowError) as caught:
        reader.read(-2**63 - 1)
    assert caught.value.__notes__ == ["while processing 'size'"]
    with pytest.raises(TypeError):
        reader.read()
    with pytest.raises(TypeError) as caught:
        reader.read("1")
    assert caught.value.__notes__ == ["while processing 'size'"]
    with pytest.raises(TypeError):
        reader.tell(1)
    with pytest.raises(TypeError):
        reader.seek(whence=1)
    with pytest.raises(TypeError) as caught:
        Reader.from_bytes(bytearray(samples["small"].compressed))
    assert caught.value.__notes__ == ["while processing 'data'"]
    with pytest.raises(TypeError) as caught:
        Reader.from_bytes(samples["small"].compressed, index="image")
    assert caught.value.__notes__ == ["while processing 'index'"]
    with pytest.raises(TypeError) as caught:
        Reader.from_path(samples["small"].path, index_path=b"x")
    assert caught.value.__notes__ == ["while processing 'index_path'"]
    with pytest.raises(OverflowError) as caught:
        Reader.from_path(samples["small"].path, cache_limit=-1)
    assert caught.value.__notes__ == ["while processing 'cache_limit'"]
    assert reader.tell() == 0


def test_factory_errors_without_an_index(tmp_path, samples):
    with pytest.raises(_core.BadBzip2File) as caught:
        Reader.from_bytes(b"")
    assert str(caught.value) == HEADER_ERROR
    for make in (lambda: Reader.from_bytes(samples["small"].compressed, memory_limit=MIN_LIMIT - 1),
                 lambda: Reader.from_path(samples["small"].path, 1, 1)):
        with pytest.raises(ValueError) as caught:
            make()
        assert str(caught.value) == "memory limit must be at least 46620004 bytes"
    missing = str(tmp_path / "missing.bz2")
    with pytest.raises(OSError) as caught:
        Reader.from_path(missing, index_path=str(tmp_path / "missing.zuvov"))
    assert type(caught.value) is OSError
    assert str(caught.value) == "No such file or directory (os error 2)"
    assert caught.value.errno is None


def test_a_reader_that_built_its_index_returns_the_build_index_image(samples):
    for name in ("multiblock", "concatenated"):
        sample = samples[name]
        image = _core._build_index(sample.path)
        assert Reader.from_path(sample.path, threads=1).index_bytes() == image
        assert Reader.from_bytes(sample.compressed, threads=2).index_bytes() == image


def test_an_image_from_build_index_opens_both_ways(samples):
    sample = samples["multiblock"]
    image = _core._build_index(sample.path)
    # options are converted but not used when an index is given
    by_bytes = Reader.from_bytes(sample.compressed, 5, 1, image)
    assert by_bytes.index_bytes() == image
    with pytest.raises(OverflowError) as caught:
        Reader.from_bytes(sample.compressed, -1, index=image)
    assert caught.value.__notes__ == ["while processing 'threads'"]
    index_path = sample.path + ".fromlib.zuvov"
    with open(index_path, "wb") as f:
        f.write(image)
    by_path = Reader.from_path(sample.path, memory_limit=1, index_path=index_path)
    assert by_path.index_bytes() == image
    for reader in (by_bytes, by_path):
        reader.seek(len(sample.data) // 2)
        assert reader.read(5000) == sample.data[len(sample.data) // 2:][:5000]
    assert Reader.from_path(sample.path, index_path=None).size == len(sample.data)


def test_an_index_file_written_by_the_program(tmp_path, samples, morvane_bin):
    import subprocess
    sample = samples["multistream"]
    target = tmp_path / "input.bz2"
    target.write_bytes(sample.compressed)
    subprocess.run([morvane_bin, "--index", str(target)], check=True)
    index_path = str(target) + ".zuvov"
    with open(index_path, "rb") as f:
        image = f.read()
    assert image == _core._build_index(str(target))
    reader = Reader.from_path(str(target), index_path=index_path)
    reader.seek(123_456)
    assert reader.read(100_000) == sample.data[123_456:223_456]
    assert reader.index_bytes() == image


def test_index_refusals(tmp_path, samples):
    sample = samples["multiblock"]
    image = _core._build_index(sample.path)
    other = samples["multistream"]

    with pytest.raises(ValueError) as caught:
        Reader.from_bytes(other.compressed, index=image)
    assert type(caught.value) is ValueError
    assert str(caught.value) == "source identity mismatch"
    # same length, other content
    changed = bytearray(sample.compressed)
    changed[-1] ^= 0xFF
    with pytest.raises(ValueError) as caught:
        Reader.from_bytes(bytes(changed), index=image)
    assert str(caught.value) == "source identity mismatch"

    corrupted = bytearray(image)
    corrupted[80] ^= 0x04
    with pytest.raises(ValueError) as caught:
        Reader.from_bytes(sample.compressed, index=bytes(corrupted))
    assert str(caught.value) == "payload checksum mismatch"
    with pytest.raises(ValueError) as caught:
        Reader.from_bytes(sample.compressed, index=image[:31])
    assert str(caught.value) == "truncated header"

    index_path = tmp_path / "bad.zuvov"
    index_path.write_bytes(bytes(corrupted))
    with pytest.raises(ValueError) as caught:
        Reader.from_path(sample.path, index_path=str(index_path))
    assert str(caught.value) == "payload checksum mismatch"
    with pytest.raises(OSError) as caught:
        Reader.from_path(sample.path, index_path=str(tmp_path / "absent.zuvov"))
    assert str(caught.value) == "No such file or directory (os error 2)"
    with pytest.raises(OSError) as caught:
        Reader.from_path(sample.path, index_path=str(tmp_path))
    assert str(caught.value) == "Is a directory (os error 21)"
    with pytest.raises(OSError) as caught:
        Reader.from_path(sample.path, index_path=str(index_path) + "\0")
    assert str(caught.value) == "file name contained an unexpected NUL byte"


def test_an_index_pointing_nowhere_fails_only_that_block(samples):
    sample = samples["multiblock"]
    fields = index_image.parse(_core._build_index(sample.path))
    assert len(fields["blocks"]) >= 3
    broken = fields["blocks"][1]
    broken["compressed_start_bit"] += 1
    reader = Reader.from_bytes(sample.compressed, index=index_image.build(fields))

    first, second, third = (fields["blocks"][i] for i in range(3))
    assert reader.read(10) == sample.data[:10]
    reader.seek(second["decoded_start"] + 5)
    with pytest.raises(OSError) as caught:
        reader.read(10)
    assert type(caught.value) is OSError
    assert str(caught.value) == f"bzip2 decode error at bit {broken['compressed_start_bit']}: invalid bzip2 magic"
    assert caught.value.errno is None
    # a read from the first block into the broken one delivers nothing and stops at the broken block
    reader.seek(second["decoded_start"] - 3)
    with pytest.raises(OSError):
        reader.read(10)
    assert reader.tell() == second["decoded_start"]
    reader.seek(third["decoded_start"])
    assert reader.read(100) == sample.data[third["decoded_start"]:third["decoded_start"] + 100]
    reader.seek(first["decoded_start"] + 1)
    assert reader.read(100) == sample.data[1:101]


@pytest.mark.parametrize("size", [-1, 2**62])
def test_a_forged_huge_block_fails_its_length_check_before_any_huge_allocation(samples, size):
    # The image checksum is an unkeyed hash anyone can recompute: a record may
    # promise any length. The read must fail on the block's check, not try to
    # allocate what the record promises.
    sample = samples["small"]
    fields = index_image.parse(_core._build_index(sample.path))
    huge = 2**62
    fields["decoded_bytes"] = huge
    fields["streams"][0]["decoded_bytes"] = huge
    fields["blocks"][0]["decoded_bytes"] = huge
    reader = Reader.from_bytes(sample.compressed, index=index_image.build(fields))
    assert reader.size == huge
    with pytest.raises(OSError) as caught:
        reader.read(size)
    assert str(caught.value) == "invalid morvane index: decoded block length does not match index"
    assert reader.tell() == 0
    assert reader.seek(huge) == huge
    assert reader.read(-1) == b""
