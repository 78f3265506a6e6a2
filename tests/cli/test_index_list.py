"""Index and list modes: index files, text and JSON listings."""

import bz2
import json
import os
import re
import sys

import pytest

from conftest import HEADER_ERROR_LINE, SAME_FILE, compress, outcome, run, temp_files, text_data, write_bz2
from shared import INDEX_MAGIC, crafted


def test_index_beside_input_and_on_stdout(tmp_path, sample):
    path, _ = sample
    blob = path.read_bytes()
    blocks = len(json.loads(run("--list", "--json", path).stdout)["blocks"])
    write_bz2(tmp_path / "data", b"plain name")
    r = run("--index", "data.bz2", "data", cwd=tmp_path)
    assert (r.returncode, r.stdout, r.stderr) == (0, b"", b"")
    image = (tmp_path / "data.bz2.zuvov").read_bytes()
    assert image.startswith(INDEX_MAGIC) and len(image) == 108 + 53 + 44 * blocks
    assert (tmp_path / "data.zuvov").read_bytes().startswith(INDEX_MAGIC)
    assert os.stat(tmp_path / "data.bz2.zuvov").st_mode & 0o777 == 0o600
    assert run("--index", "-o", "-", "data.bz2", cwd=tmp_path).stdout == image
    # An index never replaces its input.
    os.link(path, tmp_path / "hard.bz2")
    for output in ["data.bz2", "./data.bz2", "hard.bz2"]:
        assert outcome("--index", "--force", "-o", output, "data.bz2", cwd=tmp_path) == (2, SAME_FILE)
    assert path.read_bytes() == blob and temp_files(tmp_path) == []


def test_existing_index_rules(tmp_path, sample):
    path, _ = sample
    index = tmp_path / "data.bz2.zuvov"
    index.write_bytes(b"old")
    for args, status, message in [((), 1, f"morvane: {index} already exists (use --force)\n"),
                                  (("--skip-existing",), 0, f"morvane: skipping existing {index}\n"),
                                  (("--skip-existing", "-q"), 0, "")]:
        r = run("--index", *args, path)
        assert (r.returncode, r.stderr.decode()) == (status, message)
    assert index.read_bytes() == b"old"
    assert run("--index", "--force", path).returncode == 0 and index.read_bytes().startswith(INDEX_MAGIC)
    assert temp_files(tmp_path) == []


@pytest.mark.parametrize("mode", ["--index", "--list"])
def test_failures_write_no_index(tmp_path, sample, mode):
    path, data = sample
    (tmp_path / "empty.bz2").write_bytes(b"")
    for threads in ["1", "4"]:
        r = run(mode, "-P", threads, tmp_path / "empty.bz2")
        assert (r.returncode, r.stdout, r.stderr) == (
            3, b"", HEADER_ERROR_LINE)
    r = run(mode, "--max-output", str(len(data) - 1), path)
    assert (r.returncode, r.stdout) == (3, b"") and r.stderr.startswith(b"morvane: decoded output exceeds ")
    assert sorted(os.listdir(tmp_path)) == ["data.bz2", "empty.bz2"]


def test_text_listing(tmp_path):
    one, two = text_data(250_000, 1), text_data(1000, 2)
    blob, tail, empty = compress(one, 1), compress(two, 9), compress(b"")
    (tmp_path / "cat.bz2").write_bytes(blob + tail)  # two concatenated streams
    (tmp_path / "e.bz2").write_bytes(empty)
    first = json.loads(run("--list", "--json", tmp_path / "cat.bz2").stdout)["streams"][0]
    assert (first["eos_bit"] + 48 + 32 + 7) // 8 == len(blob)  # the second header follows the first trailer
    r = run("--list", "cat.bz2", cwd=tmp_path)
    assert (r.returncode, r.stdout.decode()) == (0, (
        f"compressed_bytes\t{len(blob) + len(tail)}\ndecoded_bytes\t{len(one) + len(two)}\nstreams\t2\n"
        f"blocks\t{first['block_count'] + 1}\n"
        f"stream\t0\theader=0\tlevel=1\tblocks={first['block_count']}\tdecoded={len(one)}\n"
        f"stream\t1\theader={len(blob)}\tlevel=9\tblocks=1\tdecoded={len(two)}\n"))
    empty_listing = (f"compressed_bytes\t{len(empty)}\ndecoded_bytes\t0\nstreams\t1\nblocks\t0\n"
                     "stream\t0\theader=0\tlevel=1\tblocks=0\tdecoded=0\n")
    both = run("--list", "e.bz2", "cat.bz2", cwd=tmp_path).stdout.decode()
    assert both == f"input\te.bz2\n{empty_listing}input\tcat.bz2\n{r.stdout.decode()}"


def test_json_listing(tmp_path, sample):
    path, data = sample
    (tmp_path / "e.bz2").write_bytes(compress(b""))
    r = run("--list", "--json", "data.bz2", cwd=tmp_path)
    text = r.stdout.decode()
    assert r.returncode == 0 and text.endswith("}\n") and not text.endswith("\n\n")
    assert text.startswith('{\n  "blocks": [\n    {\n      "compressed_end_bit": ')
    doc = json.loads(text)
    assert list(doc) == sorted(doc)
    assert re.fullmatch(r"[0-9a-f]{64}", doc["source_hash"])
    assert (doc["input"], doc["source_bytes"], doc["decoded_bytes"]) == ("data.bz2", path.stat().st_size, len(data))
    block = doc["blocks"][1]
    assert list(block) == ["compressed_end_bit", "compressed_start_bit", "decoded_bytes", "decoded_start",
                           "expected_crc", "number", "stream"]
    assert block["number"] == 1 and block["compressed_start_bit"] == doc["blocks"][0]["compressed_end_bit"]
    assert list(doc["streams"][0]) == ["block_count", "block_size_100k", "decoded_bytes", "decoded_start",
                                       "eos_bit", "expected_crc", "first_block", "header_byte", "number"]
    assert sum(b["decoded_bytes"] for b in doc["blocks"]) == len(data)

    r = run("--list", "--json", "data.bz2", "e.bz2", cwd=tmp_path)
    assert [d["input"] for d in json.loads(r.stdout)] == ["data.bz2", "e.bz2"]
    assert '"blocks": [],' in r.stdout.decode()
    # Nothing is printed unless every input succeeded; text goes out as it comes.
    r = run("--list", "--json", "data.bz2", "missing.bz2", cwd=tmp_path)
    assert (r.returncode, r.stdout) == (1, b"")
    r = run("--list", "data.bz2", "missing.bz2", cwd=tmp_path)
    assert r.returncode == 1 and r.stdout.startswith(b"input\tdata.bz2\n")


def test_index_file_is_accepted_by_the_reader(tmp_path, sample):
    sys.path.insert(0, os.environ.get("MORVANE_PYTHONPATH", ""))
    core = pytest.importorskip("_core")
    path, data = sample
    other = write_bz2(tmp_path / "other.bz2", text_data(50_000, 2))
    tiny = write_bz2(tmp_path / "tiny.bz2", b"other input")
    assert run("--index", path).returncode == 0
    reader = core._IndexedReader.from_path(str(path), index_path=str(path) + ".zuvov")
    assert (reader.seek(1000), reader.read(50)) == (1000, data[1000:1050])
    with pytest.raises(ValueError, match="source identity mismatch"):
        core._IndexedReader.from_path(str(other), index_path=str(path) + ".zuvov")
    # No index of an input this small could be as large: not even read.
    with pytest.raises(OSError, match="index file is larger than any index of its input"):
        core._IndexedReader.from_path(str(tiny), index_path=str(path) + ".zuvov")


def test_a_valid_file_over_the_marker_cap_decodes_in_every_mode(tmp_path):
    # More possible block starts than the engine speculates on: every mode
    # decodes it serially, as bzip2 does.
    blob = crafted("over-cap")
    expected = bz2.decompress(blob)
    path = tmp_path / "cap.bz2"
    path.write_bytes(blob)
    for threads in ("1", "2", "8"):
        r = run("-P", threads, "-o", "-", path)
        assert (r.returncode, r.stdout) == (0, expected), r.stderr
        assert outcome("-P", threads, "--test", path) == (0, b"")
    r = run("-o", "-", "--index", path)
    assert r.returncode == 0, r.stderr
    listing = json.loads(run("--list", "--json", path).stdout)
    assert (listing["decoded_bytes"], len(listing["blocks"]), listing["source_bytes"]) == (
        len(expected), 1, len(blob))
