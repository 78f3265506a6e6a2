"""A decode disturbed from outside: an input truncated while the decode runs.
Nothing may be left behind but what was there before."""

import os

import pytest

from conftest import stopped_while_decoding, write_long_input

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
