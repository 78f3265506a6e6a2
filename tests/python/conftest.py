"""Shared fixtures: the built _core module and test inputs made at test time."""

import bz2
import os
import random
import shutil
import subprocess
import sys

import pytest

sys.path.insert(0, os.environ.get("MORVANE_PYTHONPATH", ""))
sys.path.insert(1, os.path.dirname(__file__))
sys.path.insert(2, os.path.join(os.path.dirname(__file__), "..", "support"))  # the helpers shared with the program's suite
from shared import text_data  # noqa: E402


def raises(kind, function, *args, **kwargs):
    """Calls function, which must raise exactly `kind`; returns the exception."""
    with pytest.raises(kind) as caught:
        function(*args, **kwargs)
    assert type(caught.value) is kind
    return caught.value


def run_compressor(args, data):
    return subprocess.run(args, input=data, stdout=subprocess.PIPE, check=True).stdout


class Sample:
    """One compressed input: its bytes, a file holding them, and the decoded oracle."""

    def __init__(self, directory, name, compressed):
        self.compressed = compressed
        self.data = bz2.decompress(compressed)
        self.path = os.path.join(directory, name)
        with open(self.path, "wb") as f:
            f.write(compressed)


def run_script(script, *args):
    """Runs `script` in a fresh interpreter; argv[1] is the folder of the built _core."""
    import _core
    return subprocess.run([sys.executable, "-c", script, os.path.dirname(_core.__file__), *map(str, args)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def write_index(directory, sample):
    """The sample's index file, written by _build_index into `directory`."""
    import _core
    path = directory / (os.path.basename(sample.path) + ".zuvov")
    path.write_bytes(_core._build_index(sample.path))
    return path


@pytest.fixture(scope="session")
def samples(tmp_path_factory):
    """Real inputs from the distribution's compressors and Python's bz2."""
    directory = str(tmp_path_factory.mktemp("samples"))
    text = text_data(1_200_000)
    made = {
        # about a dozen 100k blocks in one stream
        "multiblock": run_compressor(["bzip2", "-1", "-c"], text),
        "level9": run_compressor(["bzip2", "-9", "-c"], text[:300_000]),
        # pbzip2 writes one stream per 100k chunk
        "multistream": run_compressor(["pbzip2", "-1", "-b1", "-c", "-p2"], text),
        "small": bz2.compress(b"hello, bzip2\n" * 700, 9),
        "binary": bz2.compress(bytes(random.Random(7).getrandbits(8) for _ in range(150_000)), 3),
        "runs": bz2.compress(b"\0" * 500_000 + b"\xff" * 70_000, 2),
        "concatenated": bz2.compress(b"first stream\n" * 50, 1) + bz2.compress(b"", 5)
        + bz2.compress(text[:50_000], 4),
    }
    return {name: Sample(directory, name + ".bz2", c) for name, c in made.items()}


@pytest.fixture(scope="session")
def morvane_bin():
    path = os.environ.get("MORVANE_BIN", "")
    if not path or not os.access(path, os.X_OK):
        pytest.skip("the morvane program is not built")
    return path


@pytest.fixture(scope="session")
def nm_tool():
    path = shutil.which("nm")
    if path is None:
        pytest.skip("nm is not installed")
    return path
