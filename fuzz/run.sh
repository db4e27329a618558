#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer + AddressSanitizer + UBSan)
# and runs each one briefly on the committed seed corpus.
#   fuzz/run.sh [seconds per target]   (default 20; FUZZ_BUILD_DIR to relocate)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${FUZZ_BUILD_DIR:-$here/../build-fuzz}
seconds=${1:-20}

cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j2

# Qt keeps a few process-wide allocations alive by design.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export QT_QPA_PLATFORM=offscreen
status=0
for target in util eds; do
  # New inputs go to a scratch folder; the committed corpus stays as it is.
  work="$build/corpus-$target"
  mkdir -p "$work"
  echo "== fuzz_$target (${seconds}s)"
  "$build/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/" "$work" "$here/corpus/$target" || status=1
done
exit $status
