#pragma once

#include <QDialog>
#include <QString>
#include <string>

#include "pop3/certificate_info.h"

class QLabel;
class SkinButton;

// Whose check refused the certificate: the account, the server as "host:port", and
// the fingerprint the account trusted until then ("" when it trusted none).
struct CertificateSource {
    QString account;
    QString server;
    std::string trustedBefore;
};

// "Certificate": what the server showed and every reason it is not trusted, with the
// choice of trusting exactly this certificate for the account. Accepted means trust
// it. Cancel is the default: Return must never trust a certificate by accident.
class CertificateDialog : public QDialog {
    Q_OBJECT
  public:
    CertificateDialog(const CertificateInfo& certificate, const QString& reason,
                      const CertificateSource& source = {}, QWidget* parent = nullptr);

    SkinButton* trustButton() const { return trustButton_; }
    SkinButton* cancelButton() const { return cancelButton_; }
    // The heading and the reasons, as shown above the certificate.
    QString whyText() const;
    // The fingerprint as shown: pairs of digits between colons, in four lines.
    static QString FingerprintText(const std::string& fingerprint);

  private:
    QLabel* why_ = nullptr;
    SkinButton* trustButton_ = nullptr;
    SkinButton* cancelButton_ = nullptr;
};
