#include "ui/certificate_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/skin_button.h"

namespace {

constexpr int kPairsPerLine = 8;

QLabel* Selectable(const QString& text) {
    auto* label = new QLabel(text);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setWordWrap(true);
    return label;
}

QString Text(const std::string& bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// "The certificate of pop.example.com:995 (account "Home") is not trusted:" and one
// line per reason; without the reasons, the Status text as the check gave it.
QString WhyText(const CertificateInfo& certificate, const QString& reason,
                const CertificateSource& source) {
    if (certificate.reasons.empty()) {
        return reason + QStringLiteral(".");
    }
    QString heading = QStringLiteral("The certificate");
    if (!source.server.isEmpty()) {
        heading += QStringLiteral(" of ") + source.server;
    }
    if (!source.account.isEmpty()) {
        heading += QStringLiteral(" (account \"%1\")").arg(source.account);
    }
    QStringList lines{heading + QStringLiteral(" is not trusted:")};
    for (const std::string& each : certificate.reasons) {
        lines << QStringLiteral("  \u2022 ") + Text(each);
    }
    return lines.join(QLatin1Char('\n'));
}

}  // namespace

CertificateDialog::CertificateDialog(const CertificateInfo& certificate, const QString& reason,
                                     const CertificateSource& source, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(source.account.isEmpty() ? QStringLiteral("Certificate")
                                            : QStringLiteral("Certificate: ") + source.account);
    auto* layout = new QVBoxLayout(this);
    why_ = new QLabel(WhyText(certificate, reason, source));
    why_->setWordWrap(true);
    layout->addWidget(why_);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Subject:"), Selectable(Text(certificate.subject)));
    form->addRow(QStringLiteral("Issuer:"), Selectable(Text(certificate.issuer)));
    form->addRow(QStringLiteral("Valid from:"), Selectable(Text(certificate.notBefore)));
    form->addRow(QStringLiteral("Valid until:"), Selectable(Text(certificate.notAfter)));
    QLabel* fingerprint = Selectable(FingerprintText(certificate.fingerprint));
    fingerprint->setFont(QFont(QStringLiteral("monospace")));
    form->addRow(QStringLiteral("SHA-256 fingerprint:"), fingerprint);
    // A changed certificate is judged against the one it replaces.
    if (!source.trustedBefore.empty() && source.trustedBefore != certificate.fingerprint) {
        QLabel* before = Selectable(FingerprintText(source.trustedBefore));
        before->setObjectName(QStringLiteral("trustedBefore"));
        before->setFont(QFont(QStringLiteral("monospace")));
        form->addRow(QStringLiteral("Trusted until now:"), before);
    }
    layout->addLayout(form);

    auto* advice = new QLabel(QStringLiteral(
        "Trust it only if your provider confirms this fingerprint. From then on this "
        "certificate, and only it, is accepted for the account."));
    advice->setWordWrap(true);
    layout->addWidget(advice);

    auto* buttons = new QDialogButtonBox;
    trustButton_ = new SkinButton(QStringLiteral("&Trust this certificate"));
    cancelButton_ = new SkinButton(QStringLiteral("Cancel"));
    buttons->addButton(trustButton_, QDialogButtonBox::AcceptRole);
    buttons->addButton(cancelButton_, QDialogButtonBox::RejectRole);
    UseProgramLook(this, {trustButton_, cancelButton_});
    // Return presses Cancel, wherever the focus is; trusting takes a deliberate click.
    trustButton_->setAutoDefault(false);
    cancelButton_->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    setMinimumWidth(460);
    cancelButton_->setFocus();
}

QString CertificateDialog::whyText() const {
    return why_->text();
}

QString CertificateDialog::FingerprintText(const std::string& fingerprint) {
    QString text;
    for (std::size_t i = 0; i + 1 < fingerprint.size(); i += 2) {
        if (i != 0) {
            text += (i / 2) % kPairsPerLine == 0 ? QStringLiteral(":\n") : QStringLiteral(":");
        }
        text += Text(fingerprint.substr(i, 2));
    }
    return text;
}
