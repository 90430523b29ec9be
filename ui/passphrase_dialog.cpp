#include "ui/passphrase_dialog.h"

#include "ui/byte_limit.h"
#include "ui/message_box.h"
#include "ui/skin_button.h"
#include "ui_passphrase_dialog.h"

namespace {
// Blanks, tabs and line breaks; other characters, however spacelike, stay.
bool IsTrimmed(QChar c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f';
}

QString Trim(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && IsTrimmed(text.at(begin))) {
        ++begin;
    }
    while (end > begin && IsTrimmed(text.at(end - 1))) {
        --end;
    }
    return text.mid(begin, end - begin);
}
}  // namespace

PassphraseDialog::PassphraseDialog(QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::PassphraseDialog>()) {
    ui_->setupUi(this);
    // Shown before any other window and kept above the others.
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    LimitLocal8BitLength(ui_->passphraseEdit, kMaxLength);
    LimitLocal8BitLength(ui_->confirmEdit, kMaxLength);
    UseProgramLook(this, {ui_->okButton, ui_->cancelButton});
    ui_->confirmLabel->hide();
    ui_->confirmEdit->hide();
    ui_->newPassphraseLabel->hide();
    connect(ui_->okButton, &QPushButton::clicked, this, &PassphraseDialog::accept);
    connect(ui_->cancelButton, &QPushButton::clicked, this, &PassphraseDialog::reject);
    ui_->passphraseEdit->setFocus();
}

PassphraseDialog::~PassphraseDialog() = default;

void PassphraseDialog::SetConfirmMode(bool confirm) {
    confirmMode_ = confirm;
    ui_->confirmLabel->setVisible(confirm);
    ui_->confirmEdit->setVisible(confirm);
    // Only a new passphrase needs the warning that it cannot be recovered.
    ui_->newPassphraseLabel->setVisible(confirm);
}

void PassphraseDialog::accept() {
    // The boxes keep what was typed: only the accepted value is trimmed.
    const QString passphrase = Trim(ui_->passphraseEdit->text());
    const QString confirmation = ui_->confirmEdit->text();
    if (passphrase.toLocal8Bit().size() < kMinLength) {
        ShowMessage(this, QStringLiteral("The passphrase should contain at least six characters."));
        return;
    }
    if (confirmMode_ && passphrase != confirmation) {
        ShowMessage(this,
                    QStringLiteral("The confirm passphrase should be the same as the passphrase"));
        return;
    }
    passphrase_ = passphrase;
    QDialog::accept();
}
