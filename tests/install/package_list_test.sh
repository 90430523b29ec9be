#!/usr/bin/env bash
# Builds the Debian package from the build tree and compares its files with the list
# it must hold, so nothing goes missing and nothing stray gets in.
set -euo pipefail
BUILD=$1
EXPECTED=$2
OUT=$(mktemp -d /tmp/qv-package.XXXXXX)
trap 'rm -rf "$OUT"' EXIT
cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$OUT" >/dev/null
DEB=$(ls "$OUT"/quorvane_*.deb)
dpkg-deb -c "$DEB" | awk '{print $6}' | grep -v '/$' | sort >"$OUT/files.txt"
diff -u <(sort "$EXPECTED") "$OUT/files.txt"
dpkg-deb -f "$DEB" Package Version Depends | grep -q '^Depends: .*libqt6widgets6' ||
    { echo "FAIL: the package does not depend on Qt" >&2; exit 1; }
echo "package file list OK"
