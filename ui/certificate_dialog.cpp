#include "ui/certificate_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/resources.h"

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

}  // namespace

CertificateDialog::CertificateDialog(const CertificateInfo& certificate, const QString& reason,
                                     QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(QStringLiteral("Certificate"));
    setWindowIcon(ProgramIcon());
    auto* layout = new QVBoxLayout(this);
    auto* why = new QLabel(reason + QStringLiteral("."));
    why->setWordWrap(true);
    layout->addWidget(why);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Subject:"), Selectable(Text(certificate.subject)));
    form->addRow(QStringLiteral("Issuer:"), Selectable(Text(certificate.issuer)));
    form->addRow(QStringLiteral("Valid from:"), Selectable(Text(certificate.notBefore)));
    form->addRow(QStringLiteral("Valid until:"), Selectable(Text(certificate.notAfter)));
    QLabel* fingerprint = Selectable(FingerprintText(certificate.fingerprint));
    fingerprint->setFont(QFont(QStringLiteral("monospace")));
    form->addRow(QStringLiteral("SHA-256 fingerprint:"), fingerprint);
    layout->addLayout(form);

    auto* advice = new QLabel(QStringLiteral(
        "Trust it only if your provider confirms this fingerprint. From then on this "
        "certificate, and only it, is accepted for the account."));
    advice->setWordWrap(true);
    layout->addWidget(advice);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel);
    trustButton_ =
        buttons->addButton(QStringLiteral("Trust this certificate"), QDialogButtonBox::AcceptRole);
    buttons->button(QDialogButtonBox::Cancel)->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    setMinimumWidth(460);
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
