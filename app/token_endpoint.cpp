#include "app/token_endpoint.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace {

// How often a wait looks at the stop flag.
constexpr int kStopPollMs = 50;

int Seconds(const QJsonValue& value) {
    // Some servers send numbers as strings.
    return value.isString() ? value.toString().toInt() : value.toInt();
}

void ReadBody(const QByteArray& body, TokenAnswer& answer) {
    const QJsonObject json = QJsonDocument::fromJson(body).object();
    answer.error = json.value(QStringLiteral("error")).toString();
    answer.errorText = json.value(QStringLiteral("error_description")).toString();
    answer.accessToken = json.value(QStringLiteral("access_token")).toString();
    answer.refreshToken = json.value(QStringLiteral("refresh_token")).toString();
    answer.expiresIn = Seconds(json.value(QStringLiteral("expires_in")));
    answer.deviceCode = json.value(QStringLiteral("device_code")).toString();
    answer.userCode = json.value(QStringLiteral("user_code")).toString();
    answer.verificationUri = json.value(QStringLiteral("verification_uri")).toString();
    answer.interval = Seconds(json.value(QStringLiteral("interval")));
    if (answer.status >= 400 && answer.error.isEmpty()) {
        answer.error = QStringLiteral("http_%1").arg(answer.status);
    }
}

}  // namespace

TokenEndpoint::TokenEndpoint(std::chrono::milliseconds limit, const std::atomic<bool>* stop)
    : limit_(limit), stop_(stop) {}

TokenAnswer TokenEndpoint::Post(const QString& url, const QUrlQuery& form) const {
    TokenAnswer answer;
    const QUrl address(url);
    if (!address.isValid() ||
        (address.scheme() != QLatin1String("https") && address.scheme() != QLatin1String("http"))) {
        answer.errorText = QStringLiteral("the address %1 is not a web address").arg(url);
        return answer;
    }
    // First: on a thread Qt did not start, the loop brings the event dispatcher that
    // the network manager's timers need.
    QEventLoop loop;
    QNetworkAccessManager network;
    QNetworkRequest request(address);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QStringLiteral("application/x-www-form-urlencoded"));
    request.setRawHeader("Accept", "application/json");
    request.setTransferTimeout(static_cast<int>(limit_.count()));
    QNetworkReply* reply = network.post(request, form.query(QUrl::FullyEncoded).toUtf8());
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [this, &loop] {
        if (stop_ && stop_->load()) {
            loop.quit();
        }
    });
    limit.start(limit_);
    poll.start(kStopPollMs);
    if (!reply->isFinished()) {
        loop.exec();
    }
    if (!reply->isFinished()) {
        reply->abort();
        answer.errorText = stop_ && stop_->load() ? QStringLiteral("stopped")
                                                  : QStringLiteral("no answer in time");
        delete reply;
        return answer;
    }
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.reached = answer.status != 0;
    if (!answer.reached) {
        answer.errorText = reply->errorString();
    } else {
        ReadBody(reply->readAll(), answer);
    }
    delete reply;
    return answer;
}
