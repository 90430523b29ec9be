#!/bin/sh
# Runs a command inside a private D-Bus session whose gnome-keyring holds a fresh,
# unlocked login keyring in a throwaway directory. gnome-keyring makes no login keyring
# for an empty password, so a throwaway one unlocks it.
# Usage: dbus-run-session -- with_keyring.sh COMMAND [ARGS...]
set -u
XDG_DATA_HOME=$(mktemp -d)
export XDG_DATA_HOME
trap 'rm -rf "$XDG_DATA_HOME"' EXIT
printf 'quorvane-test' | gnome-keyring-daemon --unlock --components=secrets >/dev/null
# The daemon forks; the keyring is usable once it owns the secrets service's name.
i=0
until dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null |
    grep -q 'boolean true'; do
  i=$((i + 1))
  [ "$i" -lt 100 ] || { echo "with_keyring.sh: no keyring came up" >&2; exit 1; }
  sleep 0.05
done
"$@"
