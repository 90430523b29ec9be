#include "ui/autoconfig_lookup.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QUrl>
#include <QXmlStreamReader>
#include <utility>

namespace {

constexpr int kMaxRedirects = 3;
constexpr qsizetype kMaxField = 255;

std::optional<ConnectionSecurity> SecurityOf(const QString& socketType) {
    if (socketType == QLatin1String("SSL")) {
        return ConnectionSecurity::kTls;
    }
    if (socketType == QLatin1String("STARTTLS")) {
        return ConnectionSecurity::kStartTls;
    }
    if (socketType == QLatin1String("plain")) {
        return ConnectionSecurity::kNone;
    }
    return std::nullopt;
}

// What one incomingServer element says, before it is judged usable.
struct ServerEntry {
    QString hostname;
    QString port;
    QString socketType;
    QString username;
    bool password = false;
    bool oauth2 = false;
    bool listsAuthentication = false;
};

std::optional<MailSettings> Usable(const ServerEntry& entry) {
    const std::string host = entry.hostname.trimmed().toLower().toStdString();
    bool portOk = false;
    const int port = entry.port.trimmed().toInt(&portOk);
    const std::optional<ConnectionSecurity> security = SecurityOf(entry.socketType.trimmed());
    const QString user = entry.username.trimmed();
    if (!IsHostName(host) || !portOk || port < 1 || port > 65535 || !security ||
        user.size() > kMaxField || user.contains(QLatin1Char('\n'))) {
        return std::nullopt;
    }
    // Without a listed method a server takes the password; a server that takes only
    // methods Quorvane lacks is of no use. The password wins where both are offered:
    // OAuth2 needs a client registered with the provider.
    if (entry.listsAuthentication && !entry.password && !entry.oauth2) {
        return std::nullopt;
    }
    MailSettings settings;
    settings.server = host;
    settings.port = port;
    settings.security = *security;
    if (!user.isEmpty()) {
        settings.userName = user.toStdString();
    }
    settings.signIn =
        entry.password || !entry.oauth2 ? SignInMethod::kPassword : SignInMethod::kOAuth2;
    return settings;
}

ServerEntry ReadServer(QXmlStreamReader& xml) {
    ServerEntry entry;
    while (xml.readNextStartElement()) {
        const QStringView name = xml.name();
        if (name == QLatin1String("authentication")) {
            const QString method = xml.readElementText().trimmed();
            entry.listsAuthentication = true;
            entry.password = entry.password || method == QLatin1String("password-cleartext") ||
                             method == QLatin1String("plain");
            entry.oauth2 = entry.oauth2 || method == QLatin1String("OAuth2");
        } else if (name == QLatin1String("hostname")) {
            entry.hostname = xml.readElementText();
        } else if (name == QLatin1String("port")) {
            entry.port = xml.readElementText();
        } else if (name == QLatin1String("socketType")) {
            entry.socketType = xml.readElementText();
        } else if (name == QLatin1String("username")) {
            entry.username = xml.readElementText();
        } else {
            xml.skipCurrentElement();
        }
    }
    return entry;
}

std::optional<MailSettings> ReadProvider(QXmlStreamReader& xml) {
    std::optional<MailSettings> found;
    while (xml.readNextStartElement()) {
        const bool pop3 = xml.name() == QLatin1String("incomingServer") &&
                          xml.attributes().value(QLatin1String("type")) == QLatin1String("pop3");
        if (!pop3) {
            xml.skipCurrentElement();
            continue;
        }
        const ServerEntry entry = ReadServer(xml);
        if (!found) {
            found = Usable(entry);
        }
    }
    return found;
}

}  // namespace

std::optional<MailSettings> ParseAutoconfig(const QByteArray& document) {
    QXmlStreamReader xml(document);
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("clientConfig")) {
        return std::nullopt;
    }
    std::optional<MailSettings> found;
    while (xml.readNextStartElement()) {
        if (xml.name() != QLatin1String("emailProvider")) {
            xml.skipCurrentElement();
            continue;
        }
        std::optional<MailSettings> settings = ReadProvider(xml);
        if (!found) {
            found = std::move(settings);
        }
    }
    while (!xml.atEnd()) {
        xml.readNext();
    }
    // A malformed document is trusted in no part.
    return xml.hasError() ? std::nullopt : found;
}

AutoconfigLookup::AutoconfigLookup(AutoconfigOptions options, QObject* parent)
    : QObject(parent), options_(std::move(options)), network_(new QNetworkAccessManager(this)) {
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] {
        if (reply_ != nullptr) {
            reply_->abort();
        }
    });
}

AutoconfigLookup::~AutoconfigLookup() {
    Drop();
}

bool AutoconfigLookup::Start(const QString& address) {
    Stop();
    const QString domain = QString::fromStdString(DomainOf(address.trimmed().toStdString()));
    if (!IsHostName(domain.toStdString()) || !domain.contains(QLatin1Char('.'))) {
        return false;
    }
    domain_ = domain;
    address_ = address.trimmed();
    next_ = 0;
    AskNext();
    return true;
}

void AutoconfigLookup::Stop() {
    Drop();
    domain_.clear();
    address_.clear();
}

void AutoconfigLookup::Drop() {
    deadline_.stop();
    if (reply_ != nullptr) {
        QNetworkReply* reply = reply_;
        reply_ = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

void AutoconfigLookup::AskNext() {
    while (next_ < options_.urlTemplates.size()) {
        const QUrl url(options_.urlTemplates[next_++].arg(
            domain_, QString::fromLatin1(QUrl::toPercentEncoding(address_))));
        if (!url.isValid() || url.scheme() != QLatin1String("https")) {
            continue;
        }
        QNetworkRequest request(url);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::NoLessSafeRedirectPolicy);
        request.setMaximumRedirectsAllowed(kMaxRedirects);
        request.setTransferTimeout(options_.timeoutMs);
        if (!options_.caCertificates.isEmpty()) {
            QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
            tls.setCaCertificates(options_.caCertificates);
            request.setSslConfiguration(tls);
        }
        body_.clear();
        tooLarge_ = false;
        reply_ = network_->get(request);
        connect(reply_, &QNetworkReply::readyRead, this, &AutoconfigLookup::OnReadyRead);
        connect(reply_, &QNetworkReply::finished, this, &AutoconfigLookup::OnFinished);
        deadline_.start(options_.timeoutMs);
        return;
    }
    const QString domain = domain_;
    domain_.clear();
    emit finished(domain, std::nullopt);
}

void AutoconfigLookup::OnReadyRead() {
    if (reply_ == nullptr) {
        return;
    }
    body_ += reply_->read(options_.maxBytes + 1 - body_.size());
    if (body_.size() > options_.maxBytes || reply_->bytesAvailable() > 0) {
        tooLarge_ = true;
        reply_->abort();
    }
}

void AutoconfigLookup::OnFinished() {
    deadline_.stop();
    QNetworkReply* reply = reply_;
    reply_ = nullptr;
    if (reply == nullptr) {
        return;
    }
    reply->deleteLater();
    if (reply->error() == QNetworkReply::NoError && !tooLarge_) {
        body_ += reply->read(options_.maxBytes + 1 - body_.size());
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status == 200 && body_.size() <= options_.maxBytes) {
            if (std::optional<MailSettings> settings = ParseAutoconfig(body_)) {
                const QString domain = domain_;
                domain_.clear();
                emit finished(domain, settings);
                return;
            }
        }
    }
    AskNext();
}
