#pragma once

#include <QDialog>
#include <QString>

#include "pop3/certificate_info.h"

class QPushButton;

// "Certificate": what the server showed and why it is not trusted, with the choice of
// trusting exactly this certificate for the account. Accepted means trust it.
class CertificateDialog : public QDialog {
    Q_OBJECT
  public:
    CertificateDialog(const CertificateInfo& certificate, const QString& reason,
                      QWidget* parent = nullptr);

    QPushButton* trustButton() const { return trustButton_; }
    // The fingerprint as shown: pairs of digits between colons, in four lines.
    static QString FingerprintText(const std::string& fingerprint);

  private:
    QPushButton* trustButton_ = nullptr;
};
