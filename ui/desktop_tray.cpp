#include "ui/desktop_tray.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>

#include "ui/resources.h"

namespace {
constexpr int kBadgeIconSize = 64;
constexpr int kNoticeTimeoutMs = 8000;

QString WaitingText(int count) {
    if (count == 0) {
        return QStringLiteral("Quorvane: no unwanted messages waiting");
    }
    return count == 1 ? QStringLiteral("Quorvane: 1 unwanted message waiting")
                      : QStringLiteral("Quorvane: %1 unwanted messages waiting").arg(count);
}
}  // namespace

DesktopTray::DesktopTray(DesktopHooks hooks, QObject* parent)
    : QObject(parent), hooks_(std::move(hooks)), menu_(std::make_unique<QMenu>()) {
    menu_->addAction(QStringLiteral("&Open"), this, &DesktopTray::openRequested);
    menu_->addAction(QStringLiteral("&Check now"), this, &DesktopTray::checkNowRequested);
    menu_->addSeparator();
    menu_->addAction(QStringLiteral("&Quit"), this, &DesktopTray::quitRequested);
    const bool available =
        hooks_.trayAvailable ? hooks_.trayAvailable() : QSystemTrayIcon::isSystemTrayAvailable();
    if (!available) {
        return;
    }
    icon_ = std::make_unique<QSystemTrayIcon>(BadgedIcon(0));
    icon_->setContextMenu(menu_.get());
    connect(icon_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
                    emit openRequested();
                }
            });
    SetWaiting(0);
    icon_->show();
}

DesktopTray::~DesktopTray() = default;

bool DesktopTray::Shown() const {
    return icon_ != nullptr;
}

void DesktopTray::SetWaiting(int count) {
    toolTip_ = WaitingText(count);
    if (icon_) {
        icon_->setToolTip(toolTip_);
        icon_->setIcon(BadgedIcon(count));
    }
}

void DesktopTray::Notify(const QString& title, const QString& text) {
    if (hooks_.notify) {
        hooks_.notify(title, text);
    } else if (icon_ && QSystemTrayIcon::supportsMessages()) {
        icon_->showMessage(title, text, ProgramIcon(), kNoticeTimeoutMs);
    } else {
        NotifyThroughBus(title, text);
    }
}

// The freedesktop notification service; a desktop without one shows nothing.
void DesktopTray::NotifyThroughBus(const QString& title, const QString& text) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    call << QStringLiteral("Quorvane") << 0u << QStringLiteral("quorvane") << title << text
         << QStringList() << QVariantMap() << kNoticeTimeoutMs;
    QDBusConnection::sessionBus().call(call, QDBus::NoBlock);
}

QIcon DesktopTray::BadgedIcon(int count) {
    const QIcon plain = ProgramIcon();
    if (count <= 0) {
        return plain;
    }
    QPixmap pixmap = plain.pixmap(kBadgeIconSize, kBadgeIconSize);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QString label = count > 99 ? QStringLiteral("99+") : QString::number(count);
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(kBadgeIconSize * 3 / 8);
    painter.setFont(font);
    const int width =
        std::max(kBadgeIconSize / 2, painter.fontMetrics().horizontalAdvance(label) + 10);
    const QRect badge(kBadgeIconSize - width, 0, width, kBadgeIconSize / 2);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xd0, 0x20, 0x20));
    painter.drawRoundedRect(badge, badge.height() / 2.0, badge.height() / 2.0);
    painter.setPen(Qt::white);
    painter.drawText(badge, Qt::AlignCenter, label);
    painter.end();
    return QIcon(pixmap);
}
