#pragma once

#include <QObject>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "scan/scan_view.h"

// The window as the scan worker sees it: each call is noted and returns at once, and
// what was noted is drawn on the user-interface thread at most every kDelay, in the
// order it came. Of the progress of a check only the latest figures are kept; every
// start and end is drawn, so the window ends up showing what every check found.
// Calls name accounts by id: the window finds their rows when it draws, so an account
// removed meanwhile is simply skipped.
//
// Lives on a shared_ptr: each posted drawing holds it, so a call still under way after
// the window closed finds it. After Detach() nothing more is drawn, and nothing is
// posted to the context object any more.
class PostedView : public ScanView, public std::enable_shared_from_this<PostedView> {
  public:
    static constexpr int kDelayMs = 30;

    // `target` draws on `context`'s thread; both belong to the window.
    PostedView(ScanView& target, QObject& context);

    void CheckStarted(AccountId id) override;
    void CheckProgress(AccountId id, int done, int total) override;
    void CheckEnded(AccountId id, const CheckReport& report) override;
    void DeletionEnded(AccountId id, const DeletionReport& report) override;

    // The window closes: what is pending is dropped and later calls are ignored. Call
    // on the context's thread.
    void Detach();
    // Draws what is pending now (the timer does this on its own).
    void Flush();

  private:
    enum class EventKind { kStarted, kProgress, kEnded, kDeletion };
    struct Event {
        EventKind kind = EventKind::kStarted;
        AccountId id = kNoAccount;
        int done = 0;
        int total = 0;
        std::optional<CheckReport> report;
        std::optional<DeletionReport> deletion;
    };
    // Notes one event under the lock and arms the timer when none is armed.
    void Post(Event event);
    void Draw(std::vector<Event>& events);

    std::mutex mutex_;
    ScanView* target_;  // null once detached
    QObject* context_;
    bool armed_ = false;
    std::vector<Event> pending_;
};
