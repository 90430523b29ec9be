#pragma once

#include <QDialog>
#include <memory>

#include "app/app_state.h"
#include "pop3/connection_security.h"

namespace Ui {
class AccountDialog;
}

// "Email Account": the fields of one account. OK checks the period and the port and
// keeps the dialog open, with the focus on the wrong box, while one is wrong. A new
// account starts with "SSL/TLS"; choosing a mode fills its default port when the port
// box is empty or holds the default of the mode before. "None (insecure)" shows a
// warning that the password travels in clear.
class NumberBox;

class AccountDialog : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kMaxPeriod = 9999;
    static constexpr int kDefaultPeriod = 10;  // minutes, for a new account
    static constexpr int kMaxPort = 65535;

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

  public slots:
    void accept() override;

  private:
    void OnSecurityChosen(int index);

    std::unique_ptr<Ui::AccountDialog> ui_;
    int period_ = 0;
    int port_ = 0;
    ConnectionSecurity shownSecurity_ = ConnectionSecurity::kTls;
    // The certificate trusted for the loaded account, kept while host and port stay.
    std::string trustedFingerprint_;
    std::string loadedAddress_;
    int loadedPort_ = 0;
};
