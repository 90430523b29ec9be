#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// The user's choices for the desktop program, kept per user with QSettings (never in
// the data files): start at login, keep running in the tray, desktop notices, and
// where the window was and how wide its columns were.
class UserOptions {
  public:
    static bool StartAtLogin();
    static void SetStartAtLogin(bool on);
    static bool KeepInTray();
    static void SetKeepInTray(bool on);
    static bool Notices();
    static void SetNotices(bool on);

    // Days a deleted message's copy stays in the quarantine: 1 to 365, 30 by default.
    // A stored value out of range is brought into it, so an edited file never empties
    // the quarantine at once.
    static int QuarantineDays();
    static void SetQuarantineDays(int days);
    static constexpr int kMinQuarantineDays = 1;
    static constexpr int kMaxQuarantineDays = 365;

    // Accounts checked at once: 1 to 8, 4 by default; out of range is brought into it.
    static int ParallelChecks();
    static void SetParallelChecks(int count);
    static constexpr int kMinParallelChecks = 1;
    static constexpr int kMaxParallelChecks = 8;

    static QByteArray WindowGeometry();
    static void SetWindowGeometry(const QByteArray& geometry);
    // The widths of one list's columns by its name; empty when never saved.
    static QList<int> ColumnWidths(const QString& list);
    static void SetColumnWidths(const QString& list, const QList<int>& widths);
};
