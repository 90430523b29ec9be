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
source scripts/xvfb_session.sh

build_demo "$PASSPHRASE"

"$WORK/demo_dovecot" 110 &
PIDS+=($!)

start_desktop :97 1280x900x24

"$WORK/app/quorvane" &
PIDS+=($!)


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
