#include "ui/qt_user_prompts.h"

#include "ui/message_box.h"
#include "ui/passphrase_dialog.h"

bool QtUserPrompts::AskPassphrase(bool confirmMode, std::string& passphrase) {
    PassphraseDialog dialog(parent_);
    dialog.SetConfirmMode(confirmMode);
    if (dialog.exec() != QDialog::Accepted) {
        return false;
    }
    passphrase = dialog.passphrase().toLocal8Bit().toStdString();
    return true;
}

void QtUserPrompts::ShowNotice(const std::string& text) {
    ShowMessage(parent_, QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size())));
}
