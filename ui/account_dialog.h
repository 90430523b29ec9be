#pragma once

#include <QDialog>
#include <QHash>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/app_state.h"
#include "pop3/connection_security.h"
#include "pop3/mail_providers.h"
#include "ui/autoconfig_lookup.h"

namespace Ui {
class AccountDialog;
}

// "Email Account": the fields of one account. The user types the e-mail address; the
// server, port, security, user name and sign-in method follow it from the built-in
// provider table, or from the domain's published configuration, until the user edits
// them by hand. OK checks the period, the port, the server and the user name and
// keeps the dialog open, with the focus on the wrong box, while one is wrong. A new
// account starts with "SSL/TLS"; choosing a mode fills its default port when the port
// box is empty or holds the default of the mode before. "None (insecure)" shows a
// warning that the password travels in clear.
class NumberBox;
class QCheckBox;
class QSpinBox;

class AccountDialog : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kMaxPeriod = 9999;
    static constexpr int kDefaultPeriod = 10;  // minutes, for a new account
    static constexpr int kMaxPort = 65535;
    static constexpr int kLookupPauseMs = 700;

    // Gets the user signed in to the account's OAuth2 provider; true when that worked.
    // It may change the record's provider id, which the dialog then keeps.
    using SignInHandler = std::function<bool(AccountRecord&)>;

    explicit AccountDialog(QWidget* parent = nullptr);
    ~AccountDialog() override;

    // Shows an existing account. The password box stays empty: left empty, it keeps
    // the stored password.
    void Load(const AccountRecord& record);
    // The account as entered (lastCheck 0). Valid after OK.
    AccountRecord Values() const;
    // Whether anything was typed into the password box.
    bool PasswordTyped() const;

    ConnectionSecurity Security() const;

    // Without a handler the Sign in button stays disabled.
    void SetSignInHandler(SignInHandler handler);
    // Where and how soon after typing the dialog looks an unknown domain up.
    void SetAutoconfig(AutoconfigOptions options, int pauseMs = kLookupPauseMs);

  public slots:
    void accept() override;

  private:
    // What the dialog itself last put into the fields it fills: a field holding
    // anything else was edited by hand and is left alone. Empty: the user's own.
    struct Filled {
        std::optional<QString> server;
        std::optional<QString> user;
        std::optional<QString> port;
        std::optional<int> security;
        std::optional<int> method;
    };

    void OnSecurityChosen(int index);
    void OnEmailEdited();
    void OnLookupDue();
    void OnLookupFinished(const QString& domain, const std::optional<MailSettings>& settings);
    void Fill(const MailSettings& settings);
    void ShowMethod();
    void ShowTrust();
    void SignIn();
    bool Refuse(QWidget* box, const QString& message);
    bool CheckNames();
    // The record as the boxes hold it, with the given period and port.
    AccountRecord Record(int period, int port) const;
    std::string ProviderId() const;
    QString Email() const;

    std::unique_ptr<Ui::AccountDialog> ui_;
    int period_ = 0;
    int port_ = 0;
    ConnectionSecurity shownSecurity_ = ConnectionSecurity::kTls;
    // The certificate trusted for the loaded account, kept while server and port stay.
    std::string trustedFingerprint_;
    // The loaded account, so that what was not changed is stored as it was.
    bool loaded_ = false;
    std::string loadedAddress_;
    std::string loadedUser_;
    std::string loadedServer_;
    int loadedPort_ = 0;
    int loadedPortDigits_ = 0;
    int loadedSecurity_ = 0;
    int loadedMethod_ = 0;
    std::string loadedProviderId_;
    std::string signedInProviderId_;

    Filled filled_;
    void AddDeletionRow();
    QCheckBox* autoDeleteCheck_ = nullptr;
    QSpinBox* deleteThresholdBox_ = nullptr;
    static constexpr int kMinDeleteThreshold = 1;
    static constexpr int kMaxDeleteThreshold = 10000;
    static constexpr int kDefaultDeleteThreshold = 50;
    std::string suggestedProviderId_;
    bool loading_ = false;
    SignInHandler signIn_;
    AutoconfigLookup* lookup_ = nullptr;
    QTimer lookupPause_;
    // Each domain is looked up once: what it gave, or nothing.
    QHash<QString, std::optional<MailSettings>> looked_;
};
