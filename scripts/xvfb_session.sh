# Sourced by the picture scripts once WORK holds their scratch directory: the processes
# to end on exit (PIDS), the program with its demonstration data and server, a virtual
# screen with a window manager, and finding and photographing windows. KEEP=1 keeps
# WORK for a look afterwards.
#
#   source scripts/xvfb_session.sh
#   build_demo "correct horse"   # WORK/app/quorvane, WORK/demo_dovecot
#   start_desktop :97 1280x900x24
PIDS=()
cleanup() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    [[ -n ${KEEP:-} ]] || rm -rf "$WORK"
}
trap cleanup EXIT

build_demo() {  # passphrase of the demonstration data
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
    "$WORK/demo_data" "$WORK/app" "$1"
}

start_desktop() {  # display, screen size and depth
    export DISPLAY=$1
    Xvfb "$DISPLAY" -screen 0 "$2" -nolisten tcp &
    PIDS+=($!)
    sleep 1
    openbox --config-file /dev/null >/dev/null 2>&1 &
    PIDS+=($!)
    xsetroot -solid '#3b6e8f' 2>/dev/null || true
}

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
