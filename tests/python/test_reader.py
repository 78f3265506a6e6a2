"""_IndexedReader over files and bytes: reads and seeks at every boundary,
argument handling, and the ways a reader comes to its index."""

import ast
import random
import subprocess
import textwrap

import pytest

import _core
from conftest import raises, run_script, write_index
import index_image
from shared import HEADER_ERROR, LIMIT_ERROR, MIN_LIMIT

Reader = _core._IndexedReader
OUTSIDE = "seek outside decompressed data"


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
    data = samples[name].data
    reader = open_reader(samples[name])
    assert reader.size == len(data)
    for bound in block_boundaries(reader):
        for start in (max(bound - 1, 0), bound):
            assert reader.seek(start) == start
            assert reader.read(2) == data[start:start + 2]
            assert reader.tell() == min(start + 2, len(data))
    reader.seek(1)
    assert reader.read(len(data)) == data[1:]  # one read spanning every block
    assert reader.read(10) == b""


def test_read_sizes(open_reader, samples):
    data = samples["multiblock"].data
    reader = open_reader(samples["multiblock"])
    assert reader.read(0) == b"" and reader.tell() == 0
    assert (reader.read(-1), reader.read(-1)) == (data, b"")
    reader.seek(-5, 2)
    assert reader.read(1000) == data[-5:]
    reader.seek(100)
    assert reader.read(-7) == data[100:]
    assert reader.read(2**63 - 1) == b""


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
    reader = open_reader(samples["small"])
    size = reader.size
    assert reader.seek(-size, 2) == 0
    assert reader.seek(3) == 3
    assert reader.seek(4, 1) == 7
    assert reader.seek(offset=size, whence=0) == size
    reader.seek(7)
    for args, message in [((size + 1,), OUTSIDE), ((-1,), "negative absolute seek"), ((1, 2), OUTSIDE),
                          ((-8, 1), OUTSIDE), ((2**63 - 1, 1), OUTSIDE), ((0, 3), "invalid whence"),
                          ((0, -1), "invalid whence")]:
        error = raises(OSError, reader.seek, *args)
        assert str(error) == message and error.errno is None
        assert reader.tell() == 7  # a refused seek leaves the position


def test_reader_argument_conversions(samples):
    small = samples["small"]
    reader = Reader.from_bytes(small.compressed)
    error = raises(OverflowError, reader.seek, 0, 2**31)
    assert str(error) == "out of range integral type conversion attempted"
    for kind, call, args, kwargs, parameter in [
            (OverflowError, reader.seek, (0, -2**31 - 1), {}, "whence"),
            (OverflowError, reader.seek, (2**63,), {}, "offset"),
            (OverflowError, reader.read, (-2**63 - 1,), {}, "size"),
            (TypeError, reader.read, ("1",), {}, "size"),
            (TypeError, Reader.from_bytes, (bytearray(small.compressed),), {}, "data"),
            (TypeError, Reader.from_bytes, (small.compressed,), {"index": "image"}, "index"),
            (TypeError, Reader.from_path, (small.path,), {"index_path": b"x"}, "index_path"),
            (OverflowError, Reader.from_path, (small.path,), {"cache_limit": -1}, "cache_limit")]:
        assert raises(kind, call, *args, **kwargs).__notes__ == [f"while processing '{parameter}'"]
    for call, args in [(reader.read, ()), (reader.tell, (1,))]:
        raises(TypeError, call, *args)
    assert reader.tell() == 0


def test_factory_errors_without_an_index(tmp_path, samples):
    assert str(raises(_core.BadBzip2File, Reader.from_bytes, b"")) == HEADER_ERROR
    for call, args in [(Reader.from_bytes, (samples["small"].compressed, 0, MIN_LIMIT - 1)),
                       (Reader.from_path, (samples["small"].path, 1, 1))]:
        assert str(raises(ValueError, call, *args)) == LIMIT_ERROR
    error = raises(OSError, Reader.from_path, str(tmp_path / "missing.bz2"),
                   index_path=str(tmp_path / "missing.zuvov"))
    assert str(error) == "No such file or directory (os error 2)" and error.errno is None


def expect_reads(reader, data):
    reader.seek(len(data) // 2)
    assert reader.read(5000) == data[len(data) // 2:][:5000]


@pytest.mark.parametrize("name", ["multiblock", "concatenated"])
def test_the_index_built_on_the_spot_or_given_is_the_build_index_image(samples, name):
    sample = samples[name]
    image = _core._build_index(sample.path)
    assert Reader.from_path(sample.path, threads=1).index_bytes() == image
    assert Reader.from_bytes(sample.compressed, threads=2).index_bytes() == image
    # options are converted but not used when an index is given
    by_bytes = Reader.from_bytes(sample.compressed, 5, 1, image)
    assert raises(OverflowError, Reader.from_bytes, sample.compressed, -1, index=image).__notes__ == [
        "while processing 'threads'"]
    index_path = sample.path + ".fromlib.zuvov"
    with open(index_path, "wb") as f:
        f.write(image)
    by_path = Reader.from_path(sample.path, memory_limit=1, index_path=index_path)
    for reader in (by_bytes, by_path):
        assert reader.index_bytes() == image
        expect_reads(reader, sample.data)


def test_an_index_file_written_by_the_program(tmp_path, samples, morvane_bin):
    sample = samples["multistream"]
    target = tmp_path / "input.bz2"
    target.write_bytes(sample.compressed)
    subprocess.run([morvane_bin, "--index", str(target)], check=True)
    image = (tmp_path / "input.bz2.zuvov").read_bytes()
    assert image == _core._build_index(str(target))
    expect_reads(Reader.from_path(str(target), index_path=str(target) + ".zuvov"), sample.data)


def test_index_refusals(tmp_path, samples):
    sample = samples["multiblock"]
    image = _core._build_index(sample.path)
    changed = bytearray(sample.compressed)
    changed[-1] ^= 0xFF  # same length, other content
    corrupted = bytearray(image)
    corrupted[80] ^= 0x04
    for data, index, message in [(samples["multistream"].compressed, image, "source identity mismatch"),
                                 (bytes(changed), image, "source identity mismatch"),
                                 (sample.compressed, bytes(corrupted), "payload checksum mismatch"),
                                 (sample.compressed, image[:31], "truncated header")]:
        assert str(raises(ValueError, Reader.from_bytes, data, index=index)) == message

    index_path = tmp_path / "bad.zuvov"
    index_path.write_bytes(bytes(corrupted))
    error = raises(ValueError, Reader.from_path, sample.path, index_path=str(index_path))
    assert str(error) == "payload checksum mismatch"
    # Read to its end, not taken for empty: a file under /proc reports length 0.
    error = raises(ValueError, Reader.from_path, sample.path, index_path="/proc/self/status")
    assert str(error) == "payload checksum mismatch"
    for path, message in [(tmp_path / "absent.zuvov", "No such file or directory (os error 2)"),
                          (tmp_path, "Is a directory (os error 21)"),
                          (str(index_path) + "\0", "file name contained an unexpected NUL byte")]:
        assert str(raises(OSError, Reader.from_path, sample.path, index_path=str(path))) == message


REWRITE_SCRIPT = textwrap.dedent("""
    import os, sys, threading
    sys.path.insert(0, sys.argv[1])
    import _core
    data, index = sys.argv[2], sys.argv[3]
    image = open(index, "rb").read()
    stop = threading.Event()

    def rewrite():  # as another process rewriting the index file in place would
        fd = os.open(index, os.O_WRONLY)
        while not stop.is_set():
            os.ftruncate(fd, 0)
            os.pwrite(fd, image, 0)
        os.close(fd)

    thread = threading.Thread(target=rewrite)
    thread.start()
    outcomes = set()
    for _ in range(2000):
        try:
            _core._IndexedReader.from_path(data, index_path=index)
            outcomes.add("opened")
        except ValueError as error:
            outcomes.add(str(error))
    stop.set()
    thread.join()
    print(sorted(outcomes))
""")


def test_an_index_file_rewritten_during_the_open_never_kills_the_process(tmp_path, samples):
    sample = samples["multiblock"]
    run = run_script(REWRITE_SCRIPT, sample.path, write_index(tmp_path, sample))
    assert (run.returncode, run.stderr) == (0, "")
    # Each open saw the whole image, or a part of it that the checks refused.
    assert set(ast.literal_eval(run.stdout)) <= {"opened", "truncated header", "payload checksum mismatch"}


def test_an_index_pointing_nowhere_fails_only_that_block(samples):
    # The second stream moved one byte on as a whole, so that its records stay
    # contiguous and the image passes every check.
    sample = samples["multistream"]
    fields = index_image.parse(_core._build_index(sample.path))
    stream = fields["streams"][1]
    first, after = stream["first_block"], stream["first_block"] + stream["block_count"]
    stream["header_byte"] += 1
    stream["eos_bit"] += 8
    for block in fields["blocks"][first:after]:
        block["compressed_start_bit"] += 8
        block["compressed_end_bit"] += 8
    reader = Reader.from_bytes(sample.compressed, index=index_image.build(fields))
    broken, working = (fields["blocks"][i]["decoded_start"] for i in (first, after))
    reader.seek(broken + 5)
    error = raises(OSError, reader.read, 10)
    bit = fields["blocks"][first]["compressed_start_bit"]
    assert str(error) == f"bzip2 decode error at bit {bit}: invalid bzip2 magic"
    assert error.errno is None
    # a read from the block before into the broken one stops at the broken block
    reader.seek(broken - 3)
    raises(OSError, reader.read, 10)
    assert reader.tell() == broken
    reader.seek(working)
    assert reader.read(100) == sample.data[working:working + 100]


@pytest.mark.parametrize("size", [-1, 2**62])
def test_a_forged_huge_block_fails_its_length_check_before_any_huge_allocation(samples, size):
    # The image checksum is an unkeyed hash anyone can recompute, so a record may promise
    # any length: the read must fail on the block's check, not allocate what it promises.
    sample = samples["small"]
    fields = index_image.parse(_core._build_index(sample.path))
    huge = 2**62
    fields["decoded_bytes"] = fields["streams"][0]["decoded_bytes"] = fields["blocks"][0]["decoded_bytes"] = huge
    reader = Reader.from_bytes(sample.compressed, index=index_image.build(fields))
    assert reader.size == huge
    error = raises(OSError, reader.read, size)
    assert str(error) == "invalid morvane index: decoded block length does not match index"
    assert reader.tell() == 0
    assert reader.seek(huge) == huge
    assert reader.read(-1) == b""
