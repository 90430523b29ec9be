#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <optional>

#include "pop3/mail_providers.h"

class QNetworkAccessManager;
class QNetworkReply;

struct AutoconfigOptions {
    // The places asked in turn: %1 is the domain, %2 the address, percent-encoded.
    // Only https places are asked.
    QStringList urlTemplates = {
        QStringLiteral("https://autoconfig.%1/mail/config-v1.1.xml?emailaddress=%2"),
        QStringLiteral("https://%1/.well-known/autoconfig/mail/config-v1.1.xml"),
    };
    QList<QSslCertificate> caCertificates;  // empty: the system's authorities
    int timeoutMs = 10000;                  // per place asked
    qint64 maxBytes = 64 * 1024;
};

// The POP3 server of a mail configuration document: the first
// clientConfig/emailProvider/incomingServer of type pop3 whose host, port, security
// and sign-in Quorvane can use. Nothing for a document without one.
std::optional<MailSettings> ParseAutoconfig(const QByteArray& document);

// Asks a domain's published mail configuration for its POP3 server, without blocking.
// Only the address goes out, never a password; a redirect to plain http is refused.
class AutoconfigLookup : public QObject {
    Q_OBJECT
  public:
    explicit AutoconfigLookup(AutoconfigOptions options = {}, QObject* parent = nullptr);
    ~AutoconfigLookup() override;

    // Looks up the domain of `address` in place of any lookup still running. False,
    // with nothing started, when the domain is not a host name.
    bool Start(const QString& address);
    void Stop();
    bool Running() const { return reply_ != nullptr; }
    // The domain being looked up now; empty when none is.
    const QString& Domain() const { return domain_; }

  signals:
    // Once per lookup that was not replaced; no settings when no place gave a POP3 server.
    void finished(const QString& domain, const std::optional<MailSettings>& settings);

  private:
    void AskNext();
    void OnReadyRead();
    void OnFinished();
    void Drop();

    AutoconfigOptions options_;
    QNetworkAccessManager* network_;
    QNetworkReply* reply_ = nullptr;  // the place being asked now
    QTimer deadline_;
    QString domain_;
    QString address_;
    int next_ = 0;
    QByteArray body_;
    bool tooLarge_ = false;
};
