#include "ui/account_dialog.h"

#include "ui/byte_limit.h"
#include "ui/message_box.h"
#include "ui/resources.h"
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
    setWindowIcon(LoadIconResource(128));
    ui_->okButton->UseProgramSkin();
    ui_->cancelButton->UseProgramSkin();
    LimitBytes(ui_->descriptionEdit);
    LimitBytes(ui_->addressEdit);
    LimitBytes(ui_->passwordEdit);
    ui_->periodBox->SetRange(0, kMaxPeriod);
    // A new account checks every ten minutes and scans what it finds.
    ui_->periodBox->SetValue(kDefaultPeriod);
    ui_->scanCheck->setChecked(true);
    ui_->authCombo->setCurrentIndex(0);
    ui_->descriptionEdit->setFocus();
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
    return record;
}

bool AccountDialog::PasswordTyped() const {
    return !ui_->passwordEdit->text().isEmpty();
}

void AccountDialog::accept() {
    NumberBox* box = ui_->periodBox;
    const NumberBox::Check check = box->Parse(box->Text(), period_);
    if (check != NumberBox::Check::Ok) {
        ShowMessage(this, box->Message(check, QStringLiteral("period"), box->Text()));
        box->setFocus();
        box->selectAll();
        return;
    }
    QDialog::accept();
}
