#!/usr/bin/env bash
# Times logmend end to end on a logger-style recording of at least 500 MB from a warm page
# cache, as a plain file and as a compressed container, and reports MB/s of input, frames/s
# and peak RSS.  Usage: bench/logmend_end_to_end.sh [build dir] [MB]
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$repo/build/bench-e2e}"
megabytes="${2:-500}"
data="$build/bench-data"
mkdir -p "$data/plain" "$data/compressed" "$data/out"

cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j 4 --target logmend gen_recordings >/dev/null
if [ ! -s "$data/plain/big.mf4" ] || [ ! -s "$data/compressed/big.mfc" ] || [ ! -s "$data/frames" ]; then
  echo "Generating a recording of $megabytes MB ..."
  "$build/tests/gen_recordings" recording "$data/plain/big.mf4" "$megabytes" "$data/compressed/big.mfc" \
    | sed -n 's/^frames //p' > "$data/frames"
fi
frames=$(cat "$data/frames")

# MB/s are of the file given to logmend; for the container also of the recording inside it.
recording_bytes=0
run() {
  local name="$1" input="$2"
  local bytes
  bytes=$(stat -c %s "$input")
  cat "$input" > /dev/null  # warm page cache
  rm -rf "$data/out"/*
  sync  # the last run's output is on disk: its writeback does not slow this run
  /usr/bin/time -v "$build/app/logmend" -O "$data/out" "$input" 2> "$data/$name.time"
  local seconds rss
  seconds=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$data/$name.time" |
            awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s }')
  rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$data/$name.time")
  awk -v n="$name" -v b="$bytes" -v s="$seconds" -v f="$frames" -v r="$rss" -v p="$recording_bytes" 'BEGIN {
    printf "%-10s input %8.1f MB  %6.2f s  %7.1f MB/s  %10.0f frames/s  peak RSS %7.1f MB (%.2f x input)",
           n, b / 1e6, s, b / 1e6 / s, f / s, r / 1024, r * 1024 / b
    if (p != b) printf "  recording %7.1f MB/s", p / 1e6 / s
    printf "\n" }'
}

echo "frames: $frames"
recording_bytes=$(stat -c %s "$data/plain/big.mf4")
run plain "$data/plain/big.mf4"
run compressed "$data/compressed/big.mfc"
