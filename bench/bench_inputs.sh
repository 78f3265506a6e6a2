#!/usr/bin/env bash
# The program on the input classes beside ordinary text: 2 GB of zeros
# (45.7 MB blocks of one byte) against bzip2 -d at one thread and lbzip2 -d at
# all threads, with peak memory at the default limit and at 256 MiB; and the
# crafted file (small real blocks hiding chains of forged 46.6 MB blocks),
# whose CPU time at all threads should stay near its one-thread CPU time.
#   bench/bench_inputs.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=${MORVANE_BENCH_RUNS:-3}
morvane=$build/morvane
[ -x "$morvane" ] && [ -x "$build/bench/make_crafted" ] || "$root/scripts/build" "$build" >/dev/null
dir=$("$root/bench/corpus")
zeros=$dir/zeros2g.bz2
if [ ! -s "$zeros" ]; then
  head -c 2000000000 /dev/zero | bzip2 -9 > "$zeros.part"
  mv "$zeros.part" "$zeros"
fi
crafted=$dir/crafted.bz2
"$build/bench/make_crafted" 100 8 > "$crafted"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
threads=$(nproc)

# "wall user+system kilobytes" of the run with the best wall time out of $runs.
measure() {
  local best="" line
  for _ in $(seq "$runs"); do
    /usr/bin/time -f '%e %U %S %M' -o "$work/time" bash -c "$1" >/dev/null 2>&1
    line=$(tail -1 "$work/time")
    if [ -z "$best" ] || awk -v a="${line%% *}" -v b="${best%% *}" 'BEGIN { exit !(a < b) }'; then best=$line; fi
  done
  awk '{ printf "%s %.2f %s\n", $1, $2 + $3, $4 }' <<<"$best"
}

row() {  # label "ours" peer-label "peer"
  local ours=($2) peer=($4)
  printf '%-40s %7.2fs %6d MiB   %-18s %7.2fs %6d MiB   ratio %5.2fx\n' "$1" "${ours[0]}" $((ours[2] / 1024)) \
    "$3" "${peer[0]}" $((peer[2] / 1024)) "$(awk -v o="${ours[0]}" -v p="${peer[0]}" 'BEGIN { print p / o }')"
}

echo "zeros: 2000000000 bytes as $(stat -c %s "$zeros") bytes (bzip2 -9), $threads CPUs, best of $runs runs"
row "zeros, morvane -P1 -o - > /dev/null" "$(measure "'$morvane' -q -P1 -o - '$zeros' > /dev/null")" \
  "bzip2 -dc" "$(measure "bzip2 -dc '$zeros' > /dev/null")"
row "zeros, morvane -o - > /dev/null" "$(measure "'$morvane' -q -o - '$zeros' > /dev/null")" \
  "lbzip2 -dc -n$threads" "$(measure "lbzip2 -dc -n $threads '$zeros' > /dev/null")"
for limit in 256M 1G; do
  m=($(measure "'$morvane' -q --test --memory-limit $limit '$zeros'"))
  printf '%-40s %7.2fs  peak RSS %5d MiB (aim: at most the limit + 160 MiB)\n' "zeros, --test --memory-limit $limit" \
    "${m[0]}" $((m[2] / 1024))
done

echo "crafted: $(stat -c %s "$crafted") bytes, 100 real blocks each hiding 8 forged ones"
one=($(measure "'$morvane' -q --test -P1 '$crafted'"))
all=($(measure "'$morvane' -q --test '$crafted'"))
printf '%-40s CPU %6.2fs  wall %6.2fs  peak RSS %5d MiB\n' "crafted, --test -P1" "${one[1]}" "${one[0]}" $((one[2] / 1024))
printf '%-40s CPU %6.2fs  wall %6.2fs  peak RSS %5d MiB (aim: CPU at most 4 x %.2f + 2 s)\n' \
  "crafted, --test (all threads)" "${all[1]}" "${all[0]}" $((all[2] / 1024)) "${one[1]}"
