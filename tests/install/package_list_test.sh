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
# Every shared library the program links must come from a package in Depends, as
# dpkg-shlibdeps finds it; libsecret-1-0 is loaded at run time and named by hand.
DEPENDS=$(dpkg-deb -f "$DEB" Depends | tr ',' '\n' | sed 's/^ *//; s/[ (|].*//' | sort -u)
dpkg-deb -x "$DEB" "$OUT/root"
mkdir -p "$OUT/debian"
touch "$OUT/debian/control"
WANTED=$(cd "$OUT" && dpkg-shlibdeps -O "root/usr/bin/quorvane" 2>/dev/null |
    sed 's/^shlibs:Depends=//' | tr ',' '\n' | sed 's/^ *//; s/[ (|].*//' | sort -u)
[[ -n $WANTED ]] || { echo "FAIL: dpkg-shlibdeps found no dependencies" >&2; exit 1; }
MISSING=$(comm -23 <(printf '%s\n' $WANTED libsecret-1-0 | sort -u) <(printf '%s\n' $DEPENDS))
[[ -z $MISSING ]] || { echo "FAIL: Depends lacks:" $MISSING >&2; exit 1; }
echo "package file list and dependencies OK"
