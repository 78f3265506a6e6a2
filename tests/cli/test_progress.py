"""The progress line on a terminal: drawn in place, closed by one newline, absent elsewhere."""

import os
import pty
import re
import subprocess
import threading
import time
import tty

from conftest import BIN, text_data, write_bz2

SIZE = r"(?:\d+ B|\d+\.\d [KMGT]iB)"
ETA = r"(?:\d+s|\d+m\d\ds|\d+h\d\dm)"
DRAW = re.compile(
    rf"\r\x1b\[2K(?P<name>[^:]+): (?P<pct>[ \d]{{2}}\d\.\d)%  (?P<done>{SIZE}) → (?P<decoded>{SIZE})  "
    rf"{SIZE}/s  \d+\.\d×  ETA (?P<eta>{ETA})")


def run_slowly(args, cwd, terminal=True):
    """Runs with standard output on a pipe read slowly, so the decode lasts well over
    200 ms, and standard error on a raw pseudo-terminal (or a pipe). Returns (status, stdout, stderr)."""
    if terminal:
        master, slave = pty.openpty()
        tty.setraw(slave)  # no newline translation: the bytes are the program's
        err_target = slave
    else:
        err_target = subprocess.PIPE
    proc = subprocess.Popen([BIN, *args], cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=err_target)
    err = bytearray()
    if terminal:
        os.close(slave)

        def drain():
            while True:
                try:
                    chunk = os.read(master, 4096)
                except OSError:  # the terminal closes when the program ends
                    return
                if not chunk:
                    return
                err.extend(chunk)

        reader = threading.Thread(target=drain)
        reader.start()
    out = bytearray()
    while chunk := proc.stdout.read(32768):
        out.extend(chunk)
        time.sleep(0.01)
    status = proc.wait()
    if terminal:
        reader.join()
        os.close(master)
    else:
        err.extend(proc.stderr.read())
    return status, bytes(out), bytes(err).decode()


def test_progress_line_shape(tmp_path):
    data = text_data(2_000_000)
    write_bz2(tmp_path / "big.bz2", data)
    status, out, err = run_slowly(["-o", "-", "big.bz2"], tmp_path)
    assert status == 0 and out == data
    assert err.endswith("\n") and err.count("\n") == 1
    draws = err[:-1].split("\r\x1b[2K")[1:]
    assert len(draws) >= 2, err
    assert err.startswith("\r\x1b[2K")
    for draw in draws:
        match = DRAW.fullmatch("\r\x1b[2K" + draw)
        assert match, draw
        assert match["name"] == "big.bz2"
    last = DRAW.fullmatch("\r\x1b[2K" + draws[-1])
    assert last["pct"] == "100.0" and last["eta"] == "0s"
    assert last["decoded"] == "1.9 MiB"  # 2000000 bytes


def test_progress_line_closed_before_error(tmp_path):
    data = text_data(2_000_000)
    write_bz2(tmp_path / "big.bz2", data)
    status, _, err = run_slowly(["-o", "-", "--max-output", str(len(data) - 1), "big.bz2"], tmp_path)
    assert status == 3
    line, newline, error = err.rpartition("\n")[0].rpartition("\n")
    assert line.startswith("\r\x1b[2K") and "\n" not in line
    assert error == "morvane: decoded output exceeds 1.9 MiB"


def test_nothing_drawn_without_terminal_or_with_quiet(tmp_path):
    data = text_data(2_000_000)
    write_bz2(tmp_path / "big.bz2", data)
    status, out, err = run_slowly(["-q", "-o", "-", "big.bz2"], tmp_path)
    assert (status, err) == (0, "") and out == data
    status, out, err = run_slowly(["-o", "-", "big.bz2"], tmp_path, terminal=False)
    assert (status, err) == (0, "") and out == data
