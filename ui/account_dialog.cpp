#include "ui/account_dialog.h"

#include <cstdio>

#include "ui/byte_limit.h"
#include "ui/skin_button.h"
#include "ui_account_dialog.h"

namespace {

void LimitBytes(QLineEdit* edit) {
    LimitLocal8BitLength(edit, static_cast<int>(kTextSize - 1));
}

std::string Bytes(const QString& text) {
    return text.toLocal8Bit().toStdString();
}

}  // namespace

AccountDialog::AccountDialog(QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::AccountDialog>()) {
    ui_->setupUi(this);
    // A modal frame without a close box: OK, Cancel or Escape end it.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    UseProgramLook(this, {ui_->okButton, ui_->cancelButton});
    LimitBytes(ui_->descriptionEdit);
    LimitBytes(ui_->addressEdit);
    LimitBytes(ui_->passwordEdit);
    ui_->periodBox->SetRange(0, kMaxPeriod);
    // A new account checks every ten minutes and scans what it finds.
    ui_->periodBox->SetValue(kDefaultPeriod);
    ui_->scanCheck->setChecked(true);
    ui_->authCombo->setCurrentIndex(0);
    ui_->portBox->SetRange(1, kMaxPort);
    ui_->portBox->SetValue(DefaultPort(shownSecurity_));
    ui_->securityCombo->setCurrentIndex(static_cast<int>(shownSecurity_));
    ui_->insecureWarning->setVisible(false);
    connect(ui_->securityCombo, &QComboBox::currentIndexChanged, this,
            &AccountDialog::OnSecurityChosen);
    ui_->descriptionEdit->setFocus();
}

ConnectionSecurity AccountDialog::Security() const {
    return SecurityFromDigit(ui_->securityCombo->currentIndex());
}

void AccountDialog::OnSecurityChosen(int index) {
    const ConnectionSecurity chosen = SecurityFromDigit(index);
    // A port the user typed stays; an empty box or the old mode's default follows.
    const QString text = ui_->portBox->Text().trimmed();
    if (text.isEmpty() || text == QString::number(DefaultPort(shownSecurity_))) {
        ui_->portBox->SetValue(DefaultPort(chosen));
    }
    shownSecurity_ = chosen;
    ui_->insecureWarning->setVisible(chosen == ConnectionSecurity::kNone);
}

AccountDialog::~AccountDialog() = default;

void AccountDialog::Load(const AccountRecord& record) {
    ui_->descriptionEdit->setText(QString::fromLocal8Bit(record.description));
    ui_->addressEdit->setText(QString::fromLocal8Bit(record.address));
    ui_->passwordEdit->clear();
    ui_->passwordEdit->setPlaceholderText(QStringLiteral("(unchanged)"));
    ui_->periodBox->SetValue(record.periodMinutes);
    ui_->scanCheck->setChecked(record.scanMessages != 0);
    ui_->authCombo->setCurrentIndex(record.authMethod != 0 ? 1 : 0);
    const ConnectionSecurity security = SecurityFromDigit(record.security);
    ui_->securityCombo->setCurrentIndex(static_cast<int>(security));
    ui_->portBox->SetValue(EffectivePort(security, record.port));
    trustedFingerprint_ = record.trustedFingerprint;
    loadedAddress_ = record.address;
    loadedPort_ = EffectivePort(security, record.port);
}

AccountRecord AccountDialog::Values() const {
    AccountRecord record{};
    SetAccountText(record.description, Bytes(ui_->descriptionEdit->text()));
    SetAccountText(record.address, Bytes(ui_->addressEdit->text()));
    SetAccountText(record.password, Bytes(ui_->passwordEdit->text()));
    record.authMethod = ui_->authCombo->currentIndex() == 1 ? 1 : 0;
    record.periodMinutes = period_;
    record.scanMessages = ui_->scanCheck->isChecked() ? 1 : 0;
    record.lastCheck = 0;
    record.security = static_cast<int>(Security());
    record.port = port_;
    // A trusted certificate belongs to one server: another host or port drops it.
    if (Bytes(ui_->addressEdit->text()) == loadedAddress_ &&
        EffectivePort(Security(), port_) == loadedPort_) {
        std::snprintf(record.trustedFingerprint, sizeof record.trustedFingerprint, "%s",
                      trustedFingerprint_.c_str());
    }
    return record;
}

bool AccountDialog::PasswordTyped() const {
    return !ui_->passwordEdit->text().isEmpty();
}

void AccountDialog::accept() {
    // An empty port box means the mode's default (0).
    if (!ui_->periodBox->CheckOnAccept(QStringLiteral("period"), period_) ||
        !ui_->portBox->CheckOnAccept(QStringLiteral("port"), port_, true)) {
        return;
    }
    QDialog::accept();
}
