#include "ui/account_dialog.h"

#include <algorithm>
#include <cstdio>

#include "pop3/sign_in_method.h"
#include "store/account_record.h"
#include "ui/byte_limit.h"
#include "ui/message_box.h"
#include "ui/skin_button.h"
#include "ui_account_dialog.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSpinBox>

namespace {

constexpr int kFingerprintHalf = 16;  // pairs on the first line

void LimitBytes(QLineEdit* edit) {
    LimitLocal8BitLength(edit, static_cast<int>(kTextSize - 1));
}

std::string Bytes(const QString& text) {
    return text.toLocal8Bit().toStdString();
}

QString Text(const std::string& bytes) {
    return QString::fromLocal8Bit(bytes);
}

// "AB:CD:…" on two lines, so that the dialog keeps its width.
QString GroupedFingerprint(const std::string& hex) {
    QString grouped;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        if (i != 0) {
            grouped += i / 2 == kFingerprintHalf ? QStringLiteral(":\n") : QStringLiteral(":");
        }
        grouped += QString::fromLatin1(hex.data() + i, 2);
    }
    return grouped;
}

}  // namespace

AccountDialog::AccountDialog(QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::AccountDialog>()) {
    ui_->setupUi(this);
    // A modal frame without a close box: OK, Cancel or Escape end it.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    UseProgramLook(this, {ui_->okButton, ui_->cancelButton, ui_->signInButton, ui_->forgetButton});
    for (QLineEdit* edit : {ui_->descriptionEdit, ui_->emailEdit, ui_->serverEdit, ui_->userEdit,
                            ui_->passwordEdit}) {
        LimitBytes(edit);
    }
    ui_->periodBox->SetRange(0, kMaxPeriod);
    // A new account checks every ten minutes and scans what it finds.
    ui_->periodBox->SetValue(kDefaultPeriod);
    ui_->scanCheck->setChecked(true);
    AddDeletionRow();
    ui_->authCombo->setCurrentIndex(0);
    ui_->portBox->SetRange(1, kMaxPort);
    ui_->portBox->SetValue(DefaultPort(shownSecurity_));
    ui_->securityCombo->setCurrentIndex(static_cast<int>(shownSecurity_));
    ui_->insecureWarning->setVisible(false);
    ui_->hintLabel->setVisible(false);
    filled_ = {QString(), QString(), ui_->portBox->Text(), ui_->securityCombo->currentIndex(), 0};
    connect(ui_->securityCombo, &QComboBox::currentIndexChanged, this,
            &AccountDialog::OnSecurityChosen);
    connect(ui_->emailEdit, &QLineEdit::textChanged, this, &AccountDialog::OnEmailEdited);
    connect(ui_->authCombo, &QComboBox::currentIndexChanged, this, &AccountDialog::ShowMethod);
    connect(ui_->signInButton, &QAbstractButton::clicked, this, &AccountDialog::SignIn);
    connect(ui_->forgetButton, &QAbstractButton::clicked, this, [this] {
        trustedFingerprint_.clear();
        ShowTrust();
    });
    lookupPause_.setSingleShot(true);
    lookupPause_.setInterval(kLookupPauseMs);
    connect(&lookupPause_, &QTimer::timeout, this, &AccountDialog::OnLookupDue);
    SetAutoconfig({});
    ShowMethod();
    ShowTrust();
    ui_->descriptionEdit->setFocus();
}

AccountDialog::~AccountDialog() = default;

void AccountDialog::SetAutoconfig(AutoconfigOptions options, int pauseMs) {
    delete lookup_;
    lookup_ = new AutoconfigLookup(std::move(options), this);
    connect(lookup_, &AutoconfigLookup::finished, this, &AccountDialog::OnLookupFinished);
    lookupPause_.setInterval(pauseMs);
    looked_.clear();
}

void AccountDialog::SetSignInHandler(SignInHandler handler) {
    signIn_ = std::move(handler);
    ShowMethod();
}

ConnectionSecurity AccountDialog::Security() const {
    return SecurityFromDigit(ui_->securityCombo->currentIndex());
}

void AccountDialog::OnSecurityChosen(int index) {
    const ConnectionSecurity chosen = SecurityFromDigit(index);
    // A port the user typed stays; an empty box or the old mode's default follows.
    const QString text = ui_->portBox->Text().trimmed();
    if (text.isEmpty() || text == QString::number(DefaultPort(shownSecurity_))) {
        const bool portFilled = filled_.port == ui_->portBox->Text();
        ui_->portBox->SetValue(DefaultPort(chosen));
        if (portFilled) {
            filled_.port = ui_->portBox->Text();
        }
    }
    shownSecurity_ = chosen;
    ui_->insecureWarning->setVisible(chosen == ConnectionSecurity::kNone);
}

QString AccountDialog::Email() const {
    return ui_->emailEdit->text().trimmed();
}

void AccountDialog::OnEmailEdited() {
    if (loading_) {
        return;
    }
    // A sign-in was for the address it was made with.
    signedInProviderId_.clear();
    const std::string domain = DomainOf(Email().toStdString());
    if (const MailProvider* provider = ProviderForDomain(domain)) {
        Fill(SettingsOf(*provider));
        return;
    }
    // An address the table does not know suggests nothing until its lookup answers.
    const auto known = looked_.constFind(QString::fromStdString(domain));
    Fill(known != looked_.constEnd() && known->has_value() ? **known : MailSettings{});
    if (known == looked_.constEnd() && IsHostName(domain) &&
        domain.find('.') != std::string::npos) {
        lookupPause_.start();
    } else {
        lookupPause_.stop();
    }
}

void AccountDialog::OnLookupDue() {
    const QString domain = QString::fromStdString(DomainOf(Email().toStdString()));
    if (!looked_.contains(domain) && lookup_->Domain() != domain) {
        lookup_->Start(Email());
    }
}

void AccountDialog::OnLookupFinished(const QString& domain,
                                     const std::optional<MailSettings>& settings) {
    looked_.insert(domain, settings);
    if (settings && QString::fromStdString(DomainOf(Email().toStdString())) == domain) {
        Fill(*settings);
    }
}

void AccountDialog::Fill(const MailSettings& settings) {
    const QString email = Email();
    ui_->hintLabel->setText(QString::fromStdString(settings.hint));
    ui_->hintLabel->setVisible(!settings.hint.empty());
    suggestedProviderId_ = settings.providerId;
    if (filled_.server == ui_->serverEdit->text()) {
        ui_->serverEdit->setText(QString::fromStdString(settings.server));
        filled_.server = ui_->serverEdit->text();
    }
    // Port and security go together: a hand-picked one keeps the other as it is.
    if (filled_.security == ui_->securityCombo->currentIndex() &&
        filled_.port == ui_->portBox->Text()) {
        ui_->securityCombo->setCurrentIndex(static_cast<int>(settings.security));
        ui_->portBox->SetValue(settings.port);
        filled_.security = ui_->securityCombo->currentIndex();
        filled_.port = ui_->portBox->Text();
    }
    if (filled_.user == ui_->userEdit->text()) {
        ui_->userEdit->setText(
            QString::fromStdString(ExpandUserName(settings.userName, email.toStdString())));
        filled_.user = ui_->userEdit->text();
    }
    if (filled_.method == ui_->authCombo->currentIndex()) {
        ui_->authCombo->setCurrentIndex(static_cast<int>(settings.signIn));
        filled_.method = ui_->authCombo->currentIndex();
    }
}

void AccountDialog::ShowMethod() {
    const bool oauth2 = ui_->authCombo->currentIndex() == static_cast<int>(SignInMethod::kOAuth2);
    ui_->passwordLabel->setVisible(!oauth2);
    ui_->passwordEdit->setVisible(!oauth2);
    ui_->signInButton->setVisible(oauth2);
    ui_->signInButton->setEnabled(static_cast<bool>(signIn_));
}

void AccountDialog::ShowTrust() {
    const bool trusted = !trustedFingerprint_.empty();
    ui_->trustLabel->setText(trusted ? QStringLiteral("Trusted certificate: SHA-256\n") +
                                           GroupedFingerprint(trustedFingerprint_)
                                     : QString());
    ui_->trustLabel->setVisible(trusted);
    ui_->forgetButton->setVisible(trusted);
}

void AccountDialog::SignIn() {
    if (!signIn_) {
        return;
    }
    int period = 0;
    int port = 0;
    if (ui_->periodBox->Parse(ui_->periodBox->Text(), period) != NumberBox::Check::Ok) {
        period = kDefaultPeriod;
    }
    if (ui_->portBox->Parse(ui_->portBox->Text(), port) != NumberBox::Check::Ok) {
        port = 0;
    }
    AccountRecord record = Record(period, port);
    if (signIn_(record) && record.providerId[0] != '\0') {
        signedInProviderId_ = record.providerId;
    }
}

void AccountDialog::Load(const AccountRecord& record) {
    loading_ = true;
    const AccountLogin login = SplitAddress(record.address);
    const std::string email = record.emailAddress[0] != '\0' ? std::string(record.emailAddress)
                              : IsMailAddress(login.user)    ? login.user
                                                             : std::string();
    ui_->descriptionEdit->setText(Text(record.description));
    ui_->emailEdit->setText(Text(email));
    ui_->serverEdit->setText(Text(login.host));
    ui_->userEdit->setText(Text(login.user));
    ui_->passwordEdit->clear();
    ui_->passwordEdit->setPlaceholderText(QStringLiteral("(unchanged)"));
    ui_->periodBox->SetValue(record.periodMinutes);
    ui_->scanCheck->setChecked(record.scanMessages != 0);
    autoDeleteCheck_->setChecked(record.autoDelete == 1);
    deleteThresholdBox_->setValue(record.deleteThreshold >= kMinDeleteThreshold &&
                                          record.deleteThreshold <= kMaxDeleteThreshold
                                      ? record.deleteThreshold
                                      : kDefaultDeleteThreshold);
    ui_->authCombo->setCurrentIndex(static_cast<int>(SignInFromDigit(record.authMethod)));
    const ConnectionSecurity security = SecurityFromDigit(record.security);
    ui_->securityCombo->setCurrentIndex(static_cast<int>(security));
    ui_->portBox->SetValue(EffectivePort(security, record.port));
    trustedFingerprint_ = record.trustedFingerprint;
    loaded_ = true;
    loadedAddress_ = record.address;
    loadedUser_ = Bytes(ui_->userEdit->text());
    loadedServer_ = Bytes(ui_->serverEdit->text());
    loadedPort_ = EffectivePort(security, record.port);
    loadedPortDigits_ = record.port;
    loadedSecurity_ = record.security;
    loadedMethod_ = record.authMethod;
    loadedProviderId_ = record.providerId;
    // The stored settings are the user's own; only a user name that was the address
    // goes on following it, and only empty fields take what the address suggests.
    const auto emptyOrOwn = [](const QString& text) {
        return text.isEmpty() ? std::optional<QString>(text) : std::nullopt;
    };
    filled_ = {emptyOrOwn(ui_->serverEdit->text()),
               email == login.user ? std::optional<QString>(ui_->userEdit->text())
                                   : emptyOrOwn(ui_->userEdit->text()),
               std::nullopt, std::nullopt, std::nullopt};
    loading_ = false;
    ShowMethod();
    ShowTrust();
}

std::string AccountDialog::ProviderId() const {
    // A stored account keeps its provider until its address is edited.
    for (const std::string* id :
         {&signedInProviderId_, &suggestedProviderId_, &loadedProviderId_}) {
        if (!id->empty()) {
            return *id;
        }
    }
    const MailProvider* provider = ProviderForDomain(DomainOf(Email().toStdString()));
    if (provider == nullptr || provider->providerId.empty()) {
        provider = ProviderForServer(ui_->serverEdit->text().trimmed().toStdString());
    }
    return provider != nullptr ? std::string(provider->providerId) : std::string();
}

// Off for every account until chosen here: deletion changes the mailbox.
void AccountDialog::AddDeletionRow() {
    auto* row = new QHBoxLayout;
    autoDeleteCheck_ = new QCheckBox(
        QStringLiteral("Delete unwanted messages from the server (a copy is kept)"), this);
    autoDeleteCheck_->setObjectName(QStringLiteral("autoDeleteCheck"));
    deleteThresholdBox_ = new QSpinBox(this);
    deleteThresholdBox_->setObjectName(QStringLiteral("deleteThresholdBox"));
    deleteThresholdBox_->setRange(kMinDeleteThreshold, kMaxDeleteThreshold);
    deleteThresholdBox_->setPrefix(QStringLiteral("-"));
    deleteThresholdBox_->setValue(kDefaultDeleteThreshold);
    deleteThresholdBox_->setEnabled(false);
    connect(autoDeleteCheck_, &QCheckBox::toggled, deleteThresholdBox_, &QWidget::setEnabled);
    row->addWidget(autoDeleteCheck_);
    row->addWidget(new QLabel(QStringLiteral("at a score of"), this));
    row->addWidget(deleteThresholdBox_);
    row->addWidget(new QLabel(QStringLiteral("or below"), this));
    row->addStretch();
    ui_->fieldsLayout->addLayout(row, ui_->fieldsLayout->rowCount(), 0, 1, 2);
}

AccountRecord AccountDialog::Record(int period, int port) const {
    AccountRecord record{};
    const std::string user = Bytes(ui_->userEdit->text());
    const std::string server = Bytes(ui_->serverEdit->text().trimmed());
    const std::string email = Bytes(Email());
    const ConnectionSecurity security = Security();
    const bool sameServer = loaded_ && server == loadedServer_;
    const bool samePort = loaded_ && EffectivePort(security, port) == loadedPort_;
    SetAccountText(record.description, Bytes(ui_->descriptionEdit->text()));
    // An unchanged login is stored as it was, even one without an at sign.
    SetAccountText(record.address,
                   sameServer && user == loadedUser_ ? loadedAddress_ : user + "@" + server);
    SetAccountText(record.emailAddress, email != user ? email : std::string());
    const int method = ui_->authCombo->currentIndex();
    record.authMethod = loaded_ && method == static_cast<int>(SignInFromDigit(loadedMethod_))
                            ? loadedMethod_
                            : method;
    if (method == static_cast<int>(SignInMethod::kOAuth2)) {
        SetAccountText(record.providerId, ProviderId());
    } else {
        SetAccountText(record.password, Bytes(ui_->passwordEdit->text()));
    }
    record.periodMinutes = period;
    record.scanMessages = ui_->scanCheck->isChecked() ? 1 : 0;
    record.autoDelete = autoDeleteCheck_->isChecked() ? 1 : 0;
    record.deleteThreshold = deleteThresholdBox_->value();
    record.lastCheck = 0;
    record.security = loaded_ && security == SecurityFromDigit(loadedSecurity_)
                          ? loadedSecurity_
                          : static_cast<int>(security);
    record.port =
        samePort && security == SecurityFromDigit(loadedSecurity_) ? loadedPortDigits_ : port;
    // A trusted certificate belongs to one server: another host or port drops it.
    if (sameServer && samePort) {
        std::snprintf(record.trustedFingerprint, sizeof record.trustedFingerprint, "%s",
                      trustedFingerprint_.c_str());
    }
    return record;
}

AccountRecord AccountDialog::Values() const {
    return Record(period_, port_);
}

bool AccountDialog::PasswordTyped() const {
    return ui_->passwordEdit->isVisibleTo(this) && !ui_->passwordEdit->text().isEmpty();
}

bool AccountDialog::Refuse(QWidget* box, const QString& message) {
    ShowMessage(this, message);
    box->setFocus();
    return false;
}

bool AccountDialog::CheckNames() {
    const QString server = ui_->serverEdit->text().trimmed();
    const QString email = Email();
    if (server.isEmpty()) {
        return Refuse(ui_->serverEdit, QStringLiteral("Enter the server's name."));
    }
    // The login runs to the last at sign, so one in the server's name would move it.
    if (server.contains(QLatin1Char('@')) ||
        std::any_of(server.begin(), server.end(), [](QChar c) { return c.isSpace(); })) {
        return Refuse(ui_->serverEdit,
                      QStringLiteral("The server's name cannot hold an at sign or a space."));
    }
    if (ui_->userEdit->text().isEmpty()) {
        return Refuse(ui_->userEdit, QStringLiteral("Enter the user name."));
    }
    if (!email.isEmpty() && !IsMailAddress(email.toStdString())) {
        return Refuse(ui_->emailEdit,
                      QStringLiteral("Enter the whole e-mail address, such as me@example.com, "
                                     "or leave it empty."));
    }
    // The login and the server are stored together, as "user name@server".
    if (Bytes(ui_->userEdit->text()).size() + 1 + Bytes(server).size() > kTextSize - 1) {
        return Refuse(ui_->userEdit,
                      QStringLiteral("The user name and the server's name are too long "
                                     "together: shorten one of them."));
    }
    return true;
}

void AccountDialog::accept() {
    // An empty port box means the mode's default (0).
    if (!ui_->periodBox->CheckOnAccept(QStringLiteral("period"), period_) ||
        !ui_->portBox->CheckOnAccept(QStringLiteral("port"), port_, true) || !CheckNames()) {
        return;
    }
    QDialog::accept();
}
