"""Decode mode: output naming, safe output files, metadata and the same-file checks."""

import contextlib
import json
import os
import stat
import subprocess

import pytest

from conftest import (BIN, HEADER_ERROR_LINE, SAME_FILE, compress, corrupt, limit_address_space, outcome, run,
                      temp_files, text_data, write_bz2)


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
    (tmp_path / "a").write_bytes(b"old")
    run("--skip-existing", "-C", "made/here", "a", cwd=tmp_path)
    assert (tmp_path / "made" / "here").is_dir()


def test_existing_targets_skip_quiet_refuse_and_force(tmp_path, sample):
    path, data = sample
    target = tmp_path / "data"
    target.write_bytes(b"keep")
    assert outcome("--skip-existing", "--rm", path) == (0, f"morvane: skipping existing {target}\n".encode())
    assert outcome("--skip-existing", "-q", path) == (0, b"")
    assert target.read_bytes() == b"keep" and path.exists()

    write_bz2(tmp_path / "later.bz2", b"later")
    assert outcome("data.bz2", "later.bz2", cwd=tmp_path) == (1, b"morvane: data already exists (use --force)\n")
    assert target.read_bytes() == b"keep" and not (tmp_path / "later").exists()
    # A missing input is reported as such even when its target exists.
    (tmp_path / "gone").write_bytes(b"x")
    assert outcome("gone.bz2", cwd=tmp_path) == (1, b"morvane: No such file or directory (os error 2)\n")
    assert run("--force", "data.bz2", cwd=tmp_path).returncode == 0
    assert target.read_bytes() == data and temp_files(tmp_path) == []


def test_failures_leave_no_output(tmp_path, sample):
    path, data = sample
    blob = path.read_bytes()
    r = run("--max-output", str(len(data) - 1), path)
    assert r.returncode == 3 and r.stderr.decode().startswith("morvane: decoded output exceeds ")
    assert not (tmp_path / "data").exists() and temp_files(tmp_path) == []

    path.write_bytes(corrupt(blob))
    assert run(path).returncode == 3
    assert not (tmp_path / "data").exists() and temp_files(tmp_path) == []
    (tmp_path / "data").write_bytes(b"before")
    assert run("--force", "--rm", path).returncode == 3
    assert run("--force", "--memory-limit", "46620003", path).returncode == 2
    assert (tmp_path / "data").read_bytes() == b"before"
    assert path.exists() and temp_files(tmp_path) == []

    path.write_bytes(blob)
    assert run("--force", "--max-output", str(len(data)), path).returncode == 0
    assert (tmp_path / "data").read_bytes() == data


def test_time_and_mode_are_copied(tmp_path, sample):
    path, _ = sample
    os.chmod(path, 0o1751)
    os.utime(path, ns=(1_000_000_000, 1_234_567_891_234_567_891))
    r = run(path)
    assert r.returncode == 0, r.stderr
    out = os.stat(tmp_path / "data")
    assert (out.st_mtime_ns, out.st_mode & 0o7777) == (1_234_567_891_234_567_891, 0o1751)
    assert out.st_atime_ns != 1_000_000_000


@pytest.mark.skipif(os.geteuid() != 0, reason="needs to own files as another user")
@pytest.mark.parametrize("owner, group, mode", [(0, 0, 0o6755), (12345, 0, 0o2755), (0, 12345, 0o4755)])
def test_set_id_bits_dropped_for_another_owner(tmp_path, owner, group, mode):
    write_bz2(tmp_path / "x.bz2", b"x")
    os.chown(tmp_path / "x.bz2", owner, group)
    os.chmod(tmp_path / "x.bz2", 0o6755)
    assert run(tmp_path / "x.bz2").returncode == 0
    assert os.stat(tmp_path / "x").st_mode & 0o7777 == mode


def test_three_inputs_second_failing(tmp_path):
    first = text_data(300_000, 1)
    write_bz2(tmp_path / "a.bz2", first)
    (tmp_path / "b.bz2").write_bytes(corrupt(compress(text_data(300_000, 2))))
    write_bz2(tmp_path / "c.bz2", b"third")
    assert run("--rm", "a.bz2", "b.bz2", "c.bz2", cwd=tmp_path).returncode == 3
    assert (tmp_path / "a").read_bytes() == first
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a", "b.bz2", "c.bz2"]


def test_stdout_targets_and_max_output_boundaries(tmp_path, sample):
    path, data = sample
    last_block = json.loads(run("--list", "--json", path).stdout)["blocks"][-1]["decoded_bytes"]
    for cap, status, out in [(len(data), 0, data), (len(data) - 1, 3, data[: len(data) - last_block]), (0, 3, b"")]:
        r = run("-o", "-", "--max-output", cap, path)
        assert (r.returncode, r.stdout) == (status, out)  # every block before the one over the cap was written
    (tmp_path / "empty.bz2").write_bytes(compress(b""))
    assert run("-o", "-", "--max-output", "0", tmp_path / "empty.bz2").returncode == 0
    # Input "-" goes to standard output whatever --output says, and is never removed.
    r = run("--rm", "-o", "named", "-", cwd=tmp_path, input_bytes=path.read_bytes())
    assert (r.returncode, r.stdout) == (0, data)
    assert not (tmp_path / "named").exists() and path.exists()
    # A named input with --output "-" (as a path: "-/" too) is removed after success.
    r = run("-o", "-/", path)
    assert (r.returncode, r.stdout) == (0, data) and path.exists()
    r = run("--rm", "-o", "-", path)
    assert (r.returncode, r.stdout) == (0, data) and not path.exists()


def test_same_file_under_two_names_is_refused(tmp_path, sample):
    path, data = sample
    blob = path.read_bytes()
    os.link(path, tmp_path / "hard.bz2")
    os.symlink("data.bz2", tmp_path / "soft")
    for output in ["data.bz2", "data.bz2/", ".//./data.bz2", "hard.bz2", "soft"]:
        assert outcome("--force", "--rm", "-o", output, "data.bz2", cwd=tmp_path) == (2, SAME_FILE)
        assert path.read_bytes() == blob
    assert temp_files(tmp_path) == []


def test_broken_pipe_and_closed_descriptors(tmp_path, sample):
    path, data = sample
    proc = subprocess.Popen([BIN, "-o", "-", str(path)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.read(1)
    proc.stdout.close()
    assert (proc.stderr.read(), proc.wait()) == (b"morvane: Broken pipe (os error 32)\n", 1)  # not a signal
    # A closed standard output is an output failure in every mode, also for an
    # input that decodes to nothing, and --rm keeps the input.
    (tmp_path / "empty.bz2").write_bytes(compress(b""))
    bad_fd = b"morvane: Bad file descriptor (os error 9)\n"
    for args in (["-o", "-", "--rm", path], ["-o", "-", "--rm", tmp_path / "empty.bz2"],
                 ["--index", "-o", "-", path], ["--list", path], ["--list", "--json", path]):
        r = subprocess.run(["sh", "-c", 'exec "$0" "$@" >&-', BIN, *map(str, args)], stderr=subprocess.PIPE)
        assert (r.returncode, r.stderr) == (1, bad_fd), args
    assert path.exists() and (tmp_path / "empty.bz2").exists()
    r = subprocess.run(["sh", "-c", 'exec "$0" "$@" <&-', BIN, "--test", "-"], stderr=subprocess.PIPE)
    assert (r.returncode, r.stderr) == (1, bad_fd)
    # No file the program opens takes the place of a closed descriptor.
    r = subprocess.run(["sh", "-c", 'exec "$0" "$@" <&- >&- 2>&-', BIN, str(path)])
    assert r.returncode == 0 and (tmp_path / "data").read_bytes() == data


def test_two_inputs_with_one_target_never_lose_data(tmp_path):
    # x/a.bz2 and y/a.bz2 both decode to out/a: replacing the first output
    # after its input was removed would lose x's data.
    for d, text in (("x", b"first\n"), ("y", b"second\n")):
        (tmp_path / d).mkdir()
        write_bz2(tmp_path / d / "a.bz2", text)
    status, err = outcome("--force", "--rm", "-C", "out", "x/a.bz2", "y/a.bz2", cwd=tmp_path)
    assert (status, err) == (2, b"morvane: invalid configuration: out/a is the output of an earlier input\n")
    assert (tmp_path / "out" / "a").read_bytes() == b"first\n"
    assert not (tmp_path / "x" / "a.bz2").exists() and (tmp_path / "y" / "a.bz2").exists()
    assert temp_files(tmp_path / "out") == []


@pytest.mark.parametrize(
    "args, target, writer",
    [(["--rm", "p.bz2.bz2", "p.bz2"], "p.bz2", "p.bz2.bz2"), (["--rm", "p.bz2", "p.bz2.bz2"], "p.bz2", "p.bz2.bz2"),
     (["--rm", "p.bz2.bz2", "hard.bz2"], "p.bz2", "p.bz2.bz2"), (["p.bz2.bz2", "./soft"], "p.bz2", "p.bz2.bz2"),
     (["-C", "out", "p.bz2.bz2", "out/p.bz2"], "out/p.bz2", "p.bz2.bz2"),
     (["--index", "p.bz2", "p.bz2.zuvov"], "p.bz2.zuvov", "p.bz2")],
)
def test_a_target_that_is_another_input_refuses_the_run(tmp_path, args, target, writer):
    # Writing the first input's output would replace the other input before it is read.
    inner = compress(b"plain\n")
    (tmp_path / "p.bz2").write_bytes(inner)
    (tmp_path / "p.bz2.bz2").write_bytes(compress(inner))
    (tmp_path / "p.bz2.zuvov").write_bytes(inner)
    os.link(tmp_path / "p.bz2", tmp_path / "hard.bz2")
    os.symlink("p.bz2", tmp_path / "soft")
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "p.bz2").write_bytes(inner)
    before = sorted(tmp_path.rglob("*"))
    status, err = outcome("--force", *args, cwd=tmp_path)
    message = f"morvane: invalid configuration: {target} is both an input and the output of {writer}\n"
    assert (status, err.decode()) == (2, message)
    assert sorted(tmp_path.rglob("*")) == before
    assert (tmp_path / "p.bz2").read_bytes() == inner and (tmp_path / "out" / "p.bz2").read_bytes() == inner


def test_an_output_dir_made_by_the_run_hides_no_input(tmp_path):
    # nd/.. is the current folder once nd exists: p.bz2.bz2 would decode onto the input p.bz2.
    inner = compress(b"plain\n")
    (tmp_path / "p.bz2").write_bytes(inner)
    (tmp_path / "p.bz2.bz2").write_bytes(compress(inner))
    status, err = outcome("--force", "-C", "nd/..", "p.bz2.bz2", "p.bz2", cwd=tmp_path)
    assert (status, err.decode()) == (
        2, "morvane: invalid configuration: nd/../p.bz2 is both an input and the output of p.bz2.bz2\n")
    assert (tmp_path / "p.bz2").read_bytes() == inner
    assert sorted(os.listdir(tmp_path)) == ["nd", "p.bz2", "p.bz2.bz2"]


@pytest.mark.parametrize("mode", [[], ["--index"]])
def test_force_never_replaces_a_special_file(tmp_path, sample, mode):
    os.mkfifo(tmp_path / "pipe")
    (tmp_path / "bad.bz2").write_bytes(corrupt(sample[0].read_bytes()))
    for name in ("data.bz2", "bad.bz2"):  # refused before the bad input is decoded
        status, err = outcome(*mode, "--force", "-o", "pipe", name, cwd=tmp_path)
        assert (status, err) == (1, b"morvane: pipe is not a regular file\n")
    assert stat.S_ISFIFO(os.lstat(tmp_path / "pipe").st_mode)
    assert temp_files(tmp_path) == []


@pytest.mark.parametrize("mode", [[], ["--index"]])
@pytest.mark.parametrize(
    "destination, stdout_is_file",
    [("pipe", False), ("missing", False), ("/proc/self/fd/1", False), ("/proc/self/fd/1", True),
     ("/dev/stdout", True)],
)
def test_force_never_replaces_a_link_to_a_special_file(tmp_path, sample, mode, destination, stdout_is_file):
    # /proc/self/fd/1 leads to the open standard output even when that is a regular file.
    path, _ = sample
    os.mkfifo(tmp_path / "pipe")
    os.symlink(destination, tmp_path / "link")
    (tmp_path / "bad.bz2").write_bytes(corrupt(path.read_bytes()))
    for name in ("data.bz2", "bad.bz2"):  # refused before the bad input is decoded
        with open(tmp_path / "stdout", "wb") if stdout_is_file else contextlib.nullcontext(subprocess.PIPE) as out:
            r = subprocess.run([BIN, *mode, "--force", "-o", "link", name], cwd=tmp_path, stdout=out,
                               stderr=subprocess.PIPE)
        assert (r.returncode, r.stderr) == (1, b"morvane: link is not a regular file\n")
    assert os.readlink(tmp_path / "link") == destination
    assert temp_files(tmp_path) == []
    if stdout_is_file:
        assert (tmp_path / "stdout").read_bytes() == b""


@pytest.mark.parametrize("mode", [[], ["--index"]])
def test_force_replaces_a_link_to_a_regular_file(tmp_path, sample, mode):
    path, data = sample
    (tmp_path / "plain").write_bytes(b"kept")
    os.symlink("plain", tmp_path / "first")
    os.symlink("first", tmp_path / "link")  # a chain of links
    assert run(*mode, "--force", "-o", "link", "data.bz2", cwd=tmp_path).returncode == 0
    assert not os.path.islink(tmp_path / "link") and (tmp_path / "plain").read_bytes() == b"kept"
    if not mode:
        assert (tmp_path / "link").read_bytes() == data


@pytest.mark.parametrize("args, name", [(["--rm", "-o", "-", "data.bz2"], "data.bz2"),
                                        (["--index", "-o", "-", "data.bz2"], "data.bz2"),
                                        (["--list", "data.bz2"], "data.bz2"), (["--rm", "-"], "stdin"),
                                        (["--test", "-"], "stdin")])
def test_standard_output_appending_to_the_input_is_refused(tmp_path, sample, args, name):
    path, _ = sample
    before = path.read_bytes()
    with open(path, "rb") as inp, open(path, "ab") as out:
        r = subprocess.run([BIN, *args], cwd=tmp_path, stdin=inp, stdout=out, stderr=subprocess.PIPE)
    message = f"morvane: invalid configuration: input and output are both {name}\n"
    assert (r.returncode, r.stderr.decode()) == (2, message)
    assert path.read_bytes() == before


@pytest.mark.parametrize("args", [["--test", "/dev/zero"], ["-o", "-", "/dev/zero"], ["--list", "/dev/zero"],
                                  ["--test", "-"], ["-"]])
def test_an_endless_input_that_is_not_bzip2_fails_at_once(args):
    # Refused by its first bytes; a reader that went on would run out of address space instead.
    with open("/dev/zero", "rb") as zero:
        r = subprocess.run([BIN, *args], stdin=zero, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           preexec_fn=limit_address_space)
    assert (r.returncode, r.stdout, r.stderr) == (3, b"", HEADER_ERROR_LINE)


def test_running_out_of_memory_in_a_worker_is_an_allocation_failure(tmp_path):
    # Workers need a 46 MB buffer each for these blocks; under a small address
    # space one of them fails to get it, and that is an allocation failure (status 1),
    # not a fault of the configuration.
    import bz2
    import resource
    path = tmp_path / "zeros.bz2"
    path.write_bytes(bz2.compress(bytes(100_000_000), 9))
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    limit = lambda: resource.setrlimit(resource.RLIMIT_AS, (100 << 20, hard))
    r = subprocess.run([BIN, "--test", "-P4", str(path)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       preexec_fn=limit)
    assert (r.returncode, r.stderr) == (1, b"morvane: memory allocation failed\n")
