#!/usr/bin/env bash
# Checks an installed Kestrum under PREFIX ($1; e.g. <root>/usr of an unpacked
# package): the installed kestrum is started twice (offscreen,
# --check-connection) against the installed simulator with a temporary
# XDG_DATA_HOME. Between the starts the user changes one data file and an
# "upgrade" changes two shipped ones: the user's change must survive, the file
# the user left alone must follow the shipped one. The second start uses
# KESTRUM_ADAPTER_LIBS=system with the private folder on the library path.
# Changes files under PREFIX/share/kestrum: run it on a throw-away copy.
set -euo pipefail
prefix=$(cd "$1" && pwd)
tmp=$(mktemp -d)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

export XDG_DATA_HOME=$tmp/data XDG_STATE_HOME=$tmp/state XDG_CONFIG_HOME=$tmp/config
export QT_QPA_PLATFORM=offscreen
unset KESTRUM_ADAPTER_LIBS

# The simulator, started from the installed tree, reads its dictionaries from
# share/kestrum: nothing of the build tree is left beside it.
"$prefix/bin/kestrum-sim" --listen 127.0.0.1:0 --node 1 >"$tmp/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  grep -q '^listening on ' "$tmp/sim.log" && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$tmp/sim.log"; fail "the installed kestrum-sim did not start"; }
  sleep 0.05
done
address=$(sed -n 's/^listening on //p' "$tmp/sim.log" | head -n1)
[ -n "$address" ] || { cat "$tmp/sim.log"; fail "kestrum-sim reported no address"; }
export KESTRUM_BUS=$address/can0

start_kestrum() {
  local log=$1; shift
  if ! (cd "$tmp" && "$@" "$prefix/bin/kestrum" --check-connection 20 >"$log" 2>&1); then
    cat "$log"
    fail "the installed kestrum did not connect ($log)"
  fi
}

user=$XDG_DATA_HOME/kestrum
shipped=$prefix/share/kestrum
start_kestrum "$tmp/first.log" env
for f in Configuration.xml MotorType.xml XML/EDS_Mirelo.xml Presets; do
  [ -e "$user/$f" ] || fail "first start did not copy $f into $user"
done

echo '<!-- changed by the user -->' >>"$user/Configuration.xml"
cp "$user/Configuration.xml" "$tmp/users-version"
echo '<!-- shipped in the next version -->' >>"$shipped/Configuration.xml"
echo '<!-- shipped in the next version -->' >>"$shipped/MotorType.xml"

start_kestrum "$tmp/second.log" env KESTRUM_ADAPTER_LIBS=system LD_LIBRARY_PATH="$prefix/lib/kestrum"
cmp -s "$user/Configuration.xml" "$tmp/users-version" || fail "the user's Configuration.xml was overwritten"
cmp -s "$user/MotorType.xml" "$shipped/MotorType.xml" || fail "the unchanged MotorType.xml was not updated"
grep -q "KESTRUM_ADAPTER_LIBS=system: loaded $prefix/lib/kestrum/libpcanbasic.so" "$tmp/second.log" ||
  { cat "$tmp/second.log"; fail "the adapter library loaded through the system's search was not reported"; }
# The check must not pass without a connection: with the vendor's libraries
# chosen but none on the system, nothing reaches the simulator.
status=0
(cd "$tmp" && env KESTRUM_ADAPTER_LIBS=system "$prefix/bin/kestrum" --check-connection 2 >"$tmp/third.log" 2>&1) ||
  status=$?
[ "$status" -eq 1 ] || { cat "$tmp/third.log"; fail "--check-connection ended with $status without a connection"; }
echo "installed layout: both starts connected, the user's change kept, the unchanged file updated, no false connection"
