#!/usr/bin/env bash
# Runs Quorvane under Xvfb against a private Dovecot with three demonstration
# mailboxes and saves pictures of the passphrase dialog, the main window after a
# check and the Unwanted emails dialog into docs/.
#
#   bash scripts/screenshots.sh
#
# Needs, besides the build's packages: xvfb, xdotool, imagemagick and a window
# manager (openbox) so that the windows carry their frames. Run as root, Dovecot
# listens on 127.0.0.1:110, the port the program polls.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=$ROOT/docs
PASSPHRASE="correct horse"
WORK=$(mktemp -d /tmp/qv-shots.XXXXXX)
PIDS=()
cleanup() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    [[ -n ${KEEP:-} ]] || rm -rf "$WORK"
}
trap cleanup EXIT

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target quorvane quorvane_core >/dev/null
c++ -std=c++20 -O1 -I. scripts/demo/demo_data.cpp build/libquorvane_core.a \
    $(pkg-config --cflags --libs libcrypto++ libpcre2-8) -pthread -o "$WORK/demo_data"
# The demonstration server reuses the test suite's Dovecot harness.
c++ -std=c++20 -O1 -I. scripts/demo/demo_dovecot.cpp tests/support/dovecot_server.cpp \
    tests/support/loopback.cpp -o "$WORK/demo_dovecot"

# An installed copy of the program whose directory holds the data files.
mkdir -p "$WORK/app"
cp build/app/quorvane "$WORK/app/quorvane"
"$WORK/demo_data" "$WORK/app" "$PASSPHRASE"

"$WORK/demo_dovecot" 110 &
PIDS+=($!)

export DISPLAY=:97
Xvfb $DISPLAY -screen 0 1280x900x24 -nolisten tcp &
PIDS+=($!)
sleep 1
openbox --config-file /dev/null >/dev/null 2>&1 &
PIDS+=($!)
xsetroot -solid '#3b6e8f' 2>/dev/null || true

"$WORK/app/quorvane" &
PIDS+=($!)

window() {  # title -> window id, waiting for it
    for _ in $(seq 100); do
        id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1) && [[ -n $id ]] &&
            { echo "$id"; return; }
        sleep 0.1
    done
    echo "no window '$1'" >&2
    exit 1
}
shot() {  # window id, file: the window with its frame
    xdotool windowactivate --sync "$1" 2>/dev/null || true
    sleep 0.5
    import -silent -frame -window "$1" "$2"
}

mkdir -p "$OUT"
DIALOG=$(window Passphrase)
xdotool windowfocus --sync "$DIALOG"
xdotool type --delay 40 "$PASSPHRASE"
shot "$DIALOG" "$OUT/passphrase_dialog.png"
xdotool key Return

MAIN=$(window Quorvane)
# The worker makes its first pass 10 s after the window opens.
sleep 14
shot "$MAIN" "$OUT/main_window.png"

# A double click on the first account's row opens its Unwanted emails; Down selects
# the first message, so the pane below the list says why it was flagged.
eval "$(xdotool getwindowgeometry --shell "$MAIN")"
xdotool mousemove --window "$MAIN" 60 62 click --repeat 2 --delay 80 1
UNWANTED=$(window "Unwanted emails")
xdotool windowfocus --sync "$UNWANTED"
xdotool key Down
shot "$UNWANTED" "$OUT/unwanted_emails.png"
xdotool key Escape
sleep 0.3
xdotool windowactivate --sync "$MAIN" 2>/dev/null || true
xdotool key Escape
sleep 1

# A first start: no data files yet, so a new passphrase is typed twice.
mkdir -p "$WORK/first"
cp build/app/quorvane "$WORK/first/quorvane"
"$WORK/first/quorvane" &
PIDS+=($!)
FIRST=$(window Passphrase)
xdotool windowfocus --sync "$FIRST"
xdotool type --delay 40 "my new passphrase"
xdotool key Tab
xdotool type --delay 40 "my new passphrase"
shot "$FIRST" "$OUT/passphrase_first_start.png"
xdotool key Escape
echo "saved into $OUT: passphrase_dialog.png passphrase_first_start.png main_window.png" \
    "unwanted_emails.png"
