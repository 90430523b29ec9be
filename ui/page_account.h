#pragma once

#include <QWidget>

#include "app/app_state.h"

// The "Email Accounts" page: the account table as a list; add and edit by double click.
class CPageAccount : public QWidget {
    Q_OBJECT
  public:
    CPageAccount(AppState& state, QWidget* parent = nullptr);

  signals:
    // An account was added at `index` (the Inbox page adds its row).
    void accountAdded(int index);

  private:
    AppState& state_;
};
