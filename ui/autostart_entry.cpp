#include "ui/autostart_entry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <algorithm>

namespace {
// A path with blanks or quotes must be quoted for the Exec key; a percent sign
// would start a field code.
QString ExecArgument(QString program) {
    program.replace(QLatin1Char('%'), QStringLiteral("%%"));
    static const QString kReserved = QStringLiteral(" \t\"'\\><~|&;$*?#()`");
    const bool plain =
        std::none_of(program.begin(), program.end(), [](QChar c) { return kReserved.contains(c); });
    if (plain) {
        return program;
    }
    program.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    program.replace(QLatin1Char('"'), QStringLiteral("\\\""));
    program.replace(QLatin1Char('`'), QStringLiteral("\\`"));
    program.replace(QLatin1Char('$'), QStringLiteral("\\$"));
    // The key's own escaping then doubles every backslash once more.
    program.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    return QLatin1Char('"') + program + QLatin1Char('"');
}
}  // namespace

QString AutostartEntry::Path() {
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return QDir(config).filePath(QStringLiteral("autostart/quorvane.desktop"));
}

bool AutostartEntry::Write(const QString& program) {
    const QString path = Path();
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        return false;
    }
    const QString entry = QStringLiteral(
                              "[Desktop Entry]\n"
                              "Type=Application\n"
                              "Name=Quorvane\n"
                              "Comment=Watch POP3 mailboxes for unwanted mail\n"
                              "Exec=%1\n"
                              "Icon=quorvane\n"
                              "Terminal=false\n"
                              "X-GNOME-Autostart-enabled=true\n")
                              .arg(ExecArgument(program));
    file.write(entry.toUtf8());
    return file.commit();
}

bool AutostartEntry::Remove() {
    QFile file(Path());
    return !file.exists() || file.remove();
}

bool AutostartEntry::Exists() {
    return QFile::exists(Path());
}
