#!/usr/bin/env bash
# Developer entry point: installs what is missing, builds, runs.
#   ./dev.sh run        build and start Kestrum against a simulated controller
#   ./dev.sh test       build and run every test
#   ./dev.sh test-asan  every test under AddressSanitizer + UndefinedBehaviorSanitizer
#   ./dev.sh test-tsan  the threaded tests under ThreadSanitizer
#   ./dev.sh bench      build optimised and run the benchmarks (JSON lines)
#   ./dev.sh fuzz [S]   build the fuzz targets with clang and run each S seconds
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
JOBS=$(nproc)

PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools libgl-dev
          libgtest-dev libgmock-dev python3 python3-can clang libclang-rt-14-dev)

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

# build DIR BUILD_TYPE [cmake options...]
build() {
  local dir=$1 type=$2; shift 2
  cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

run_tests() {
  local dir=$1; shift
  QT_QPA_PLATFORM=offscreen ctest --test-dir "$dir" -j "$JOBS" --output-on-failure "$@"
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
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      run_tests build-asan
    ;;
  test-tsan)
    install_deps
    build build-tsan Debug -DKESTRUM_SANITIZE=thread -DKESTRUM_BUILD_BENCH=OFF -DKESTRUM_BUILD_APP=OFF
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_tests build-tsan -L threaded
    ;;
  bench)
    install_deps
    build build-bench Release
    "$ROOT/bench/run.sh" build-bench
    ;;
  fuzz)
    install_deps
    "$ROOT/fuzz/run.sh" "${2:-20}"
    ;;
  *)
    sed -n '2,9p' "$0"
    exit 2
    ;;
esac
