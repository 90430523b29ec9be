#pragma once

#include <string>

#include "scan/check_report.h"

// What the scan worker may do to the window. The main window notes each call and
// returns at once, drawing on the user-interface thread soon after; tests record the
// calls.
class ScanView {
  public:
    virtual ~ScanView() = default;
    virtual void SetProgressRange(int low, int high) = 0;
    virtual void SetProgressPosition(int position) = 0;
    virtual void ShowProgress(bool visible) = 0;
    // Sets one cell of the Inbox list; a row that does not exist is ignored.
    virtual void SetInboxCell(int row, int column, const std::string& text) = 0;
    // The whole outcome of one check, after its cells are written. The window keeps a
    // certificate the user may choose to trust; the headless check prints the report.
    virtual void ReportCheck(int row, const CheckReport& report) {
        (void)row;
        (void)report;
    }
};
