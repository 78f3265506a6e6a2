"""The command line: sizes, usage errors, combination checks and exit statuses."""

import pytest

from conftest import HEADER_ERROR_LINE as HEADER_ERROR, compress, corrupt, outcome, run, temp_files, text_data
from shared import LIMIT_ERROR, MIN_LIMIT, VERSION

GIB = 1 << 30
USAGE = "Usage: morvane [OPTIONS] <INPUTS>..."


@pytest.mark.parametrize(
    "value, expected",
    [("1G", GIB), ("1g", GIB), ("1GB", GIB), ("1gib", GIB), ("1GiB", GIB), ("0", 0), ("5", 5), ("7b", 7),
     ("2T", 2 << 40), ("3k", 3072), ("2MiB", 2 << 20), ("18446744073709551615", 2**64 - 1)],
)
def test_sizes_accepted(tmp_path, value, expected):
    # The cap shows the parsed value in the message, so a cap just below the
    # decoded size proves the number: 7b refuses 8 bytes, 5 refuses 6.
    (tmp_path / "x.bz2").write_bytes(compress(b"z" * 8))
    r = run("--test", "--max-output", value, tmp_path / "x.bz2")
    if expected >= 8:
        assert r.returncode == 0, r.stderr
    else:
        assert (r.returncode, r.stderr.decode()) == (3, f"morvane: decoded output exceeds {expected} B\n")


@pytest.mark.parametrize(
    "option, value, message",
    [("--max-output", "", 'invalid size ""'), ("--max-output", "k", 'invalid size "k"'),
     ("--max-output", "+1", 'invalid size "+1"'),
     ("--max-output", "18446744073709551616", 'invalid size "18446744073709551616"'),
     ("--max-output", "1.5G", 'invalid size suffix in "1.5G"'),
     ("--max-output", "1 G", 'invalid size suffix in "1 G"'), ("--max-output", "10xb", 'invalid size suffix in "10xb"'),
     ("--max-output", "5\t", 'invalid size suffix in "5\\t"'),
     ("--max-output", "16777216T", 'size "16777216T" overflows this platform'),
     ("--max-output", "17179869184G", 'size "17179869184G" overflows this platform'),
     ("--memory-limit", "", 'invalid size ""'),  # "--memory-limit=" gives the empty value, not the next argument
     ("--threads", "-1", "invalid digit found in string")],
)
def test_sizes_refused(option, value, message):
    r = run("--test", f"{option}={value}", "missing.bz2")
    assert r.returncode == 2 and USAGE in r.stderr.decode()
    placeholder = option[2:].upper().replace("-", "_")
    assert f"'{option} <{placeholder}>': {message}\n" in r.stderr.decode()


@pytest.mark.parametrize(
    "args",
    [["--json", "a.bz2"], ["--test", "--list", "a.bz2"], ["--test", "--index", "a.bz2"],
     ["--index", "--list", "a.bz2"], ["--test", "-o", "x", "a.bz2"], ["--list", "-o", "x", "a.bz2"],
     ["-o", "x", "-C", "d", "a.bz2"], ["--index", "-C", "d", "a.bz2"], ["--test", "-f", "a.bz2"],
     ["-f", "--skip-existing", "a.bz2"], ["--list", "--skip-existing", "a.bz2"], ["--index", "--rm", "a.bz2"],
     ["--test", "--rm", "a.bz2"], ["--bogus", "a.bz2"], [], ["--threads", "18446744073709551616", "a.bz2"],
     ["--threads", "", "a.bz2"], ["--threads", " 1", "a.bz2"], ["--threads", "0x10", "a.bz2"],
     ["--test=false", "a.bz2"], ["\udcff.bz2"], ["--max-output", "1\udcff", "a.bz2"]],
)
def test_usage_errors_touch_nothing(tmp_path, args):
    (tmp_path / "a.bz2").write_bytes(compress(b"hello"))
    r = run(*args, cwd=tmp_path)
    assert (r.returncode, r.stdout) == (2, b""), r.stderr
    assert r.stderr.decode().startswith("error: ") and USAGE in r.stderr.decode()
    if any("\udcff" in a for a in args):
        assert "invalid UTF-8" in r.stderr.decode()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.bz2"]


@pytest.mark.parametrize(
    "args, option",
    [(["-o", "", "a.bz2"], "--output <OUTPUT>"), (["--output=", "a.bz2"], "--output <OUTPUT>"),
     (["--index", "-o", "", "a.bz2"], "--output <OUTPUT>"), (["-C", "", "a.bz2"], "--output-dir <OUTPUT_DIR>"),
     (["--output-dir=", "a.bz2"], "--output-dir <OUTPUT_DIR>")],
)
def test_empty_output_paths_are_usage_errors(tmp_path, args, option):
    (tmp_path / "a.bz2").write_bytes(compress(b"hello"))
    r = run(*args, cwd=tmp_path)
    assert (r.returncode, r.stdout) == (2, b"")
    assert r.stderr.decode().startswith(f"error: invalid value '' for '{option}': a path must not be empty\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.bz2"]


def test_accepted_thread_counts_and_index_output(tmp_path):
    (tmp_path / "a.bz2").write_bytes(compress(b"hello"))
    for threads in ["-P0", "-P1", "-P+2", "--threads=007", "-P=3"]:
        r = run("--test", threads, tmp_path / "a.bz2")
        assert r.returncode == 0, (threads, r.stderr)
    r = run("--index", "-o", "idx", "a.bz2", cwd=tmp_path)
    assert r.returncode == 0 and (tmp_path / "idx").is_file(), r.stderr


@pytest.mark.parametrize("flag", ["--help", "-h", "--version", "-V"])
def test_help_and_version_on_stdout(flag):
    r = run(flag)
    assert (r.returncode, r.stderr) == (0, b"")
    out = r.stdout.decode()
    if flag in ("--version", "-V"):
        assert out == f"morvane {VERSION}\n"
        return
    assert out.startswith("Fast parallel and indexed bzip2 decompression\n") and USAGE in out
    for line in ["  -o, --output <OUTPUT>", "Output path, or - for stdout; requires one input",
                 "-P, --threads <THREADS>", "[default: 0]", "--memory-limit <MEMORY_LIMIT>", "[default: 1G]",
                 "--rm ", "Remove compressed inputs after successful extraction", "Emit list output as JSON"]:
        assert line in out


@pytest.mark.parametrize(
    "args, reason",
    [(["-o", "x", "a.bz2", "b.bz2"], "--output requires exactly one input"),
     (["-", "a.bz2"], "stdin must be the only input"),
     (["--test", "a.bz2", "-"], "stdin must be the only input"),
     (["--list", "-"], "stdin is supported only for decoding and --test"),
     (["--index", "-"], "stdin is supported only for decoding and --test")],
)
def test_combination_checks(tmp_path, args, reason):
    r = run(*args, cwd=tmp_path, input_bytes=b"not read")
    assert (r.returncode, r.stdout, r.stderr.decode()) == (2, b"", f"morvane: invalid configuration: {reason}\n")
    assert list(tmp_path.iterdir()) == []


def test_exit_statuses(tmp_path):
    good = tmp_path / "good.bz2"
    good.write_bytes(compress(text_data(2_000_000)))
    bad = tmp_path / "bad.bz2"
    bad.write_bytes(corrupt(good.read_bytes()))
    missing = tmp_path / "missing.bz2"
    missing_error = b"morvane: No such file or directory (os error 2)\n"
    assert run("--test", good).returncode == 0
    assert outcome("--test", missing) == (1, missing_error)
    r = run("--test", bad)
    assert r.returncode == 3 and r.stderr.startswith(b"morvane: bzip2 decode error at bit ")
    for cap, shown in [("1000", "1000 B"), ("1536", "1.5 KiB"), ("1M", "1.0 MiB"), ("1048575", "1024.0 KiB")]:
        assert outcome("--test", "--max-output", cap, good) == (
            3, f"morvane: decoded output exceeds {shown}\n".encode())
    assert outcome("--test", "--memory-limit", "46620003", good) == (
        2, f"morvane: invalid configuration: {LIMIT_ERROR}\n".encode())
    assert run("--test", "--memory-limit", str(MIN_LIMIT), good).returncode == 0

    # A good input, then a failing one: the first is silent, the run stops at
    # the second, and the third (of another failure kind) is never reached.
    r = run("--test", good, missing, bad)
    assert (r.returncode, r.stdout, r.stderr) == (1, b"", missing_error)
    r = run("--test", good, bad, missing)
    assert r.returncode == 3 and r.stderr.count(b"\n") == 1
    assert temp_files(tmp_path) == []


def test_test_mode_reads_stdin():
    assert run("--test", "-", input_bytes=compress(text_data(200_000))).returncode == 0
    # Empty standard input: fine on the one-thread road, no header on the scanning road.
    assert run("--test", "-P1", "-", input_bytes=b"").returncode == 0
    assert outcome("--test", "-P2", "-", input_bytes=b"") == (3, HEADER_ERROR)
