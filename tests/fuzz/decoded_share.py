"""Runs a decoding fuzz target and checks the share of its inputs that decoded.

Usage: decoded_share.py [--least FRACTION] -- TARGET [libFuzzer arguments...]

The target prints "morvane-fuzz: TARGET decoded N of M inputs" when its run
ends. This passes the run's output through, and exits with the target's own
status when that is not 0 (a finding), with 1 when the line is missing or
fewer than FRACTION (default 0.1) of the inputs decoded, else with 0.
"""

import re
import subprocess
import sys

LINE = re.compile(rb"^morvane-fuzz: (\S+) decoded (\d+) of (\d+) inputs$", re.MULTILINE)


def main():
    args = sys.argv[1:]
    least = 0.1
    if args[:1] == ["--least"]:
        least, args = float(args[1]), args[2:]
    if args[:1] != ["--"] or len(args) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    run = subprocess.run(args[1:], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    sys.stdout.buffer.write(run.stdout)
    if run.returncode != 0:
        return run.returncode
    found = LINE.findall(run.stdout)
    if not found:
        print("decoded_share: the target printed no 'decoded N of M inputs' line", file=sys.stderr)
        return 1
    target, decoded, inputs = found[-1][0].decode(), int(found[-1][1]), int(found[-1][2])
    if inputs == 0 or decoded < least * inputs:
        print(f"decoded_share: {target} decoded {decoded} of {inputs} inputs, below {least:.0%}", file=sys.stderr)
        return 1
    print(f"decoded_share: {target} decoded {decoded / inputs:.0%} of its inputs")
    return 0


if __name__ == "__main__":
    sys.exit(main())
