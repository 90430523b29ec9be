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

// A view that records every call of the worker as a line of text: "started 1",
// "progress 1 0 3", "ended 1 OK" (the status as the window shows it), "deleted 1 2 OK"
// (messages deleted and the status). Calls of one account keep their order; several
// accounts checked at once interleave, so Trace(id) gives one account's lines alone.
// It can also hold the worker inside a call until the test lets it go.
class RecordingView : public ScanView {
  public:
    void CheckStarted(AccountId id) override { Record(id, "started " + std::to_string(id)); }
    void CheckProgress(AccountId id, int done, int total) override {
        Record(id, "progress " + std::to_string(id) + " " + std::to_string(done) + " " +
                       std::to_string(total));
    }
    void CheckEnded(AccountId id, const CheckReport& report) override {
        {
            std::lock_guard lock(mutex_);
            reports_[id] = report;
        }
        Record(id, "ended " + std::to_string(id) + " " + FailureText(report.failure));
    }
    void DeletionEnded(AccountId id, const DeletionReport& report) override {
        {
            std::lock_guard lock(mutex_);
            deletions_[id] = report;
        }
        Record(id, "deleted " + std::to_string(id) + " " + std::to_string(report.deleted.size()) +
                       " " + FailureText(report.failure));
    }

    std::vector<std::string> Trace() const {
        std::lock_guard lock(mutex_);
        return trace_;
    }
    // The lines of one account, in their order.
    std::vector<std::string> Trace(AccountId id) const {
        std::lock_guard lock(mutex_);
        const auto found = byAccount_.find(id);
        return found == byAccount_.end() ? std::vector<std::string>() : found->second;
    }
    std::size_t Size() const {
        std::lock_guard lock(mutex_);
        return trace_.size();
    }
    // The last report of an account's check; none when no check of it ended.
    std::optional<CheckReport> Report(AccountId id) const {
        std::lock_guard lock(mutex_);
        const auto found = reports_.find(id);
        return found == reports_.end() ? std::nullopt : std::optional<CheckReport>(found->second);
    }
    std::optional<DeletionReport> Deletion(AccountId id) const {
        std::lock_guard lock(mutex_);
        const auto found = deletions_.find(id);
        return found == deletions_.end() ? std::nullopt
                                         : std::optional<DeletionReport>(found->second);
    }
    // The status the window would show after the account's last check; empty before.
    std::string Status(AccountId id) const {
        const std::optional<CheckReport> report = Report(id);
        return report ? FailureText(report->failure) : std::string();
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
    void Record(AccountId id, std::string line) {
        std::unique_lock lock(mutex_);
        ++inside_;
        if (holdPrefix_ && line.starts_with(*holdPrefix_)) {
            holding_ = true;
        }
        byAccount_[id].push_back(line);
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
    std::map<AccountId, std::vector<std::string>> byAccount_;
    std::map<AccountId, CheckReport> reports_;
    std::map<AccountId, DeletionReport> deletions_;
    std::optional<std::string> holdPrefix_;
    bool holding_ = false;
    int held_ = 0;
    int inside_ = 0;
};
