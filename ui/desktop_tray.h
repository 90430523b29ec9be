#pragma once

#include <QIcon>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class QMenu;
class QSystemTrayIcon;

// What the window needs of the desktop. Either hook may be left empty: the tray is
// then looked up with QSystemTrayIcon, and notices go through the tray's message or,
// without a tray, the desktop's notification service. Tests fill both.
struct DesktopHooks {
    std::function<bool()> trayAvailable;
    std::function<void(const QString& title, const QString& text)> notify;
};

// The program's icon in the desktop's tray, where there is one: its tooltip and a
// badge give the number of unwanted messages waiting, its menu opens the window,
// checks every account at once or quits. It also shows the desktop notices.
class DesktopTray : public QObject {
    Q_OBJECT
  public:
    explicit DesktopTray(DesktopHooks hooks, QObject* parent = nullptr);
    ~DesktopTray() override;

    // True when the desktop has a tray and the icon is in it.
    bool Shown() const;
    // Tooltip and badge for `count` unwanted messages waiting.
    void SetWaiting(int count);
    void Notify(const QString& title, const QString& text);

    QSystemTrayIcon* icon() const { return icon_.get(); }
    QMenu* menu() const { return menu_.get(); }
    QString toolTip() const { return toolTip_; }

    // The program icon with `count` drawn on it; the plain icon for 0.
    static QIcon BadgedIcon(int count);

  signals:
    void openRequested();
    void checkNowRequested();
    void quitRequested();

  private:
    void NotifyThroughBus(const QString& title, const QString& text);

    DesktopHooks hooks_;
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> icon_;
    QString toolTip_;
};
