#!/usr/bin/env bash
# Runs every benchmark executable of a build folder; each prints JSON lines
# {"metric": NAME, "value": NUMBER, "unit": UNIT}. Exits non-zero if one fails.
set -uo pipefail
dir=$(cd "${1:-build-bench}" && pwd) || { echo "no build folder ${1:-build-bench}" >&2; exit 1; }
status=0
found=0
for b in "$dir"/bench/bench_*; do
  [ -x "$b" ] || continue
  found=1
  echo "# $(basename "$b")" >&2
  (cd "$dir/bin" && "$b") || { echo "benchmark $(basename "$b") failed" >&2; status=1; }
done
[ $found -eq 1 ] || { echo "no benchmarks built in $dir" >&2; exit 1; }
exit $status
