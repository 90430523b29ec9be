#include "ui/user_options.h"

#include <QSettings>
#include <algorithm>

namespace {
const QString kStartAtLogin = QStringLiteral("options/startAtLogin");
const QString kKeepInTray = QStringLiteral("options/keepInTray");
const QString kNotices = QStringLiteral("options/notices");
const QString kQuarantineDays = QStringLiteral("options/quarantineDays");
constexpr int kDefaultQuarantineDays = 30;
const QString kParallelChecks = QStringLiteral("options/parallelChecks");
constexpr int kDefaultParallelChecks = 4;
const QString kGeometry = QStringLiteral("window/geometry");

// One file per user, named after the program whatever the running binary is called.
QSettings Settings() {
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Quorvane"),
                     QStringLiteral("Quorvane"));
}

bool Flag(const QString& key, bool fallback) {
    return Settings().value(key, fallback).toBool();
}

void SetFlag(const QString& key, bool on) {
    Settings().setValue(key, on);
}
}  // namespace

bool UserOptions::StartAtLogin() {
    return Flag(kStartAtLogin, false);
}

void UserOptions::SetStartAtLogin(bool on) {
    SetFlag(kStartAtLogin, on);
}

bool UserOptions::KeepInTray() {
    return Flag(kKeepInTray, true);
}

void UserOptions::SetKeepInTray(bool on) {
    SetFlag(kKeepInTray, on);
}

bool UserOptions::Notices() {
    return Flag(kNotices, true);
}

void UserOptions::SetNotices(bool on) {
    SetFlag(kNotices, on);
}

int UserOptions::QuarantineDays() {
    bool read = false;
    const int days = Settings().value(kQuarantineDays, kDefaultQuarantineDays).toInt(&read);
    return read ? std::clamp(days, kMinQuarantineDays, kMaxQuarantineDays) : kDefaultQuarantineDays;
}

void UserOptions::SetQuarantineDays(int days) {
    Settings().setValue(kQuarantineDays, std::clamp(days, kMinQuarantineDays, kMaxQuarantineDays));
}

int UserOptions::ParallelChecks() {
    bool read = false;
    const int count = Settings().value(kParallelChecks, kDefaultParallelChecks).toInt(&read);
    return read ? std::clamp(count, kMinParallelChecks, kMaxParallelChecks)
                : kDefaultParallelChecks;
}

void UserOptions::SetParallelChecks(int count) {
    Settings().setValue(kParallelChecks, std::clamp(count, kMinParallelChecks, kMaxParallelChecks));
}

QByteArray UserOptions::WindowGeometry() {
    return Settings().value(kGeometry).toByteArray();
}

void UserOptions::SetWindowGeometry(const QByteArray& geometry) {
    Settings().setValue(kGeometry, geometry);
}

QList<int> UserOptions::ColumnWidths(const QString& list) {
    QList<int> widths;
    for (const QVariant& width : Settings().value(QStringLiteral("columns/") + list).toList()) {
        widths << width.toInt();
    }
    return widths;
}

void UserOptions::SetColumnWidths(const QString& list, const QList<int>& widths) {
    QVariantList values;
    for (int width : widths) {
        values << width;
    }
    Settings().setValue(QStringLiteral("columns/") + list, values);
}
