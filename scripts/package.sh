#!/usr/bin/env bash
# Builds the Debian package of the desktop program with CPack:
#
#   bash scripts/package.sh            # -> build-package/quorvane_<version>_<arch>.deb
#
# The package installs under /usr: the program, its menu entry, its icons and its
# AppStream data. An installed program keeps its data files per user, in
# ~/.local/share/Quorvane, because /usr/bin is not writable.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build-package}
# Only what the package holds is built: the program (cpack would otherwise build the
# tests too, which the package never holds).
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_BUILD_GUI=ON \
      -DQV_BUILD_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
      ${CMAKE_ARGS:-} >/dev/null
cmake --build "$BUILD" --target quorvane
(cd "$BUILD" && cpack -G DEB >/dev/null)
ls "$BUILD"/quorvane_*.deb
