#!/usr/bin/env bash
# Times logmend over 5,000 small files (copies of the bundled examples) without and with -d.
# With -d every output is synced, then renamed, then its folder synced before its input is
# removed; the difference between the two runs is the cost of those syncs on this disk.
# Usage: bench/logmend_many_files.sh [build dir] [files]
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$repo/build/bench-many}"
files="${2:-5000}"
data="$build/many-files"

cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLOGMEND_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j 4 --target logmend >/dev/null

# The examples are four files of one device; each copy is a device folder of its own.
examples="$repo/examples/logs/0000ABCD"
copies=$(((files + 3) / 4))
if [ ! -f "$data/source/$copies" ]; then
  rm -rf "$data/source"
  mkdir -p "$data/source/logs"
  for ((i = 0; i < copies; i++)); do
    mkdir -p "$data/source/logs/dev$i"
    cp -r "$examples"/. "$data/source/logs/dev$i/"
  done
  touch "$data/source/$copies"
fi
count=$(find "$data/source/logs" -type f | wc -l)

# Each run gets a fresh copy of the tree, written back to the disk before the clock starts.
run() {
  local name="$1"
  shift
  rm -rf "$data/work"
  cp -r "$data/source" "$data/work"
  sync
  local start end
  start=$(date +%s.%N)
  "$build/app/logmend" "$@" -p "$repo/examples/passwords.json" "$data/work/logs"
  end=$(date +%s.%N)
  awk -v n="$name" -v c="$count" -v s="$start" -v e="$end" 'BEGIN {
    printf "%-12s %6d files  %7.2f s  %8.1f files/s\n", n, c, e - s, c / (e - s) }'
  echo "$start $end" > "$data/$name.time"
}

run "without -d"
run "with -d" -d
left=$(find "$data/work/logs" -type f | wc -l)
[ "$left" -eq 0 ] || echo "with -d: $left inputs were not removed"
awk -v c="$count" 'FNR == 1 { t[NR] = $2 - $1 } END {
  printf "the syncs of -d: %.2f ms per file\n", (t[2] - t[1]) * 1000 / c }' \
  "$data/without -d.time" "$data/with -d.time"
