#!/usr/bin/env bash
# The program on the input classes that cost the speculative engine most for
# what they hold, beside ordinary data, each row with the aim it is held to:
#   2 GB of zeros (blocks of one byte)   -P8 against -P1 on a quiet machine,
#                                        beside four busy jobs, into a reader
#                                        of 400 MB/s, at the smallest memory
#                                        limit, and against lbzip2 -d -n8
#   header patterns (100 MB)             a valid file whose selector lists
#                                        hold "BZh9" at every 4th byte, and
#                                        "BZh9" repeated (invalid): -P8 at
#                                        256M against -P1
#   nested false headers (155 MB)        CPU at -P8 against -P1, the output
#                                        compared with bzip2's
#   forged chains                        small real blocks hiding chains of
#                                        forged 46.6 MB blocks: CPU at all
#                                        threads against one thread
#   over the marker cap (700 bytes)      every entry point against Python's bz2
#   ordinary data (200 MiB tar)          against lbzip2 -d -n8 and bzip2 -d
# Each figure is the median of $MORVANE_BENCH_RUNS (default 3) runs, ours and
# the other side taken in turn. Wall and CPU (user + system) in seconds, peak
# resident size in MiB, all from /usr/bin/time. The large inputs are made
# once and kept beside the corpus. MORVANE_BENCH_BASELINE may name another
# build of the program (main, say) for the peak memory on ordinary data.
#   bench/bench_inputs.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=${MORVANE_BENCH_RUNS:-3}
morvane=$build/morvane
maker=$build/tests/make_crafted
[ -x "$morvane" ] && [ -x "$maker" ] || "$root/scripts/build" "$build" >/dev/null
python=$build/python3
[ -x "$python" ] || python=python3
dir=$("$root/bench/corpus")
work=$(mktemp -d)
busy=()
stop_busy() {
  for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${busy[@]}"; do wait "$pid" 2>/dev/null || true; done
  busy=()
}
trap 'stop_busy; rm -rf "$work"' EXIT

# An input kept in the corpus folder, made again when the maker is newer.
cached() {  # name command...
  local file=$dir/$1
  shift
  if [ ! -s "$file" ] || [ "$maker" -nt "$file" ]; then
    "$@" > "$file.part"
    mv "$file.part" "$file"
  fi
  echo "$file"
}
zeros=$dir/zeros2g.bz2
if [ ! -s "$zeros" ]; then
  head -c 2000000000 /dev/zero | bzip2 -9 > "$zeros.part"
  mv "$zeros.part" "$zeros"
fi
headers=$(cached headers100m.bz2 "$maker" headers 100000000)
bzh9=$(cached bzh9-100m "$maker" bzh9 100000000)
nested=$(cached nested155m.bz2 "$maker" nested 155000000)
over_cap=$(cached over-cap.bz2 "$maker" over-cap)
chains=$(cached chains.bz2 "$maker" chains 100 8)
ordinary=$dir/ordinary.tar.bz2

# A reader that takes its input at no more than $1 bytes a second.
cat > "$work/reader.py" <<'EOF'
import sys, time
rate, chunk, done, start = float(sys.argv[1]), 1 << 20, 0, time.monotonic()
while data := sys.stdin.buffer.read1(chunk):
    done += len(data)
    ahead = done / rate - (time.monotonic() - start)
    if ahead > 0:
        time.sleep(ahead)
EOF

# One run of a shell command in which TIME stands before the program to
# measure: prints "wall cpu mib status".
once() {
  local status=0 time="/usr/bin/time -f '%e %U %S %M' -o '$work/time'"
  bash -c "${1//TIME/$time}" 2>"$work/err" || status=$?
  awk -v s="$status" 'END { printf "%s %.2f %d %s\n", $1, $2 + $3, $4 / 1024, s }' "$work/time"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Runs both commands $runs times in turn; A and B become the medians
# "wall cpu mib status" (the status of the last run).
paired() {
  local a="" b="" i
  for _ in $(seq "$runs"); do
    a+="$(once "$1")"$'\n'
    b+="$(once "$2")"$'\n'
  done
  for side in a b; do
    local runs_of=${!side} fig=()
    for i in 1 2 3; do fig+=("$(awk -v i="$i" 'NF { print $i }' <<<"$runs_of" | median)"); done
    fig+=("$(awk 'NF { s = $4 } END { print s }' <<<"$runs_of")")
    if [ "$side" = a ]; then A=("${fig[@]}"); else B=("${fig[@]}"); fi
  done
}

# "wall 1.23 s, CPU 4.56 s, peak 78 MiB" (and the exit status when not 0).
figures() {
  local f=("$@")
  printf 'wall %6.2f s, CPU %6.2f s, peak %5.0f MiB' "${f[0]}" "${f[1]}" "${f[2]}"
  [ "${f[3]}" = 0 ] || printf ' (exit %s)' "${f[3]}"
}

# Each named awk condition over the figures, and whether it holds:
# "wall ok, peak MISSED".
verdict() {
  local out=""
  while [ $# -ge 2 ]; do
    out+="${out:+, }$1 $(awk "BEGIN { exit !($2) }" && echo ok || echo MISSED)"
    shift 2
  done
  echo "$out"
}

row() {  # label a-label b-label aim verdict
  printf '%s\n    %-14s %s\n    %-14s %s\n    aim: %s: %s\n' "$1" "$2" "$(figures "${A[@]}")" "$3" \
    "$(figures "${B[@]}")" "$4" "$5"
}

m() { echo "TIME '$morvane' -q $*"; }
threads=$(nproc)
echo "$threads CPUs, medians of $runs paired runs"

echo
echo "== 2 GB of zeros, bzip2 -9 ($(stat -c %s "$zeros") bytes), -o - > /dev/null"
paired "$(m -P8 -o - "'$zeros'") > /dev/null" "$(m -P1 -o - "'$zeros'") > /dev/null"
row "quiet machine, default limit" -P8 -P1 "wall -P8 <= 0.6 x -P1, CPU -P8 <= 2 x -P1, peak -P8 <= 530 MiB" \
  "$(verdict wall "${A[0]} <= 0.6 * ${B[0]}" CPU "${A[1]} <= 2 * ${B[1]}" peak "${A[2]} <= 530")"
for _ in 1 2 3 4; do
  sha256sum /dev/zero > /dev/null &
  busy+=($!)
done
paired "$(m -P8 -o - "'$zeros'") > /dev/null" "$(m -P1 -o - "'$zeros'") > /dev/null"
stop_busy
row "beside four CPU-bound jobs" -P8 -P1 "wall -P8 <= -P1" "$(verdict wall "${A[0]} <= ${B[0]}")"
reader="'$python' '$work/reader.py' 400000000"
paired "$(m -P8 -o - "'$zeros'") | $reader" "$(m -P1 -o - "'$zeros'") | $reader"
row "into a reader of 400 MB/s" -P8 -P1 "peak -P8 <= 530 MiB" "$(verdict peak "${A[2]} <= 530")"
paired "$(m -o - "'$zeros'") > /dev/null" "TIME lbzip2 -d -n8 -c '$zeros' > /dev/null"
row "all threads against lbzip2" "-P0" "lbzip2 -d -n8" "wall lbzip2 >= 1.5 x ours" \
  "$(verdict wall "${B[0]} >= 1.5 * ${A[0]}")"
paired "$(m -P8 --memory-limit 46620004 -o - "'$zeros'") > /dev/null" \
  "$(m -P1 --memory-limit 46620004 -o - "'$zeros'") > /dev/null"
row "smallest memory limit (46620004)" -P8 -P1 "wall -P8 <= -P1" "$(verdict wall "${A[0]} <= ${B[0]}")"

echo
echo "== header patterns, --test --memory-limit 256M"
for input in "$headers" "$bzh9"; do
  size=$(stat -c %s "$input")
  paired "$(m --test -P8 --memory-limit 256M "'$input'")" "$(m --test -P1 --memory-limit 256M "'$input'")"
  row "$(basename "$input") ($size bytes)" -P8 -P1 \
    "CPU -P8 <= 4 x -P1 + 2 s, peak -P8 <= input + 416 MiB" \
    "$(verdict CPU "${A[1]} <= 4 * ${B[1]} + 2" peak "${A[2]} <= $size / 1048576 + 416")"
done

echo
echo "== nested false headers ($(stat -c %s "$nested") bytes), -o - > /dev/null"
paired "$(m -P8 -o - "'$nested'") > /dev/null" "$(m -P1 -o - "'$nested'") > /dev/null"
bzip2 -dc "$nested" > "$work/expected"
same=identical
for t in 8 1; do
  "$morvane" -q -P$t -o - "$nested" 2>"$work/err" | cmp -s - "$work/expected" || same="-P$t differs from bzip2"
done
rm -f "$work/expected"
row "CPU against one thread" -P8 -P1 "CPU -P8 <= 4 x -P1 + 2 s, output identical to bzip2's ($same)" \
  "$(verdict CPU "${A[1]} <= 4 * ${B[1]} + 2" output "\"$same\" == \"identical\"")"

echo
echo "== forged chains ($(stat -c %s "$chains") bytes: 100 real blocks each hiding 8 forged ones), --test"
paired "$(m --test "'$chains'")" "$(m --test -P1 "'$chains'")"
row "CPU against one thread" -P0 -P1 "CPU -P0 <= 4 x -P1 + 2 s" "$(verdict CPU "${A[1]} <= 4 * ${B[1]} + 2")"

echo
echo "== over the marker cap ($(stat -c %s "$over_cap") bytes), every entry point against Python's bz2"
cp "$over_cap" "$work/over-cap.bz2"
"$python" - "$build/python" "$morvane" "$work/over-cap.bz2" <<'EOF'
import bz2, os, subprocess, sys

sys.path.insert(0, sys.argv[1])
import _core

program, path = sys.argv[2], sys.argv[3]
expected = bz2.decompress(open(path, "rb").read())


def run(*args):
    done = subprocess.run([program, "-q", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if done.returncode != 0:
        raise RuntimeError(done.stderr.decode().strip())
    return done.stdout


def through_index(image):
    with open(path + ".index", "wb") as f:
        f.write(image)
    reader = _core._IndexedReader.from_path(path, index_path=path + ".index")
    return reader.read(reader.size)


def listed():
    lines = run("--list", path).decode().splitlines()
    decoded = int(next(line.split()[1] for line in lines if line.startswith("decoded_bytes")))
    return expected if decoded == len(expected) else f"{decoded} bytes listed".encode()


def indexed():
    run("--index", "--force", path)
    with open(path + ".zuvov", "rb") as f:
        return through_index(f.read())


def reader_without_index():
    reader = _core._IndexedReader.from_path(path)
    return reader.read(reader.size)


def accepted(*args):
    run(*args)
    return expected


def tested():
    return expected if _core._test(path) is None else b"not None"


entries = [
    ("morvane -P1 -o -", lambda: run("-P1", "-o", "-", path)),
    ("morvane -P8 -o -", lambda: run("-P8", "-o", "-", path)),
    ("morvane --test", lambda: accepted("--test", path)),
    ("morvane --index (read back)", indexed),
    ("morvane --list", listed),
    ("_decompress threads=0", lambda: _core._decompress(open(path, "rb").read(), threads=0)),
    ("_decompress threads=2", lambda: _core._decompress(open(path, "rb").read(), threads=2)),
    ("_test", tested),
    ("_build_index (read back)", lambda: through_index(_core._build_index(path))),
    ("_IndexedReader.from_path", reader_without_index),
]
failed = 0
for name, entry in entries:
    try:
        got = entry()
        result = "identical" if got == expected else f"differs: {len(got)} bytes against {len(expected)}"
    except Exception as error:  # every refusal is a result to print
        result = f"refused: {type(error).__name__}: {error}"
    failed += result != "identical"
    print(f"    {name:30s} {result}")
print(f"    aim: decodes identically to Python's bz2 on every entry point: {'MISSED' if failed else 'ok'}")
EOF

echo
echo "== ordinary data: a 200 MiB tar, bzip2 -9 ($(stat -c %s "$ordinary") bytes), -o - > /dev/null"
paired "$(m -o - "'$ordinary'") > /dev/null" "TIME lbzip2 -d -n8 -c '$ordinary' > /dev/null"
row "all threads against lbzip2" -P0 "lbzip2 -d -n8" "wall lbzip2 >= 2.3 x ours" \
  "$(verdict wall "${B[0]} >= 2.3 * ${A[0]}")"
peak_all=${A[2]}
paired "$(m -P1 -o - "'$ordinary'") > /dev/null" "TIME bzip2 -dc '$ordinary' > /dev/null"
row "one thread against bzip2" -P1 "bzip2 -d" "wall bzip2 >= 2.5 x ours" "$(verdict wall "${B[0]} >= 2.5 * ${A[0]}")"
if [ -n "${MORVANE_BENCH_BASELINE:-}" ]; then
  paired "$(m -o - "'$ordinary'") > /dev/null" "TIME '$MORVANE_BENCH_BASELINE' -q -o - '$ordinary' > /dev/null"
  row "peak memory against the baseline" -P0 baseline "peak no higher than the baseline's" \
    "$(verdict peak "${A[2]} <= ${B[2]}")"
else
  echo "peak memory, all threads: $peak_all MiB (aim: no higher than main's; set MORVANE_BENCH_BASELINE to a build of main to compare)"
fi
