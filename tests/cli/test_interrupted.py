"""A decode disturbed from outside: signals, a file-size limit, an input
truncated and a target replaced while the decode runs. Nothing may be left
behind but what was there before."""

import os
import resource
import signal
import stat
import subprocess

import pytest

from conftest import BIN, compress, stopped_while_decoding, temp_files, write_long_input

TRUNCATED = b"morvane: input file was truncated or became unreadable during the decode\n"


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_a_terminating_signal_removes_the_temporary_file(tmp_path, sig):
    write_long_input(tmp_path / "big.bz2")
    with stopped_while_decoding(["-P1", "big.bz2"], tmp_path) as proc:
        os.kill(proc.pid, sig)
    assert proc.wait() == -sig  # ends as the signal would
    assert sorted(os.listdir(tmp_path)) == ["big.bz2"]


def test_a_file_size_limit_is_an_output_error(tmp_path):
    (tmp_path / "zeros.bz2").write_bytes(compress(bytes(4 << 20)))
    _, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, hard))
    r = subprocess.run([BIN, "zeros.bz2"], cwd=tmp_path, stderr=subprocess.PIPE, preexec_fn=limit)
    assert (r.returncode, r.stderr) == (1, b"morvane: File too large (os error 27)\n")
    assert sorted(os.listdir(tmp_path)) == ["zeros.bz2"]


@pytest.mark.parametrize("threads", ["1", "4"])
def test_an_input_truncated_during_the_decode_is_an_io_error(tmp_path, threads):
    # The mapped pages past the new end fault; the program reports it instead of dying of SIGBUS.
    write_long_input(tmp_path / "big.bz2")
    with stopped_while_decoding(["-P", threads, "big.bz2"], tmp_path) as proc:
        os.truncate(tmp_path / "big.bz2", 100)
    _, err = proc.communicate()
    assert (proc.returncode, err) == (1, TRUNCATED)
    assert sorted(os.listdir(tmp_path)) == ["big.bz2"]


@pytest.mark.parametrize("kind", ["fifo", "link to /dev/null"])
def test_a_target_replaced_during_the_decode_is_checked_again(tmp_path, kind):
    write_long_input(tmp_path / "big.bz2")
    (tmp_path / "out").write_bytes(b"old")
    with stopped_while_decoding(["-P1", "--force", "-o", "out", "big.bz2"], tmp_path) as proc:
        os.remove(tmp_path / "out")
        if kind == "fifo":
            os.mkfifo(tmp_path / "out")
        else:
            os.symlink("/dev/null", tmp_path / "out")
    _, err = proc.communicate()
    assert (proc.returncode, err) == (1, b"morvane: out is not a regular file\n")
    mode = os.lstat(tmp_path / "out").st_mode
    assert stat.S_ISFIFO(mode) if kind == "fifo" else os.readlink(tmp_path / "out") == "/dev/null"
    assert temp_files(tmp_path) == []
