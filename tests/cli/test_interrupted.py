"""A decode disturbed from outside: an input truncated and a target replaced
while the decode runs. Nothing may be left behind but what was there before."""

import os
import stat

import pytest

from conftest import stopped_while_decoding, temp_files, write_long_input

TRUNCATED = b"morvane: input file was truncated or became unreadable during the decode\n"


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
