#!/usr/bin/env bash
# Developer entry point: installs what is missing, builds, runs.
#   ./dev.sh run        build and start Kestrum against a simulated controller
#   ./dev.sh test       build and run every test (those labelled `timing` one at a time)
#   ./dev.sh test-asan  every test but `timing` under AddressSanitizer + UndefinedBehaviorSanitizer
#   ./dev.sh test-tsan  the threaded tests but `timing` under ThreadSanitizer
#   ./dev.sh bench      build optimised and run the benchmarks (JSON lines)
#   ./dev.sh package    build Release in build-package, make the Debian package
#                       (build-package/kestrum_*.deb) and check it
#   ./dev.sh fuzz [S]   build the fuzz targets with clang and let each explore S seconds
#   ./dev.sh fuzz-ci    build the fuzz targets, replay the committed corpus, then a
#                       fixed-seed run of a fixed length (the same inputs every time)
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
JOBS=$(nproc)

PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools libgl-dev qt6-charts-dev libqt6opengl6-dev
          libgtest-dev libgmock-dev python3 python3-can clang-14 libclang-rt-14-dev dpkg-dev file)

install_deps() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# configure DIR BUILD_TYPE [cmake options...]
configure() {
  local dir=$1 type=$2; shift 2
  cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" "$@" >/dev/null
}

# build DIR BUILD_TYPE [cmake options...]
build() {
  configure "$@"
  cmake --build "$1" -j "$JOBS"
}

# ctest_in DIR [ctest options...]
ctest_in() {
  local dir=$1; shift
  QT_QPA_PLATFORM=offscreen ctest --test-dir "$dir" --output-on-failure "$@"
}

# run_tests DIR: every test but those labelled `timing` in parallel, then the
# `timing` ones one at a time: they measure wall-clock time, which a loaded
# machine would distort. Runs both groups even when the first fails.
run_tests() {
  local dir=$1 status=0
  ctest_in "$dir" -j "$JOBS" -LE timing || status=1
  # Skipped when no test carries the label, so the output ends with a summary.
  if ctest --test-dir "$dir" -N -L timing | grep -q '^Total Tests: [1-9]'; then
    ctest_in "$dir" -j 1 -L timing || status=1
  fi
  return $status
}

start_simulator() {
  local bin=$1
  local args=(--listen 127.0.0.1:0)
  if "$bin/kestrum-sim" --help 2>&1 | grep -q -- '--node'; then args+=(--node 1); fi
  SIM_LOG=$(mktemp)
  "$bin/kestrum-sim" "${args[@]}" >"$SIM_LOG" 2>&1 &
  SIM_PID=$!
  trap 'kill $SIM_PID 2>/dev/null || true; rm -f "$SIM_LOG"' EXIT
  for _ in $(seq 100); do
    grep -q '^listening on ' "$SIM_LOG" && break
    kill -0 $SIM_PID 2>/dev/null || { cat "$SIM_LOG"; echo "simulator failed to start"; exit 1; }
    sleep 0.05
  done
  SIM_ADDR=$(sed -n 's/^listening on //p' "$SIM_LOG" | head -n1)
  [ -n "$SIM_ADDR" ] || { cat "$SIM_LOG"; echo "simulator did not report its address"; exit 1; }
}

cmd=${1:-}
case "$cmd" in
  run)
    install_deps
    build build RelWithDebInfo
    start_simulator "$ROOT/build/bin"
    export KESTRUM_BUS="$SIM_ADDR/can0"
    echo "Simulated controller bus at $SIM_ADDR (KESTRUM_BUS=$KESTRUM_BUS)"
    if [ -x build/bin/kestrum ]; then
      (cd build/bin && ./kestrum)
    else
      echo "The Kestrum application is not part of this build yet; the virtual bus and"
      echo "simulator are running. Connect a socketcand client to $SIM_ADDR (bus can0)."
      echo "Press Ctrl+C to stop."
      wait "$SIM_PID"
    fi
    ;;
  test)
    install_deps
    build build RelWithDebInfo
    run_tests build
    ;;
  test-asan)
    install_deps
    build build-asan Debug -DKESTRUM_SANITIZE=address -DKESTRUM_BUILD_BENCH=OFF
    # The window tests (label integration) run without the leak check at
    # exit: in their processes LeakSanitizer's own tracer has crashed now and
    # then after the test passed ("Tracer caught signal 11"), which no change
    # of ours could tie to a cause. Every other test keeps the leak check;
    # AddressSanitizer and UndefinedBehaviorSanitizer check all of them.
    status=0
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      ctest_in build-asan -j "$JOBS" -LE 'timing|integration' || status=1
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      ctest_in build-asan -j "$JOBS" -L integration -LE timing || status=1
    exit $status
    ;;
  test-tsan)
    install_deps
    # Only the executables of the threaded tests (and what they load) are built;
    # the tests of the others are listed as not built and carry no label.
    configure build-tsan Debug -DKESTRUM_SANITIZE=thread -DKESTRUM_BUILD_BENCH=OFF -DKESTRUM_BUILD_APP=ON
    cmake --build build-tsan -j "$JOBS" --target threaded_tests
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest_in build-tsan -j "$JOBS" -L threaded -LE timing
    ;;
  bench)
    install_deps
    build build-bench Release
    "$ROOT/bench/run.sh" build-bench
    ;;
  package)
    install_deps
    # No tests, benchmarks or sanitizers in what users install.
    build build-package Release -DKESTRUM_BUILD_TESTS=OFF -DKESTRUM_BUILD_BENCH=OFF -DKESTRUM_SANITIZE=
    rm -f build-package/kestrum_*.deb
    cmake --build build-package --target package
    "$ROOT/packaging/check-package.sh" build-package/kestrum_*.deb
    ;;
  fuzz)
    install_deps
    "$ROOT/fuzz/run.sh" explore "${2:-20}"
    ;;
  fuzz-ci)
    install_deps
    "$ROOT/fuzz/run.sh" replay
    ;;
  *)
    sed -n '2,12p' "$0"
    exit 2
    ;;
esac
