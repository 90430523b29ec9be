#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks what a desktop reads of it: the
# menu entry, the AppStream data and an icon of every size, each of the right size.
set -euo pipefail
BUILD=$1
PREFIX=$(mktemp -d /tmp/qv-install.XXXXXX)
trap 'rm -rf "$PREFIX"' EXIT
cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null

fail() { echo "FAIL: $*" >&2; exit 1; }
[[ -x $PREFIX/bin/quorvane ]] || fail "no program in bin/"
desktop-file-validate "$PREFIX/share/applications/quorvane.desktop"
[[ -z $(desktop-file-validate "$PREFIX/share/applications/quorvane.desktop") ]] ||
    fail "the desktop entry has hints"
grep -qx 'Exec=quorvane' "$PREFIX/share/applications/quorvane.desktop" || fail "Exec line"
appstreamcli validate --no-net "$PREFIX/share/metainfo/io.github.quorvane.quorvane.metainfo.xml"
grep -q '<screenshot type="default">' "$PREFIX/share/metainfo/"*.xml || fail "no screenshot"
for size in 16 24 32 48 64 128 256; do
    icon=$PREFIX/share/icons/hicolor/${size}x${size}/apps/quorvane.png
    [[ $(identify -format '%wx%h' "$icon") == "${size}x${size}" ]] || fail "icon $size"
done
xmllint --noout "$PREFIX/share/icons/hicolor/scalable/apps/quorvane.svg"
echo "install tree OK"
