#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Quorvane need.
# Idempotent: packages already present are not fetched again.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev clang-format
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libpcre2-dev libcrypto++-dev libssl-dev openssl
  libgtest-dev libgmock-dev libbenchmark-dev
  dovecot-core dovecot-pop3d python3
  qt6-networkauth-dev qtkeychain-qt6-dev libsecret-1-0 gnome-keyring libsecret-tools dbus
  xvfb xauth fonts-dejavu-core imagemagick
  trayer desktop-file-utils appstream libxml2-utils dpkg-dev
)

# The scorer's prefilter; Debian builds Vectorscan for these architectures only.
case "$(dpkg --print-architecture)" in
  amd64|arm64|ppc64el) PACKAGES+=(libvectorscan-dev) ;;
esac

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  SUDO=""
  [[ $(id -u) -eq 0 ]] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The system's own Dovecot is never used: tests start a private one on loopback.
if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet dovecot 2>/dev/null; then
  systemctl stop dovecot || true
fi
exit 0
