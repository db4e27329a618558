#!/usr/bin/env bash
# Runs every benchmark executable of a build folder; each prints JSON lines
# {"metric": NAME, "value": NUMBER, "unit": UNIT}. Exits non-zero if one fails.
# BENCH_LONG_MINUTES=M runs the long forms: the full-load benchmark for M
# minutes (default: its short form of 60 s).
set -uo pipefail
dir=$(cd "${1:-build-bench}" && pwd) || { echo "no build folder ${1:-build-bench}" >&2; exit 1; }
status=0
found=0
for b in "$dir"/bench/bench_*; do
  [ -x "$b" ] || continue
  found=1
  echo "# $(basename "$b")" >&2
  args=()
  if [ "$(basename "$b")" = bench_full_load ] && [ -n "${BENCH_LONG_MINUTES:-}" ]; then
    args=(--minutes "$BENCH_LONG_MINUTES")
  fi
  (cd "$dir/bin" && "$b" "${args[@]}") || { echo "benchmark $(basename "$b") failed" >&2; status=1; }
done
[ $found -eq 1 ] || { echo "no benchmarks built in $dir" >&2; exit 1; }
exit $status
