#pragma once

#include <QString>

// The desktop's start-at-login entry for this user: a desktop entry named
// "quorvane.desktop" in the XDG autostart directory.
class AutostartEntry {
  public:
    static QString Path();
    // Writes the entry to start `program` (an absolute path); false when it cannot.
    static bool Write(const QString& program);
    // Removes the entry; true when none is left.
    static bool Remove();
    static bool Exists();
};
