#pragma once

#include <QObject>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/app_state.h"
#include "scan/scan_view.h"

// The window as the scan worker sees it: each call is noted and returns at once, and
// what was noted is drawn on the user-interface thread at most every kDelay. Progress
// and cells keep only their latest value; each check's report is kept whole and drawn
// after that check's cells, so the window ends up showing what every check found.
//
// Lives on a shared_ptr: each posted drawing holds it, so a call still under way after
// the window closed finds it. After Detach() nothing more is drawn, and nothing is
// posted to the context object any more.
class PostedView : public ScanView, public std::enable_shared_from_this<PostedView> {
  public:
    static constexpr int kDelayMs = 30;

    // `target` draws on `context`'s thread; both belong to the window. `state` tells
    // when an account was removed, which moves the rows of the accounts after it.
    PostedView(ScanView& target, QObject& context, const AppState& state);

    void SetProgressRange(int low, int high) override;
    void SetProgressPosition(int position) override;
    void ShowProgress(bool visible) override;
    void SetInboxCell(int row, int column, const std::string& text) override;
    void ReportCheck(int row, const CheckReport& report) override;

    // The window closes: what is pending is dropped and later calls are ignored. Call
    // on the context's thread.
    void Detach();
    // Draws what is pending now (the timer does this on its own).
    void Flush();

  private:
    // What was noted stamped with the removals when it was noted: drawn only while no
    // account was removed since.
    template <class Value>
    struct Stamped {
        Value value;
        std::uint32_t removals = 0;
    };
    // The cells of one check and then its report.
    struct Step {
        std::map<std::pair<int, int>, Stamped<std::string>> cells;
        std::optional<Stamped<std::pair<int, CheckReport>>> report;
    };
    struct Pending {
        std::optional<std::pair<int, int>> range;
        std::optional<int> position;
        std::optional<bool> visible;
        std::vector<Step> steps;
    };
    // Notes one update under the lock and arms the timer when none is armed.
    template <class Note>
    void Post(Note note);
    void Draw(Pending& pending);

    const AppState& state_;
    std::mutex mutex_;
    ScanView* target_;  // null once detached
    QObject* context_;
    bool armed_ = false;
    Pending pending_;
};
