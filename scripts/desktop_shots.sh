#!/usr/bin/env bash
# Runs Quorvane under Xvfb with a window manager and a tray (trayer) against the
# demonstration Dovecot, and shows what living on the desktop looks like: the tray
# icon with its count, the window hidden to the tray by its close box and brought
# back by the icon, Check now on the Inbox page, and the Options page. The pictures
# go into docs/screenshots/.
#
#   bash scripts/desktop_shots.sh
#
# Needs xvfb, xdotool, openbox, trayer and imagemagick; run as root (Dovecot listens
# on 127.0.0.1:110, the port the program polls).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=$ROOT/docs/screenshots
PASSPHRASE="correct horse"
WORK=$(mktemp -d /tmp/qv-desk.XXXXXX)
chmod 755 "$WORK"
source scripts/xvfb_session.sh

build_demo "$PASSPHRASE"
mkdir -p "$WORK/config"
export XDG_CONFIG_HOME=$WORK/config  # the options and autostart entry of this run only

"$WORK/demo_dovecot" 110 &
PIDS+=($!)
start_desktop :96 1024x700x24
trayer --edge top --align right --widthtype request --height 32 --SetDockType true \
       --transparent false --tint 0xdddddd >/dev/null 2>&1 &
PIDS+=($!)
sleep 1

"$WORK/app/quorvane" >"$WORK/app.log" 2>&1 &
APP=$!
PIDS+=($APP)
PIDS+=($!)

visible() { xdotool search --onlyvisible --name '^Quorvane$' >/dev/null 2>&1; }

mkdir -p "$OUT"
DIALOG=$(window Passphrase)
xdotool windowfocus --sync "$DIALOG"
xdotool type --delay 40 "$PASSPHRASE"
xdotool key Return
MAIN=$(window Quorvane)
xdotool windowsize "$MAIN" 620 420
sleep 0.5
# Check now: every account at once, without waiting for the first tick.
xdotool key alt+n
sleep 3
shot "$MAIN" "$OUT/desktop_inbox.png"

# The close box hides the window; the program goes on in the tray.
eval "$(xdotool getwindowgeometry --shell "$MAIN")"
echo "shown at $X,$Y size $WIDTH x $HEIGHT"
xdotool mousemove --sync $((X + WIDTH - 10)) $((Y - 32)) click 1
sleep 1
if visible; then echo "the window did not hide to the tray" >&2; exit 1; fi
TRAY=$(xdotool search --onlyvisible --class trayer | tail -1)
eval "$(xdotool getwindowgeometry --shell "$TRAY")"
import -silent -window root -crop "$((WIDTH + 40))x$((HEIGHT + 8))+$((X - 40))+0" \
    "$OUT/tray_icon.png"
# A click on the icon brings the window back.
xdotool mousemove --sync $((X + WIDTH / 2)) $((Y + HEIGHT / 2))
sleep 0.3
xdotool click 1
sleep 1.5
visible || {
    echo "the tray icon did not bring the window back" >&2; exit 1; }
MAIN=$(window Quorvane)
eval "$(xdotool getwindowgeometry --shell "$MAIN")"
echo "back at $X,$Y size $WIDTH x $HEIGHT"
xdotool mousemove --window "$MAIN" 340 18 click 1  # the Options tab
sleep 0.5
shot "$MAIN" "$OUT/window_options.png"
echo "tray icon shown, window hidden to it and back; saved into $OUT:" \
    "desktop_inbox.png tray_icon.png window_options.png"
