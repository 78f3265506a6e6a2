#!/usr/bin/env python3
"""The Python module against Python's bz2 on the benchmark corpus, and random
4 KiB reads through _IndexedReader.

    bench/bench_python.py [folder holding _core] [compressed corpus]

Defaults: build/python and the corpus that bench/corpus builds. Prints wall
times (best of MORVANE_BENCH_RUNS runs, default 3) and ratios (bz2 / ours,
above 1 means faster), then read latencies as median and 99th percentile."""

import bz2
import os
import random
import statistics
import subprocess
import sys
import time
import timeit

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUNS = int(os.environ.get("MORVANE_BENCH_RUNS", "3"))
READS = 2000
READ_SIZE = 4096


def corpus_path():
    folder = subprocess.run([os.path.join(ROOT, "bench", "corpus")], stdout=subprocess.PIPE, check=True,
                            text=True).stdout.strip().splitlines()[-1]
    return os.path.join(folder, "corpus.tar.bz2")


def best(function, runs=RUNS):
    times = []
    result = None
    for _ in range(runs):
        start = time.perf_counter()
        result = function()
        times.append(time.perf_counter() - start)
    return min(times), result


def latencies(reader, size, rng):
    samples = []
    for _ in range(READS):
        offset = rng.randrange(max(1, size - READ_SIZE))
        start = time.perf_counter_ns()
        reader.seek(offset)
        piece = reader.read(READ_SIZE)
        samples.append(time.perf_counter_ns() - start)
        assert len(piece) == min(READ_SIZE, size - offset)
    samples.sort()
    return statistics.median(samples) / 1000, samples[int(len(samples) * 0.99)] / 1000


def small_streams(core):
    """A call's fixed cost: one small stream at a time, best of many calls."""
    rng = random.Random(7)
    words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9))) for _ in range(3000)]
    text = b""
    while len(text) < 200_000:
        text += b" ".join(rng.choice(words) for _ in range(10)) + b"\n"
    aims = {100: "threads=1 under 25 us, threads=0 under 150 us", 10_000: "within 2x of bz2, threads=0 under 150 us",
            200_000: "faster than bz2"}
    for size in (100, 10_000, 200_000):
        stream = bz2.compress(text[:size], 9)
        calls = 20_000 if size <= 10_000 else 500
        timed = lambda f: min(timeit.repeat(f, number=1, repeat=calls)) * 1e6
        peer = timed(lambda: bz2.decompress(stream))
        one = timed(lambda: core._decompress(stream, threads=1))
        zero = timed(lambda: core._decompress(stream, threads=0))
        print(f"{f'{size} B stream ({len(stream)} B compressed)':40s} bz2 {peer:8.1f} us   threads=1 {one:8.1f} us "
              f"({peer / one:5.2f}x)   threads=0 {zero:8.1f} us ({peer / zero:5.2f}x)   aim: {aims[size]}")


def main():
    sys.path.insert(0, sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "python"))
    import _core

    small_streams(_core)
    path = sys.argv[2] if len(sys.argv) > 2 else corpus_path()
    with open(path, "rb") as f:
        compressed = f.read()
    print(f"corpus: {path}, {len(compressed)} bytes compressed; best of {RUNS} runs")

    peer, expected = best(lambda: bz2.decompress(compressed), runs=1)
    print(f"{'bz2.decompress':40s} {peer:8.2f}s")
    for threads in (1, 0):
        ours, output = best(lambda: _core._decompress(compressed, threads=threads))
        assert output == expected
        label = f"_core._decompress threads={threads or os.cpu_count()}"
        print(f"{label:40s} {ours:8.2f}s   ratio {peer / ours:.2f}x")
    del expected, output

    build, image = best(lambda: _core._build_index(path), runs=1)
    print(f"{'_core._build_index (all threads)':40s} {build:8.2f}s")
    rng = random.Random(42)
    for cache_limit, label in ((64 << 20, "64 MiB cache"), (0, "no cache")):
        reader = _core._IndexedReader.from_bytes(compressed, index=image, cache_limit=cache_limit)
        median, p99 = latencies(reader, reader.size, rng)
        print(f"{'random 4 KiB reads, ' + label:40s} median {median:9.1f} us   p99 {p99:9.1f} us   ({READS} reads)")


if __name__ == "__main__":
    main()
