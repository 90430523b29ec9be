#!/usr/bin/env bash
# Builds Quorvane and runs every test: a plain build, the whole suite again under
# AddressSanitizer with UBSan, and the threaded tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

export QT_QPA_PLATFORM=offscreen
JOBS=$(nproc)

run_suite() {  # build-dir sanitizer gui ctest-args...
    local dir=$1 sanitize=$2 gui=$3
    shift 3
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_SANITIZE="$sanitize" \
        -DQV_BUILD_GUI="$gui" -DQV_BUILD_BENCH=$([[ -z $sanitize ]] && echo ON || echo OFF) >/dev/null
    cmake --build "$dir" -j "$JOBS"
    ctest --test-dir "$dir" --output-on-failure -j "$JOBS" "$@"
}

echo "== plain build"
run_suite build "" ON
echo "== AddressSanitizer + UBSan"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build-asan address ON
echo "== ThreadSanitizer (threaded tests)"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    run_suite build-tsan thread OFF -L threads
