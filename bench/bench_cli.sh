#!/usr/bin/env bash
# The morvane program end to end on the corpus: to standard output (-o -) and to
# a file, at one thread and at all threads, against bzip2 -d and lbzip2 -d.
# Prints wall time (best of $MORVANE_BENCH_RUNS runs), peak resident memory, and
# the ratio peer / morvane (above 1 means morvane is faster).
#   bench/bench_cli.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=${MORVANE_BENCH_RUNS:-3}
morvane=$build/morvane
[ -x "$morvane" ] || "$root/scripts/build" "$build" >/dev/null
corpus=$("$root/bench/corpus")
input=$corpus/corpus.tar.bz2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# "seconds kilobytes": the best wall time of $runs runs and the peak RSS of that run.
measure() {
  local best="" mem="" line
  for _ in $(seq "$runs"); do
    rm -f "$work/out"
    /usr/bin/time -f '%e %M' -o "$work/time" bash -c "$1" >/dev/null 2>&1
    line=$(tail -1 "$work/time")
    if [ -z "$best" ] || awk -v a="${line% *}" -v b="$best" 'BEGIN { exit !(a < b) }'; then
      best=${line% *}
      mem=${line#* }
    fi
  done
  echo "$best $mem"
}

row() {  # label "seconds kilobytes" peer-label "seconds kilobytes"
  local ours=($2) peer=($4)
  printf '%-30s %7.2fs %6d MiB   %-20s %7.2fs %6d MiB   ratio %5.2fx\n' \
    "$1" "${ours[0]}" $((ours[1] / 1024)) "$3" "${peer[0]}" $((peer[1] / 1024)) \
    "$(awk -v o="${ours[0]}" -v p="${peer[0]}" 'BEGIN { print (o > 0 ? p / o : 0) }')"
}

threads=$(nproc)
bzip2_stdout=$(measure "bzip2 -dc '$input' > /dev/null")
lbzip2_stdout=$(measure "lbzip2 -dc -n $threads '$input' > /dev/null")
lbzip2_one=$(measure "lbzip2 -dc -n 1 '$input' > /dev/null")
bzip2_file=$(measure "bzip2 -dc '$input' > '$work/out'")
lbzip2_file=$(measure "lbzip2 -dc -n $threads '$input' > '$work/out'")

echo "corpus: $(stat -c %s "$input") bytes compressed (bzip2 -9), $threads CPUs, best of $runs runs"
row "morvane -P1 -o - > /dev/null" "$(measure "'$morvane' -q -P1 -o - '$input' > /dev/null")" "bzip2 -dc" "$bzip2_stdout"
row "morvane -P1 -o - > /dev/null" "$(measure "'$morvane' -q -P1 -o - '$input' > /dev/null")" "lbzip2 -dc -n1" "$lbzip2_one"
all_stdout=$(measure "'$morvane' -q -o - '$input' > /dev/null")
row "morvane -o - > /dev/null" "$all_stdout" "bzip2 -dc" "$bzip2_stdout"
row "morvane -o - > /dev/null" "$all_stdout" "lbzip2 -dc -n$threads" "$lbzip2_stdout"
all_file=$(measure "'$morvane' -q -f -o '$work/out' '$input'")
row "morvane -o FILE" "$all_file" "bzip2 -dc > FILE" "$bzip2_file"
row "morvane -o FILE" "$all_file" "lbzip2 -dc -n$threads > FILE" "$lbzip2_file"
