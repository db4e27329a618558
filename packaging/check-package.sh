#!/usr/bin/env bash
# Checks the Debian package $1: its file list, its dependencies, and, unpacked
# into a temporary root, the programs' help and the installed tree's starts
# (check-installed.sh).
set -euo pipefail
deb=$1
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Columns: mode, owner, size, date, time, path (which may hold blanks).
dpkg-deb -c "$deb" | sed -E 's/^([^ ]+ +){5}//; s|^\./|/|' >"$tmp/files"
for f in /usr/bin/kestrum /usr/bin/kestrum-cli /usr/bin/kestrum-sim \
         /usr/lib/kestrum/libVarnex.so /usr/lib/kestrum/libpcanbasic.so /usr/lib/kestrum/libvcinpl.so \
         /usr/share/kestrum/Configuration.xml /usr/share/kestrum/MotorType.xml /usr/share/kestrum/ClosedLoop.xml \
         /usr/share/kestrum/XML/EDS_Default.xml /usr/share/kestrum/XML/EDS_Mirelo.xml \
         /usr/share/kestrum/XML/EDS_Torvik.xml /usr/share/kestrum/XML/EDS_Brelan.xml \
         "/usr/share/kestrum/Presets/Status only.ppf" /usr/share/kestrum/Firmware/Firmware_V2.20.hex \
         /usr/share/applications/kestrum.desktop /usr/share/icons/hicolor/scalable/apps/kestrum.svg \
         /usr/share/man/man1/kestrum.1 /usr/share/man/man1/kestrum-cli.1 /usr/share/man/man1/kestrum-sim.1; do
  grep -qxF "$f" "$tmp/files" || fail "$deb lacks $f"
done
echo "package files: $(grep -vc '/$' "$tmp/files") files, every expected one present"

dpkg-deb -f "$deb" Package | grep -qx kestrum || fail "the package is not named kestrum"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
# The package names alone, one a line (alternatives split too).
names=$(tr ',|' '\n' <<<"$depends" | sed -E 's/^ *([^ ]+).*/\1/')
for p in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6xml6; do
  grep -qxF "$p" <<<"$names" || fail "Depends lacks $p"
done

dpkg-deb -x "$deb" "$tmp/root"
root=$tmp/root/usr
"$root/bin/kestrum-sim" --help | grep -q '^usage: kestrum-sim' || fail "kestrum-sim --help"
"$root/bin/kestrum-cli" --help | grep -q '^usage: kestrum-cli' || fail "kestrum-cli --help"
"$root/bin/kestrum" --help | grep -q '^usage: kestrum' || fail "kestrum --help"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$root/share/applications/kestrum.desktop"
fi
"$here/check-installed.sh" "$root"
echo "package $(basename "$deb") checked"
