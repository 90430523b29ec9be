#pragma once

#include <QDialog>
#include <memory>

#include "app/app_state.h"

namespace Ui {
class AccountDialog;
}

// "Email Account": the fields of one account. OK checks the period and keeps the
// dialog open, with the focus on the period box, while it is wrong.
class AccountDialog : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kMaxPeriod = 9999;
    static constexpr int kDefaultPeriod = 10;  // minutes, for a new account

    explicit AccountDialog(QWidget* parent = nullptr);
    ~AccountDialog() override;

    // Shows an existing account. The password box stays empty: left empty, it keeps
    // the stored password.
    void Load(const AccountRecord& record);
    // The account as entered (lastCheck 0). Valid after OK.
    AccountRecord Values() const;
    // Whether anything was typed into the password box.
    bool PasswordTyped() const;

  public slots:
    void accept() override;

  private:
    std::unique_ptr<Ui::AccountDialog> ui_;
    int period_ = 0;
};
