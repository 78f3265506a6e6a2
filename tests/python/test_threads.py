"""Concurrency: readers shared by threads, separate readers at once, the
interpreter lock released while decoding, and a reader that runs out of memory."""

import random
import struct
import sys
import textwrap
import threading
import time

import pytest

import _core
from conftest import run_compressor, run_script, write_index

Reader = _core._IndexedReader


@pytest.fixture(scope="module")
def counters(tmp_path_factory):
    """8-byte big-endian counters at level 1: every aligned piece tells where it came from."""
    data = b"".join(struct.pack(">Q", i) for i in range(300_000))
    path = tmp_path_factory.mktemp("counters") / "counters.bz2"
    path.write_bytes(run_compressor(["bzip2", "-1", "-c"], data))
    return str(path), data


def run_threads(count, work):
    """Runs work(k) on `count` threads; the first error of any is raised here."""
    errors = []

    def guarded(k):
        try:
            work(k)
        except BaseException as error:  # reported by the main thread
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def test_threads_sharing_one_reader_get_whole_disjoint_pieces(counters):
    path, data = counters
    reader = Reader.from_path(path, cache_limit=1 << 20)
    pieces = {}

    def work(k):
        rng = random.Random(k)
        while piece := reader.read(8 * rng.choice([1, 3, 512, 20_000])):
            pieces[struct.unpack_from(">Q", piece)[0] * 8] = piece

    run_threads(6, work)
    position = 0
    for start in sorted(pieces):
        assert start == position  # no gap, no overlap
        assert pieces[start] == data[start:start + len(pieces[start])]
        position += len(pieces[start])
    assert position == len(data) == reader.tell()


def test_separate_readers_at_once(counters):
    path, data = counters
    image = _core._build_index(path)
    with open(path, "rb") as f:
        compressed = f.read()

    def work(k):
        reader = Reader.from_bytes(compressed, index=image) if k % 2 else Reader.from_path(path)
        rng = random.Random(100 + k)
        for _ in range(40):
            start = rng.randrange(len(data))
            reader.seek(start)
            assert reader.read(4096) == data[start:start + 4096]

    run_threads(6, work)


def test_other_python_threads_run_while_decompress_works(samples):
    compressed = samples["multiblock"].compressed * 8  # eight streams, decoded on one thread
    stamps = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            stamps.append(time.perf_counter())

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(0.0005)
    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        while not stamps:
            time.sleep(0.001)
        begin = time.perf_counter()
        result = _core._decompress(compressed, threads=1)
        end = time.perf_counter()
    finally:
        stop.set()
        ticker.join()
        sys.setswitchinterval(old_interval)
    assert result == samples["multiblock"].data * 8
    # Holding the interpreter lock would leave no stamp in the middle half of the
    # call: the ticker could only run before the call entered the library.
    quarter = (end - begin) / 4
    assert any(begin + quarter < t < end - quarter for t in stamps)


MEMORY_SCRIPT = textwrap.dedent("""
    import bz2, resource, sys
    sys.path.insert(0, sys.argv[1])
    import _core
    data, image = open(sys.argv[2], "rb").read(), open(sys.argv[3], "rb").read()
    reader = _core._IndexedReader.from_bytes(data, index=image)
    vm = next(int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith("VmSize:"))
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    # Room for the interpreter's small allocations, not for a block decoder's buffers.
    resource.setrlimit(resource.RLIMIT_AS, (vm + (2 << 20), hard))
    try:
        reader.read(100)
        print("no error")
    except MemoryError as error:
        print(type(error).__name__)
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print(reader.tell(), reader.read(100) == bz2.decompress(data)[:100], reader.seek(0, 2) == reader.size,
          reader.index_bytes() == image)
""")


def test_running_out_of_memory_inside_the_reader_leaves_it_usable(tmp_path, samples):
    sample = samples["level9"]
    run = run_script(MEMORY_SCRIPT, sample.path, write_index(tmp_path, sample))
    lines = run.stdout.splitlines()
    if not lines or lines[0] != "MemoryError":
        pytest.skip("could not make the block decoder run out of memory here: " + (run.stdout + run.stderr)[-300:])
    assert (run.returncode, run.stderr) == (0, "")
    assert lines[1:] == ["0 True True True"]


EXIT_SCRIPT = textwrap.dedent("""
    import sys, threading
    sys.path.insert(0, sys.argv[1])
    import _core
    path, index_path = sys.argv[2], sys.argv[3]
    data = open(path, "rb").read()
    image = open(index_path, "rb").read()
    reader = _core._IndexedReader.from_bytes(data, index=image, cache_limit=0)
    Reader = _core._IndexedReader
    # Every entry point that lets the interpreter lock go.
    calls = [lambda: _core._decompress(data, threads=2), lambda: _core._build_index(path, threads=2),
             lambda: _core._test(path, threads=1), lambda: Reader.from_path(path),
             lambda: Reader.from_path(path, index_path=index_path), lambda: Reader.from_bytes(data, threads=2),
             lambda: (reader.seek(0), reader.read(-1))]
    started = threading.Barrier(len(calls) + 1)

    def loop(call):
        call()
        started.wait()
        while True:
            call()

    for call in calls:
        threading.Thread(target=loop, args=(call,), daemon=True).start()
    started.wait()
    # The interpreter now shuts down while the threads are inside _core.
""")


def test_the_interpreter_exits_cleanly_while_daemon_threads_are_inside_the_module(tmp_path, samples):
    # Python 3.11 to 3.13 end such a thread from inside the call that takes the
    # interpreter lock back; the unwinding must pass through the module.
    sample = samples["multiblock"]
    index_path = write_index(tmp_path, sample)
    for _ in range(30):
        run = run_script(EXIT_SCRIPT, sample.path, index_path)
        assert (run.returncode, run.stderr) == (0, "")
