#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer + AddressSanitizer + UBSan)
# and runs them.
#   fuzz/run.sh explore [SECONDS]  each target explores for SECONDS (default 20),
#                                  starting from the committed corpus
#   fuzz/run.sh replay [RUNS]      each target runs every committed corpus file,
#                                  then RUNS mutated inputs from a fixed seed
#                                  (default 40000): the same inputs on every run,
#                                  so a result depends only on the code
# FUZZ_BUILD_DIR relocates the build; FUZZ_CXX picks the compiler (default
# clang++-14, the version whose fuzzer runtime libclang-rt-14-dev provides).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${FUZZ_BUILD_DIR:-$here/../build-fuzz}
mode=${1:-explore}
targets=(util eds pcf lib_devices lib_motors lib_closedloop hex socketcand_client socketcand_server)

case "$mode" in
  explore) seconds=${2:-20} ;;
  replay)  runs=${2:-40000} ;;
  *) echo "usage: $0 explore [SECONDS] | replay [RUNS]" >&2; exit 2 ;;
esac

cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER="${FUZZ_CXX:-clang++-14}" >/dev/null
cmake --build "$build" -j2

# Qt keeps a few process-wide allocations alive by design.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export QT_QPA_PLATFORM=offscreen
limits=(-timeout=10 -rss_limit_mb=2048 -artifact_prefix="$build/")
# The seeded run repeats itself only when nothing else varies between runs:
# Qt's hash seed and the addresses (compared pointers steer the mutations).
fixed=(env QT_HASH_SEED=0)
if setarch -R true 2>/dev/null; then fixed+=(setarch -R); fi
status=0
for target in "${targets[@]}"; do
  fuzzer="$build/fuzz_$target"
  corpus="$here/corpus/$target"
  # New inputs go to a scratch folder; the committed corpus stays as it is.
  work="$build/corpus-$target"
  if [ "$mode" = explore ]; then
    mkdir -p "$work"
    echo "== fuzz_$target (${seconds}s)"
    "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 "${limits[@]}" "$work" "$corpus" || status=1
  else
    echo "== fuzz_$target: committed corpus"
    "$fuzzer" "${limits[@]}" "$corpus"/* || { status=1; continue; }
    # An empty scratch folder each time: inputs kept from an earlier run
    # would change what the seeded run explores.
    rm -rf "$work" && mkdir -p "$work"
    echo "== fuzz_$target: $runs inputs from seed 1"
    "${fixed[@]}" "$fuzzer" -seed=1 -runs="$runs" -reload=0 -print_final_stats=1 "${limits[@]}" \
      "$work" "$corpus" || status=1
  fi
done
exit $status
