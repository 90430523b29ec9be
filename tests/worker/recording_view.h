#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "scan/scan_view.h"

// A view that records every call of the worker as a line of text, for instance
// "show", "range 0 3", "cell 0 2 1 KB", "position 2". The time cell is recorded as
// "cell <row> 3 <time>" so that traces compare exactly; its text is kept apart.
// It can also hold the worker inside a call until the test lets it go.
class RecordingView : public ScanView {
  public:
    void SetProgressRange(int low, int high) override {
        Record("range " + std::to_string(low) + " " + std::to_string(high));
    }
    void SetProgressPosition(int position) override {
        Record("position " + std::to_string(position));
    }
    void ShowProgress(bool visible) override { Record(visible ? "show" : "hide"); }
    void SetInboxCell(int row, int column, const std::string& text) override {
        {
            std::lock_guard lock(mutex_);
            cells_[{row, column}] = text;
        }
        const std::string prefix = "cell " + std::to_string(row) + " " + std::to_string(column);
        Record(prefix + " " + (column == 3 ? std::string("<time>") : text));
    }

    std::vector<std::string> Trace() const {
        std::lock_guard lock(mutex_);
        return trace_;
    }
    std::size_t Size() const {
        std::lock_guard lock(mutex_);
        return trace_.size();
    }
    // The last text written into a cell; empty when it was never written.
    std::string Cell(int row, int column) const {
        std::lock_guard lock(mutex_);
        const auto found = cells_.find({row, column});
        return found == cells_.end() ? std::string() : found->second;
    }

    // From now on the first call whose line begins with `prefix`, and every call
    // after it, waits inside the view until Release().
    void Hold(std::string prefix) {
        std::lock_guard lock(mutex_);
        holdPrefix_ = std::move(prefix);
    }
    void Release() {
        {
            std::lock_guard lock(mutex_);
            holding_ = false;
            holdPrefix_.reset();
        }
        changed_.notify_all();
    }
    // True once a call is waiting inside the view.
    bool WaitHeld(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [this] { return held_ > 0; });
    }
    // True once no call is inside the view any more.
    bool WaitLeft(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [this] { return inside_ == 0; });
    }

  private:
    void Record(std::string line) {
        std::unique_lock lock(mutex_);
        ++inside_;
        if (holdPrefix_ && line.starts_with(*holdPrefix_)) {
            holding_ = true;
        }
        trace_.push_back(std::move(line));
        if (holding_) {
            ++held_;
            changed_.notify_all();
            changed_.wait(lock, [this] { return !holding_; });
        }
        --inside_;
        changed_.notify_all();
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> trace_;
    std::map<std::pair<int, int>, std::string> cells_;
    std::optional<std::string> holdPrefix_;
    bool holding_ = false;
    int held_ = 0;
    int inside_ = 0;
};
