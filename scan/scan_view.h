#pragma once

#include "scan/check_report.h"
#include "scan/deletion_session.h"

// What the scan worker tells the window of its checks. Several checks may run at
// once, each calling from its own thread: an implementation takes calls from any of
// them. The main window notes each call and returns at once, drawing on the
// user-interface thread soon after; the headless check prints; tests record.
// An account removed meanwhile is simply no longer there to show.
class ScanView {
  public:
    virtual ~ScanView() = default;
    // A check of account `id` begins: it connects and signs in.
    virtual void CheckStarted(AccountId id) = 0;
    // `done` of the mailbox's `total` messages are judged. The first call, with done
    // 0, comes once the count is known; the last has done == total.
    virtual void CheckProgress(AccountId id, int done, int total) = 0;
    // The whole outcome of the check. The window keeps a certificate the user may
    // choose to trust; the headless check prints the report.
    virtual void CheckEnded(AccountId id, const CheckReport& report) = 0;
    // A deletion the user asked for has ended.
    virtual void DeletionEnded(AccountId id, const DeletionReport& report) = 0;
};
