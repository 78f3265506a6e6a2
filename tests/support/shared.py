"""What the pytest suites of the program and of the module share: expected
values that both check, and the test text. Both conftest files put this folder
on the path."""

import os
import random
import subprocess

# The version the build was configured with (project(VERSION)), set by ctest.
VERSION = os.environ.get("MORVANE_VERSION", "")

# The error of an input that does not start with a stream header.
HEADER_ERROR = "input does not start with a bzip2 BZh1-BZh9 header"
# The smallest memory limit (the most one block can decode to), and the error below it.
MIN_LIMIT = 46620004
LIMIT_ERROR = f"memory limit must be at least {MIN_LIMIT} bytes"
# The first bytes of an index image.
INDEX_MAGIC = b"DOZEZIZ\0"


def text_data(size, seed=1):
    """Word salad: compresses like real text, deterministic per seed."""
    rng = random.Random(seed)
    words = [
        "".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(1, 9)))
        for _ in range(3000)
    ]
    out = []
    length = 0
    while length < size:
        line = " ".join(rng.choice(words) for _ in range(rng.randint(3, 14))) + "\n"
        out.append(line)
        length += len(line)
    return "".join(out).encode()[:size]


def crafted(mode, *sizes):
    """One of the test support's crafted inputs (make_crafted), as bytes."""
    maker = os.environ["MORVANE_MAKE_CRAFTED"]
    return subprocess.run([maker, mode, *map(str, sizes)], stdout=subprocess.PIPE, check=True).stdout
