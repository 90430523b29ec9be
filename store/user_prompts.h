#pragma once

#include <string>

// How the storage code reaches the user: the passphrase dialog and modal notices.
// The desktop program plugs in its dialog and message box; tests plug in a fake.
class UserPrompts {
  public:
    virtual ~UserPrompts() = default;
    // Runs the passphrase dialog (two boxes when `confirmMode`); false on Cancel.
    // On OK `passphrase` holds the trimmed text.
    virtual bool AskPassphrase(bool confirmMode, std::string& passphrase) = 0;
    // A modal message box with one OK button.
    virtual void ShowNotice(const std::string& text) = 0;
};
