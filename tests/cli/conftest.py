"""Shared helpers for driving the built morvane program."""

import bz2
import contextlib
import os
import resource
import signal
import subprocess
import sys

import pytest

# The helpers shared with the module's suite.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
from shared import HEADER_ERROR, text_data  # noqa: E402,F401

BIN = os.environ.get("MORVANE_BIN", "morvane")
SAME_FILE = b"morvane: invalid configuration: input and output are both data.bz2\n"
HEADER_ERROR_LINE = b"morvane: " + HEADER_ERROR.encode() + b"\n"


def run(*args, cwd=None, stdin=None, input_bytes=None):
    """Runs the program; stdin is a file object or None (then input_bytes or nothing)."""
    return subprocess.run(
        [BIN, *[str(a) for a in args]],
        cwd=cwd,
        stdin=stdin if stdin is not None else (None if input_bytes is not None else subprocess.DEVNULL),
        input=input_bytes,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )


def outcome(*args, **kwargs):
    """Runs the program; returns its exit status and standard error."""
    r = run(*args, **kwargs)
    return r.returncode, r.stderr


def compress(data, level=1):
    return bz2.compress(data, level)


def write_bz2(path, data, level=1):
    path.write_bytes(compress(data, level))
    return path


def corrupt(blob):
    """The same stream with one byte of the first block's coded data flipped."""
    damaged = bytearray(blob)
    damaged[len(damaged) // 2] ^= 0x55
    return bytes(damaged)


def temp_files(directory):
    return sorted(p.name for p in directory.iterdir() if p.name.startswith(".tmp"))


def limit_address_space():
    """For preexec_fn: a reader that never stops fails to allocate instead of filling the machine."""
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (512 << 20, hard))


def write_long_input(path, copies=40):
    """A multi-stream input that one thread takes about half a second to decode,
    made quickly: one stream of 900 kB of text, repeated."""
    path.write_bytes(compress(text_data(900_000), 9) * copies)
    return path


def default_signals():
    """For preexec_fn: the terminating signals as a shell started in the background may not leave them."""
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, signal.SIG_DFL)


@contextlib.contextmanager
def stopped_while_decoding(args, cwd):
    """Starts the program and stops it (SIGSTOP) as soon as its temporary file
    exists in `cwd`, before the decode has got far; yields the stopped process,
    then lets it go on (SIGCONT). The caller waits for it."""
    proc = subprocess.Popen([BIN, *map(str, args)], cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            preexec_fn=default_signals)
    try:
        while not temp_files(cwd):
            assert proc.poll() is None, proc.communicate()
        os.kill(proc.pid, signal.SIGSTOP)
        assert temp_files(cwd), "the decode ended before it could be stopped"
        yield proc
    finally:
        os.kill(proc.pid, signal.SIGCONT)


@pytest.fixture
def sample(tmp_path):
    """A multi-block input data.bz2 in a fresh directory, with its plain text."""
    data = text_data(600_000)
    path = write_bz2(tmp_path / "data.bz2", data)
    return path, data
