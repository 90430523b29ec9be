#pragma once

#include <QString>
#include <chrono>

#include "app/app_state.h"
#include "app/loopback_sign_in.h"

class QWidget;

// The account dialog's sign-in: the system browser, the loopback redirect, and the
// refresh token into the keyring (or tokens.qvd). The access token stays in memory
// with the worker's token source, never on disk.
class BrowserSignIn {
  public:
    BrowserSignIn(const AppState& state, QWidget* parent);

    // Tests follow the address as a browser would; the program opens the system browser.
    void SetOpenAddress(LoopbackSignIn::OpenAddress open) { open_ = std::move(open); }
    void SetWait(std::chrono::milliseconds wait) { wait_ = wait; }

    // Signs `account` in and stores its refresh token. False, with the user told why
    // in a message box, when it did not.
    bool Run(AccountRecord& account);
    // The last failure's text, for tests; empty after a success.
    const QString& LastError() const { return lastError_; }

  private:
    bool Fail(const QString& why);

    const AppState& state_;
    QWidget* parent_;
    LoopbackSignIn::OpenAddress open_;
    std::chrono::milliseconds wait_ = LoopbackSignIn::kDefaultWait;
    QString lastError_;
};
