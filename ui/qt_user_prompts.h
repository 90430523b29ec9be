#pragma once

#include <QPointer>
#include <QWidget>

#include "store/user_prompts.h"

// The desktop program's prompts: the passphrase dialog and the program's message box.
class QtUserPrompts : public UserPrompts {
  public:
    explicit QtUserPrompts(QWidget* parent = nullptr) : parent_(parent) {}
    // The window the boxes belong to, once there is one.
    void SetParent(QWidget* parent) { parent_ = parent; }

    bool AskPassphrase(bool confirmMode, std::string& passphrase) override;
    void ShowNotice(const std::string& text) override;

  private:
    QPointer<QWidget> parent_;
};
