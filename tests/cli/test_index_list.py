"""Index and list modes: index files, text and JSON listings."""

import json
import os
import re
import sys

import pytest

from conftest import compress, run, temp_files, text_data, write_bz2

INDEX_MAGIC = b"DOZEZIZ\x00"


def image_size(streams, blocks):
    return 108 + 53 * streams + 44 * blocks


def test_index_beside_input_and_on_stdout(tmp_path, sample):
    path, _ = sample
    blocks = len(json.loads(run("--list", "--json", path).stdout)["blocks"])
    write_bz2(tmp_path / "data", b"plain name")
    r = run("--index", "data.bz2", "data", cwd=tmp_path)
    assert (r.returncode, r.stdout, r.stderr) == (0, b"", b"")
    image = (tmp_path / "data.bz2.zuvov").read_bytes()
    assert image.startswith(INDEX_MAGIC) and len(image) == image_size(1, blocks)
    assert (tmp_path / "data.zuvov").read_bytes().startswith(INDEX_MAGIC)
    assert os.stat(tmp_path / "data.bz2.zuvov").st_mode & 0o777 == 0o600

    r = run("--index", "-o", "-", "data.bz2", cwd=tmp_path)
    assert (r.returncode, r.stdout) == (0, image)
    assert temp_files(tmp_path) == []


def test_existing_index_rules(tmp_path, sample):
    path, _ = sample
    index = tmp_path / "data.bz2.zuvov"
    index.write_bytes(b"old")
    r = run("--index", path)
    assert (r.returncode, r.stderr.decode()) == (1, f"morvane: {index} already exists (use --force)\n")
    r = run("--index", "--skip-existing", path)
    assert (r.returncode, r.stderr.decode()) == (0, f"morvane: skipping existing {index}\n")
    r = run("--index", "--skip-existing", "-q", path)
    assert (r.returncode, r.stderr) == (0, b"")
    assert index.read_bytes() == b"old"
    r = run("--index", "--force", path)
    assert r.returncode == 0 and index.read_bytes().startswith(INDEX_MAGIC)
    assert temp_files(tmp_path) == []


def test_index_never_replaces_its_input(tmp_path, sample):
    path, _ = sample
    blob = path.read_bytes()
    os.link(path, tmp_path / "hard.bz2")
    for output in ["data.bz2", "./data.bz2", "hard.bz2"]:
        r = run("--index", "--force", "-o", output, "data.bz2", cwd=tmp_path)
        assert (r.returncode, r.stderr) == (2, b"morvane: invalid configuration: input and output are both data.bz2\n")
    assert path.read_bytes() == blob


def test_failures_write_no_index(tmp_path, sample):
    path, data = sample
    (tmp_path / "empty.bz2").write_bytes(b"")
    for threads in ["1", "4"]:
        for mode in ["--index", "--list"]:
            r = run(mode, "-P", threads, tmp_path / "empty.bz2")
            assert (r.returncode, r.stdout, r.stderr) == (
                3, b"", b"morvane: input does not start with a bzip2 BZh1-BZh9 header\n")
    for mode in ["--index", "--list"]:
        r = run(mode, "--max-output", str(len(data) - 1), path)
        assert r.returncode == 3 and r.stdout == b""
        assert r.stderr.decode().startswith("morvane: decoded output exceeds ")
    assert sorted(os.listdir(tmp_path)) == ["data.bz2", "empty.bz2"]


def test_text_listing(tmp_path):
    one, two = text_data(250_000, 1), text_data(1000, 2)
    blob = compress(one, 1)
    (tmp_path / "cat.bz2").write_bytes(blob + compress(two, 9))  # two concatenated streams
    write_bz2(tmp_path / "b.bz2", two)
    listing = json.loads(run("--list", "--json", tmp_path / "cat.bz2").stdout)
    first_blocks = listing["streams"][0]["block_count"]
    second_header = (listing["streams"][0]["eos_bit"] + 48 + 32 + 7) // 8
    assert second_header == len(blob)

    r = run("--list", "cat.bz2", cwd=tmp_path)
    assert r.returncode == 0
    assert r.stdout.decode() == (
        f"compressed_bytes\t{len(blob) + len(compress(two, 9))}\n"
        f"decoded_bytes\t{len(one) + len(two)}\n"
        "streams\t2\n"
        f"blocks\t{first_blocks + 1}\n"
        f"stream\t0\theader=0\tlevel=1\tblocks={first_blocks}\tdecoded={len(one)}\n"
        f"stream\t1\theader={len(blob)}\tlevel=9\tblocks=1\tdecoded={len(two)}\n")

    r = run("--list", "b.bz2", "cat.bz2", cwd=tmp_path)
    lines = r.stdout.decode().splitlines()
    assert lines[0] == "input\tb.bz2" and lines[6] == "input\tcat.bz2"
    assert len(lines) == 6 + 7

    (tmp_path / "e.bz2").write_bytes(compress(b""))
    r = run("--list", "e.bz2", cwd=tmp_path)
    assert r.stdout.decode() == (
        f"compressed_bytes\t{len(compress(b''))}\ndecoded_bytes\t0\nstreams\t1\nblocks\t0\n"
        "stream\t0\theader=0\tlevel=1\tblocks=0\tdecoded=0\n")


def test_json_listing(tmp_path, sample):
    path, data = sample
    (tmp_path / "e.bz2").write_bytes(compress(b""))
    r = run("--list", "--json", "data.bz2", cwd=tmp_path)
    assert r.returncode == 0 and r.stdout.endswith(b"}\n") and not r.stdout.endswith(b"\n\n")
    text = r.stdout.decode()
    doc = json.loads(text)
    assert list(doc) == sorted(doc) and next(iter(doc)) == "blocks"
    assert re.fullmatch(r"[0-9a-f]{64}", doc["source_hash"])
    assert doc["input"] == "data.bz2" and doc["source_bytes"] == path.stat().st_size
    assert doc["decoded_bytes"] == len(data)
    assert text.startswith('{\n  "blocks": [\n    {\n      "compressed_end_bit": ')
    block = doc["blocks"][1]
    assert list(block) == ["compressed_end_bit", "compressed_start_bit", "decoded_bytes", "decoded_start",
                           "expected_crc", "number", "stream"]
    assert block["number"] == 1 and block["compressed_start_bit"] == doc["blocks"][0]["compressed_end_bit"]
    assert list(doc["streams"][0]) == ["block_count", "block_size_100k", "decoded_bytes", "decoded_start",
                                       "eos_bit", "expected_crc", "first_block", "header_byte", "number"]
    assert sum(b["decoded_bytes"] for b in doc["blocks"]) == len(data)

    r = run("--list", "--json", "data.bz2", "e.bz2", cwd=tmp_path)
    docs = json.loads(r.stdout)
    assert [d["input"] for d in docs] == ["data.bz2", "e.bz2"]
    assert '"blocks": [],' in r.stdout.decode()

    # Nothing is printed unless every input succeeded.
    r = run("--list", "--json", "data.bz2", "missing.bz2", cwd=tmp_path)
    assert (r.returncode, r.stdout) == (1, b"")
    r = run("--list", "data.bz2", "missing.bz2", cwd=tmp_path)
    assert r.returncode == 1 and r.stdout.startswith(b"input\tdata.bz2\n")


def test_index_file_is_accepted_by_the_reader(tmp_path, sample):
    sys.path.insert(0, os.environ.get("MORVANE_PYTHONPATH", ""))
    core = pytest.importorskip("_core")
    path, data = sample
    other = write_bz2(tmp_path / "other.bz2", b"other input")
    assert run("--index", path).returncode == 0
    reader = core._IndexedReader.from_path(str(path), index_path=str(path) + ".zuvov")
    reader.seek(1000)
    assert reader.read(50) == data[1000:1050]
    with pytest.raises(ValueError, match="source identity mismatch"):
        core._IndexedReader.from_path(str(other), index_path=str(path) + ".zuvov")
