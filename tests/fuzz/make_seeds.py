"""Makes the seed corpus of every fuzz target from small real files: the
distribution's bzip2 at levels 1-9, pbzip2 (one stream per 100 kB chunk) and
Python's bz2, the crafted seeds of the block builder, index images from
`morvane --index`, and for the decoding targets a few byte strings that the
targets' stream builder turns into streams (they do not begin with "B"; the
second byte picks a valid stream below 128, a damaged one from 128 up).

Usage: make_seeds.py OUT MORVANE CRAFTED_SEEDS
Writes OUT/<target>/ for each target, replacing what was there.
"""

import bz2
import random
import shutil
import subprocess
import sys
from pathlib import Path

BZ2_TARGETS = ["fuzz_serial", "fuzz_scanning", "fuzz_differential", "fuzz_scan", "fuzz_parallel", "fuzz_large"]


def samples():
    rng = random.Random(13)
    vocabulary = [b"stream", b"block", b"index", b"bzip2", b"the", b"of", b"\n", b"  "]
    words = b" ".join(rng.choice(vocabulary) for _ in range(400))[:2000]
    return {
        "empty": b"",
        "byte": b"x",
        "text": words,
        "random": bytes(rng.randrange(256) for _ in range(400)),
        "runs": b"a" * 3000 + b"b" * 7 + bytes(range(256)) + b"\0" * 600,
    }


def run(args, data):
    return subprocess.run(args, input=data, stdout=subprocess.PIPE, check=True).stdout


def compressed():
    out = {}
    data = samples()
    for level in range(1, 10):
        out[f"bzip2-{level}-text"] = run(["bzip2", f"-{level}", "-c"], data["text"])
    for name in ("empty", "byte", "random", "runs"):
        out[f"bzip2-9-{name}"] = run(["bzip2", "-9", "-c"], data[name])
    # 250 kB that compress to a few hundred bytes: pbzip2 makes three streams.
    repetitive = (b"a repeated line of text, " * 10000)[:250000]
    out["pbzip2-1-three-streams"] = run(["pbzip2", "-1", "-b1", "-p2", "-c"], repetitive)
    out["pbzip2-9-text"] = run(["pbzip2", "-9", "-p2", "-c"], data["text"])
    for level in (1, 5, 9):
        out[f"python-{level}-runs"] = bz2.compress(data["runs"], level)
    out["python-two-streams"] = bz2.compress(data["random"], 2) + bz2.compress(data["byte"], 8)
    return out


def built():
    rng = random.Random(19)
    out = {}
    for i in range(24):
        data = bytearray(rng.randrange(256) for _ in range(rng.choice([16, 64, 256, 1024])))
        data[0] = ord("x")
        data[1] = rng.randrange(128) if i % 3 else 128 + rng.randrange(128)
        out[f"built-{i}"] = bytes(data)
    return out


def main():
    out, morvane, crafted_seeds = Path(sys.argv[1]), sys.argv[2], sys.argv[3]
    shutil.rmtree(out, ignore_errors=True)
    work = out / "work"
    work.mkdir(parents=True)
    subprocess.run([crafted_seeds, str(work)], check=True)

    real = compressed()
    files = dict(real)
    for path in sorted((work / "bz2").iterdir()):
        files[path.name] = path.read_bytes()
    files.update(built())
    for target in BZ2_TARGETS:
        (out / target).mkdir()
        for name, data in files.items():
            # fuzz_large makes a megabyte of every built seed: a few are enough
            # for its short runs to get past the seeds.
            if target == "fuzz_large" and name.startswith("built-") and int(name[6:]) >= 6:
                continue
            (out / target / name).write_bytes(data)

    # Index images of the files that decode, as the program writes them; flag
    # byte 3 has the image target fix the trailer and the source hash, 0 not.
    images = out / "fuzz_index_image"
    images.mkdir()
    for name, data in real.items():
        source = work / name
        source.write_bytes(data)
        if subprocess.run([morvane, "--index", "-q", str(source)], stderr=subprocess.DEVNULL).returncode != 0:
            continue
        image = Path(str(source) + ".zuvov").read_bytes()
        (images / name).write_bytes(b"\x03" + image)
        (images / (name + "-as-is")).write_bytes(b"\x00" + image)

    shutil.copytree(work / "reader", out / "fuzz_reader")
    shutil.rmtree(work)


if __name__ == "__main__":
    main()
