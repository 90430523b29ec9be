#pragma once

#include <benchmark/benchmark.h>

#include <string>

#include "scan/scan_view.h"

namespace qvbench {

// A window that draws nothing: the worker's own cost, without a window's.
class NullView : public ScanView {
  public:
    void CheckStarted(AccountId) override {}
    void CheckProgress(AccountId, int, int) override {}
    void CheckEnded(AccountId, const CheckReport&) override {}
    void DeletionEnded(AccountId, const DeletionReport&) override {}
};

// The most memory this process has held so far.
double PeakRssMiB();

// Runs `command` (a Python client printing "<seconds> <headers fetched>") once per
// iteration and reports the client's own time. Returns the mean seconds; 0, with the
// benchmark marked as failed, when a run fetched other than `expected` headers.
double RunFetchScript(benchmark::State& state, const std::string& command, int expected);

}  // namespace qvbench
