#!/usr/bin/env bash
# Installs the build tree $1 with `cmake --install` ($2: the cmake to use)
# into a temporary prefix and checks the installed tree there.
set -euo pipefail
build=$1
cmake=${2:-cmake}
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$cmake" --install "$build" --prefix "$tmp/usr" >/dev/null
"$here/../../packaging/check-installed.sh" "$tmp/usr"
