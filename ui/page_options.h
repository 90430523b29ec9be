#pragma once

#include <QString>
#include <QWidget>
#include <memory>

class HyperLinkStatic;
class QCheckBox;
namespace Ui {
class PageOptions;
}

// The "Options" page: product name, version, terms of use and the home page link, and
// the user's desktop options (start at login, keep checking in the tray, notices),
// each kept as soon as it is ticked.
class CPageOptions : public QWidget {
    Q_OBJECT
  public:
    explicit CPageOptions(QWidget* parent = nullptr);
    ~CPageOptions() override;

    HyperLinkStatic* Link() const;
    QCheckBox* StartAtLoginBox() const;
    QCheckBox* KeepInTrayBox() const;
    QCheckBox* NoticesBox() const;

    // The program the start-at-login entry starts; the running one unless set.
    void SetProgramPath(const QString& path) { programPath_ = path; }
    // Without a tray there is nothing to keep checking in: that box is then off.
    void SetTrayAvailable(bool available);

    static const char* const kHomePage;
    static const char* const kFeedbackAddress;

  private:
    void OnStartAtLogin(bool on);

    std::unique_ptr<Ui::PageOptions> ui_;
    QString programPath_;
};
