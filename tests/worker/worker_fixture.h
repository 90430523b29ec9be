#pragma once

#include <chrono>

#include "scan/scan_worker.h"

using namespace std::chrono_literals;

// Short enough for tests, long enough for a loaded machine.
inline ScanWorkerSettings FastSettings(int port, int readTimeoutMs = 2000) {
    ScanWorkerSettings settings;
    settings.tick = 50ms;
    settings.readTimeoutMs = readTimeoutMs;
    settings.port = port;
    return settings;
}

std::chrono::milliseconds Since(std::chrono::steady_clock::time_point start);
