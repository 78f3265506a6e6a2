"""Files that work against the module: an input truncated while it is mapped,
endless inputs and index files, and index images forged to leave blocks out.
Whatever could kill or exhaust the process runs in a child interpreter."""

import bz2
import os
import signal
import subprocess
import sys
import textwrap

import pytest

import _core
from conftest import raises, run_script, write_index
import index_image
from shared import HEADER_ERROR, text_data

Reader = _core._IndexedReader
TRUNCATED = "input file was truncated or became unreadable during the decode"
TOO_LARGE = "index file is larger than any index of its input"

# Prints how each call named on the command line ends; the address space is
# bounded so that a read that never stops ends in MemoryError.
OUTCOMES_SCRIPT = textwrap.dedent("""
    import resource, sys
    sys.path.insert(0, sys.argv[1])
    import _core
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, hard))
    for call in sys.argv[2:]:
        try:
            eval(call)
            print("no error")
        except Exception as error:
            print(type(error).__name__, error)
""")


def outcomes(*calls):
    run = run_script(OUTCOMES_SCRIPT, *calls)
    assert (run.returncode, run.stderr) == (0, "")
    return run.stdout.splitlines()


def test_an_endless_input_that_is_not_bzip2_fails_at_once():
    calls = ["_core._test('/dev/zero')", "_core._build_index('/dev/zero', threads=1)",
             "_core._IndexedReader.from_path('/dev/zero')"]
    assert outcomes(*calls) == [f"BadBzip2File {HEADER_ERROR}"] * 3


def max_index_bytes(source_bytes):
    """The largest index of an input: as many streams as 14-byte streams fit, as
    many blocks as 173-bit blocks fit."""
    return 108 + 53 * (source_bytes // 14) + 44 * (8 * source_bytes // 173)


def test_an_index_file_larger_than_any_index_of_its_input_is_not_read(tmp_path, samples):
    sample = samples["small"]
    bound = max_index_bytes(len(sample.compressed))
    for size, error in [(bound, ValueError), (bound + 1, OSError), (1 << 40, OSError)]:
        sparse = tmp_path / "sparse.zuvov"
        with open(sparse, "wb") as f:
            f.truncate(size)
        message = str(raises(error, Reader.from_path, sample.path, index_path=str(sparse)))
        assert message == ("payload checksum mismatch" if error is ValueError else TOO_LARGE)
    # A device is read no further than the bound.
    call = f"_core._IndexedReader.from_path({sample.path!r}, index_path='/dev/zero')"
    assert outcomes(call) == [f"OSError {TOO_LARGE}"]


def test_an_index_image_missing_a_block_is_refused(samples):
    # An unkeyed trailer is easily recomputed: without the contiguity rules the
    # reader would return the input minus the block.
    sample = samples["multiblock"]
    fields = index_image.parse(_core._build_index(sample.path))
    blocks = fields["blocks"]
    gone = blocks.pop(3)
    for block in blocks[3:]:
        block["decoded_start"] -= gone["decoded_bytes"]
    fields["decoded_bytes"] -= gone["decoded_bytes"]
    fields["streams"][0]["block_count"] -= 1
    fields["streams"][0]["decoded_bytes"] -= gone["decoded_bytes"]
    error = raises(ValueError, Reader.from_bytes, sample.compressed, index=index_image.build(fields))
    assert str(error) == "block compressed ranges are not contiguous"


def test_stream_sizes_that_contradict_their_blocks_are_refused(samples):
    sample = samples["multistream"]
    fields = index_image.parse(_core._build_index(sample.path))
    first, second = fields["streams"][:2]
    first["decoded_bytes"] -= 1
    second["decoded_start"] -= 1
    second["decoded_bytes"] += 1
    error = raises(ValueError, Reader.from_bytes, sample.compressed, index=index_image.build(fields))
    assert str(error) == "stream record does not match its blocks"


TRUNCATE_UNDER_READER_SCRIPT = textwrap.dedent("""
    import os, sys
    sys.path.insert(0, sys.argv[1])
    import _core
    data, index = sys.argv[2], sys.argv[3]
    reader = _core._IndexedReader.from_path(data, index_path=index, cache_limit=0)
    print(len(reader.read(100)))
    os.truncate(data, 100)
    for attempt in range(2):
        reader.seek(0)
        try:
            reader.read(-1)
            print("read")
        except OSError as error:
            print(type(error).__name__, error)
""")


def test_an_input_truncated_under_a_reader_raises_oserror(tmp_path, samples):
    sample = samples["multiblock"]
    path = tmp_path / "input.bz2"
    path.write_bytes(sample.compressed)
    run = run_script(TRUNCATE_UNDER_READER_SCRIPT, path, write_index(tmp_path, sample))
    assert (run.returncode, run.stderr) == (0, "")
    assert run.stdout.splitlines() == ["100", f"OSError {TRUNCATED}", f"OSError {TRUNCATED}"]


@pytest.mark.parametrize("function", ["_test", "_build_index"])
def test_an_input_truncated_during_a_decode_raises_oserror(tmp_path, function):
    # Stopped as soon as the file is mapped, truncated, then let go on.
    stream = bz2.compress(text_data(900_000), 9)
    path = tmp_path / "big.bz2"
    path.write_bytes(stream * 40)
    script = f"""
import sys
sys.path.insert(0, sys.argv[1])
import _core
try:
    _core.{function}(sys.argv[2], threads=1)
    print("no error")
except Exception as error:
    print(type(error).__name__, error)
"""
    proc = subprocess.Popen([sys.executable, "-c", script, os.path.dirname(_core.__file__), str(path)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def mapped():
        with open(f"/proc/{proc.pid}/maps") as maps:
            return os.path.realpath(path) in maps.read()

    try:
        while not mapped():
            assert proc.poll() is None, proc.communicate()
        os.kill(proc.pid, signal.SIGSTOP)
        assert mapped(), "the decode ended before it could be stopped"
        os.truncate(path, 100)
    finally:
        os.kill(proc.pid, signal.SIGCONT)
    out, err = proc.communicate()
    assert (proc.returncode, out, err) == (0, f"OSError {TRUNCATED}\n", "")
