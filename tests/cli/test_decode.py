"""Decode mode: output naming, safe output files, metadata and the same-file checks."""

import json
import os
import subprocess

import pytest

from conftest import BIN, compress, corrupt, run, temp_files, text_data, write_bz2


@pytest.mark.parametrize(
    "name, output",
    [("data.bz2", "data"), ("Data.BZ2", "Data.BZ2.out"), ("data.tbz", "data.tbz.out"), ("data", "data.out"),
     (".bz2", ".bz2.out"), ("dir/x.tar.bz2", "dir/x.tar")],
)
def test_output_names(tmp_path, name, output):
    (tmp_path / "dir").mkdir()
    write_bz2(tmp_path / name, b"payload\n")
    r = run(name, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert (tmp_path / output).read_bytes() == b"payload\n"
    assert (tmp_path / name).exists()  # kept without --rm


def test_output_dir_with_missing_parents(tmp_path, sample):
    path, data = sample
    (tmp_path / "in" / "sub").mkdir(parents=True)
    os.rename(path, tmp_path / "in" / "sub" / "a.bz2")
    r = run("-C", "out/deep", "in/sub/a.bz2", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert (tmp_path / "out" / "deep" / "a").read_bytes() == data

    # The directory is made first, even when every input is then skipped.
    (tmp_path / "fresh").mkdir()
    (tmp_path / "fresh" / "a").write_bytes(b"old")
    r = run("--skip-existing", "-C", "made/here", "fresh/a", cwd=tmp_path)
    assert (tmp_path / "made" / "here").is_dir()


def test_skip_existing_notice_and_quiet(tmp_path, sample):
    path, _ = sample
    target = tmp_path / "data"
    target.write_bytes(b"keep")
    r = run("--skip-existing", "--rm", path)
    assert (r.returncode, r.stderr.decode()) == (0, f"morvane: skipping existing {target}\n")
    r = run("--skip-existing", "-q", path)
    assert (r.returncode, r.stderr) == (0, b"")
    assert target.read_bytes() == b"keep" and path.exists()


def test_existing_target_is_refused_and_later_inputs_untouched(tmp_path, sample):
    path, _ = sample
    (tmp_path / "data").write_bytes(b"keep")
    write_bz2(tmp_path / "later.bz2", b"later")
    r = run("data.bz2", "later.bz2", cwd=tmp_path)
    assert (r.returncode, r.stderr) == (1, b"morvane: data already exists (use --force)\n")
    assert (tmp_path / "data").read_bytes() == b"keep"
    assert not (tmp_path / "later").exists()
    assert temp_files(tmp_path) == []

    # A missing input is reported as such even when its target exists.
    (tmp_path / "gone").write_bytes(b"x")
    r = run("gone.bz2", cwd=tmp_path)
    assert (r.returncode, r.stderr) == (1, b"morvane: No such file or directory (os error 2)\n")

    r = run("--force", "data.bz2", cwd=tmp_path)
    assert r.returncode == 0
    assert (tmp_path / "data").read_bytes() == sample[1]


def test_corrupt_input_leaves_no_output(tmp_path, sample):
    path, data = sample
    path.write_bytes(corrupt(path.read_bytes()))
    r = run(path)
    assert r.returncode == 3
    assert not (tmp_path / "data").exists() and temp_files(tmp_path) == []

    (tmp_path / "data").write_bytes(b"before")
    r = run("--force", "--rm", path)
    assert r.returncode == 3
    assert (tmp_path / "data").read_bytes() == b"before"
    assert path.exists() and temp_files(tmp_path) == []

    r = run("--force", "--memory-limit", "46620003", path)
    assert r.returncode == 2 and temp_files(tmp_path) == []


def test_max_output_leaves_no_file(tmp_path, sample):
    path, data = sample
    r = run("--max-output", str(len(data) - 1), path)
    assert r.returncode == 3
    assert r.stderr.decode().startswith("morvane: decoded output exceeds ")
    assert not (tmp_path / "data").exists() and temp_files(tmp_path) == []
    assert run("--max-output", str(len(data)), path).returncode == 0
    assert (tmp_path / "data").read_bytes() == data


def test_time_and_mode_are_copied(tmp_path, sample):
    path, _ = sample
    os.chmod(path, 0o1751)
    os.utime(path, ns=(1_000_000_000, 1_234_567_891_234_567_891))
    r = run(path)
    assert r.returncode == 0, r.stderr
    out = os.stat(tmp_path / "data")
    assert out.st_mtime_ns == 1_234_567_891_234_567_891
    assert out.st_atime_ns != 1_000_000_000
    assert out.st_mode & 0o7777 == 0o1751


@pytest.mark.skipif(os.geteuid() != 0, reason="needs to own files as another user")
def test_set_id_bits_dropped_for_another_owner(tmp_path):
    write_bz2(tmp_path / "own.bz2", b"x")
    os.chmod(tmp_path / "own.bz2", 0o6755)
    assert run(tmp_path / "own.bz2").returncode == 0
    assert os.stat(tmp_path / "own").st_mode & 0o7777 == 0o6755  # same owner and group: kept

    write_bz2(tmp_path / "user.bz2", b"x")
    os.chown(tmp_path / "user.bz2", 12345, 0)
    os.chmod(tmp_path / "user.bz2", 0o6755)
    assert run(tmp_path / "user.bz2").returncode == 0
    assert os.stat(tmp_path / "user").st_mode & 0o7777 == 0o2755  # owner differs

    write_bz2(tmp_path / "group.bz2", b"x")
    os.chown(tmp_path / "group.bz2", 0, 12345)
    os.chmod(tmp_path / "group.bz2", 0o6755)
    assert run(tmp_path / "group.bz2").returncode == 0
    assert os.stat(tmp_path / "group").st_mode & 0o7777 == 0o4755  # group differs


def test_three_inputs_second_failing(tmp_path):
    first, third = text_data(300_000, 1), text_data(1000, 3)
    write_bz2(tmp_path / "a.bz2", first)
    (tmp_path / "b.bz2").write_bytes(corrupt(compress(text_data(300_000, 2))))
    write_bz2(tmp_path / "c.bz2", third)
    r = run("--rm", "a.bz2", "b.bz2", "c.bz2", cwd=tmp_path)
    assert r.returncode == 3
    assert (tmp_path / "a").read_bytes() == first and not (tmp_path / "a.bz2").exists()
    assert not (tmp_path / "b").exists() and (tmp_path / "b.bz2").exists()
    assert not (tmp_path / "c").exists() and (tmp_path / "c.bz2").exists()
    assert temp_files(tmp_path) == []


def test_stdout_targets(tmp_path, sample):
    path, data = sample
    # Input "-" goes to standard output whatever --output says, and is never removed.
    r = run("--rm", "-o", "named", "-", cwd=tmp_path, input_bytes=path.read_bytes())
    assert (r.returncode, r.stdout) == (0, data)
    assert not (tmp_path / "named").exists() and path.exists()
    # A named input with --output "-" (as a path: "-/" too) is removed after success.
    r = run("-o", "-/", path)
    assert (r.returncode, r.stdout) == (0, data) and path.exists()
    r = run("--rm", "-o", "-", path)
    assert (r.returncode, r.stdout) == (0, data) and not path.exists()


def test_max_output_boundaries_on_stdout(tmp_path, sample):
    path, data = sample
    listing = run("--list", "--json", path)
    last_block = json.loads(listing.stdout)["blocks"][-1]["decoded_bytes"]
    r = run("-o", "-", "--max-output", str(len(data)), path)
    assert (r.returncode, r.stdout) == (0, data)
    r = run("-o", "-", "--max-output", str(len(data) - 1), path)
    assert r.returncode == 3
    assert r.stdout == data[: len(data) - last_block]  # every earlier block was written

    empty = tmp_path / "empty.bz2"
    empty.write_bytes(compress(b""))
    assert run("-o", "-", "--max-output", "0", empty).returncode == 0
    r = run("-o", "-", "--max-output", "0", path)
    assert (r.returncode, r.stdout) == (3, b"")


def test_same_file_under_two_names_is_refused(tmp_path, sample):
    path, data = sample
    blob = path.read_bytes()
    os.link(path, tmp_path / "hard.bz2")
    os.symlink("data.bz2", tmp_path / "soft")
    for output in ["data.bz2", "data.bz2/", ".//./data.bz2", "hard.bz2", "soft"]:
        r = run("--force", "--rm", "-o", output, "data.bz2", cwd=tmp_path)
        assert r.returncode == 2, output
        assert r.stderr == b"morvane: invalid configuration: input and output are both data.bz2\n"
        assert path.read_bytes() == blob
    assert temp_files(tmp_path) == []


def test_broken_pipe_is_an_error_not_a_signal(tmp_path, sample):
    path, _ = sample
    proc = subprocess.Popen([BIN, "-o", "-", str(path)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.read(1)
    proc.stdout.close()
    err = proc.stderr.read()
    assert proc.wait() == 1
    assert err == b"morvane: Broken pipe (os error 32)\n"


def test_closed_standard_descriptors(tmp_path, sample):
    path, data = sample
    # With standard output closed the data goes to /dev/null, never into a file.
    r = subprocess.run(["sh", "-c", 'exec "$0" "$@" >&-', BIN, "-o", "-", str(path)], stderr=subprocess.PIPE)
    assert (r.returncode, r.stderr) == (0, b"")
    r = subprocess.run(["sh", "-c", 'exec "$0" "$@" <&- >&- 2>&-', BIN, str(path)])
    assert r.returncode == 0
    assert (tmp_path / "data").read_bytes() == data
