#!/usr/bin/env bash
# Builds Quorvane and runs every test: a plain build, the Debian package of a Release
# build (its file list and dependencies), the whole suite again under AddressSanitizer
# with UBSan, and the threaded tests under ThreadSanitizer.
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
echo "== Release package: its files and its dependencies"
bash scripts/package.sh
bash tests/install/package_list_test.sh build-package tests/install/package_files.txt
echo "== AddressSanitizer + UBSan"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build-asan address ON
echo "== fuzz targets (a short run of each over its seeds)"
if [[ -n ${CI:-} || -n ${QV_FUZZ_SMOKE:-} ]]; then
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQV_SANITIZE=address -DQV_BUILD_FUZZ=ON -DQV_BUILD_GUI=OFF -DQV_BUILD_BENCH=OFF >/dev/null
    cmake --build build-fuzz -j "$JOBS"
    # New inputs go to the first folder given: a scratch one, not the checked-in seeds.
    found=$(mktemp -d)
    mkdir "$found/scan" "$found/pop3" "$found/literal"
    build-fuzz/fuzz/scan/fuzz_scan -runs=50000 -dict=fuzz/scan/scan.dict "$found/scan" \
        fuzz/scan/corpus
    build-fuzz/fuzz/scan/fuzz_required_literal -runs=200000 "$found/literal" \
        fuzz/scan/literal-seeds
    build-fuzz/fuzz/pop3/fuzz_pop3_session -runs=20000 "$found/pop3" fuzz/pop3/seeds
    rm -rf "$found"
    build-fuzz/fuzz/store/fuzz_store_records -runs=20000
else
    echo "skipped outside CI (set QV_FUZZ_SMOKE=1 to run)"
fi
echo "== ThreadSanitizer (threaded tests)"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    run_suite build-tsan thread OFF -L threads
