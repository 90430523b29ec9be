#pragma once

#include <QString>
#include <QWidget>
#include <map>
#include <memory>

#include "app/oauth_providers.h"

class HyperLinkStatic;
class QCheckBox;
class QLineEdit;
class QSpinBox;
namespace Ui {
class PageOptions;
}

// The "Options" page: product name, version, terms of use and the home page link, and
// the user's desktop options (start at login, keep checking in the tray, notices,
// days copies are kept, accounts checked at once), each kept as soon as it is set; and per built-in
// OAuth2 provider the client id (with an optional secret, and Microsoft's tenant), kept in
// providers.json as soon as a box is left.
class CPageOptions : public QWidget {
    Q_OBJECT
  public:
    explicit CPageOptions(QWidget* parent = nullptr);
    ~CPageOptions() override;

    HyperLinkStatic* Link() const;
    QCheckBox* StartAtLoginBox() const;
    QCheckBox* KeepInTrayBox() const;
    QCheckBox* NoticesBox() const;
    QSpinBox* QuarantineDaysBox() const { return quarantineDays_; }
    QSpinBox* ParallelChecksBox() const { return parallelChecks_; }

    // The program the start-at-login entry starts; the running one unless set.
    void SetProgramPath(const QString& path) { programPath_ = path; }
    // Without a tray there is nothing to keep checking in: that box is then off.
    void SetTrayAvailable(bool available);

    // Where providers.json lives; fills the client boxes from it. A file that cannot be
    // read leaves the boxes disabled, so it is never written over.
    void SetDataDirectory(const QString& directory);
    // The box of one field of a built-in provider: "client_id", "client_secret" or
    // "tenant"; nullptr when there is none.
    QLineEdit* ProviderBox(const QString& providerId, const QString& field) const;

    static const char* const kHomePage;
    static const char* const kFeedbackAddress;

  signals:
    // The user chose how many accounts are checked at once (already kept).
    void parallelChecksChanged(int count);

  private:
    void OnStartAtLogin(bool on);
    void AddProviderRows();
    // A row "before [number] after" among the desktop options; returns its box.
    QSpinBox* AddNumberRow(const char* name, int low, int high, int value, const QString& before,
                           const QString& after);
    void AddQuarantineDays();
    void AddParallelChecks();
    void SaveProvider(const QString& providerId);

    std::unique_ptr<Ui::PageOptions> ui_;
    QString programPath_;
    QString providersPath_;
    OAuthProviders providers_;
    QSpinBox* quarantineDays_ = nullptr;
    QSpinBox* parallelChecks_ = nullptr;
    bool providersReadable_ = false;  // false: the file is left as it is
    // By provider id, then field name.
    std::map<QString, std::map<QString, QLineEdit*>> providerBoxes_;
};
