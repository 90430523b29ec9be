#include "app/loopback_sign_in.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QEventLoop>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QOAuth2AuthorizationCodeFlow>
#include <QOAuthHttpServerReplyHandler>
#include <QRandomGenerator>
#include <QTimer>
#include <array>

#include "app/debug_log.h"

namespace {

// 32 bytes from the system's CSPRNG, base64url without padding: 43 characters, the
// verifier length RFC 7636 recommends; also the state.
QByteArray RandomText() {
    std::array<quint32, 8> words{};
    QRandomGenerator::system()->fillRange(words.data(), words.size());
    const QByteArray bytes(reinterpret_cast<const char*>(words.data()),
                           static_cast<qsizetype>(sizeof words));
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

QByteArray Challenge(const QByteArray& verifier) {
    return QCryptographicHash::hash(verifier, QCryptographicHash::Sha256)
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

QString Refusal(QNetworkReply* reply) {
    const QJsonObject json = QJsonDocument::fromJson(reply->readAll()).object();
    const QString error = json.value(QStringLiteral("error")).toString();
    return error.isEmpty()
               ? QStringLiteral("the token server refused: %1").arg(reply->errorString())
               : QStringLiteral("the token server refused: %1").arg(error);
}

}  // namespace

LoopbackSignIn::LoopbackSignIn(OAuthProvider provider, OpenAddress open,
                               std::chrono::milliseconds wait)
    : provider_(std::move(provider)), open_(std::move(open)), wait_(wait) {}

void LoopbackSignIn::Cancel() {
    emit cancelled();
}

SignInResult LoopbackSignIn::Run() {
    SignInResult result;
    // Only this machine may deliver the code: never listen on other addresses.
    QOAuthHttpServerReplyHandler listener(QHostAddress::LocalHost, 0);
    if (!listener.isListening()) {
        result.error = QStringLiteral("no port on 127.0.0.1 to receive the answer");
        return result;
    }
    listener.setCallbackText(QStringLiteral("Quorvane has the answer. You may close this page."));
    QNetworkAccessManager network;
    QOAuth2AuthorizationCodeFlow flow(&network);
    flow.setReplyHandler(&listener);
    flow.setAuthorizationUrl(QUrl(provider_.authorizationEndpoint));
    flow.setAccessTokenUrl(QUrl(provider_.tokenEndpoint));
    flow.setClientIdentifier(provider_.clientId);
    if (!provider_.clientSecret.isEmpty()) {
        flow.setClientIdentifierSharedKey(provider_.clientSecret);
    }
    flow.setScope(provider_.scope);
    const QString state = QString::fromLatin1(RandomText());
    flow.setState(state);
    const QByteArray verifier = RandomText();
    const QByteArray challenge = Challenge(verifier);
    // Qt's flow knows no PKCE: the two requests get its parameters added here.
    flow.setModifyParametersFunction(
        [verifier, challenge](QAbstractOAuth::Stage stage, QMultiMap<QString, QVariant>* p) {
            if (stage == QAbstractOAuth::Stage::RequestingAuthorization) {
                p->insert(QStringLiteral("code_challenge"), QString::fromLatin1(challenge));
                p->insert(QStringLiteral("code_challenge_method"), QStringLiteral("S256"));
            } else if (stage == QAbstractOAuth::Stage::RequestingAccessToken) {
                p->insert(QStringLiteral("code_verifier"), QString::fromLatin1(verifier));
            }
        });

    QEventLoop loop;
    bool finished = false;
    const auto fail = [&](const QString& why) {
        if (!finished) {
            finished = true;
            result.error = why;
            loop.quit();
        }
    };
    connect(&flow, &QAbstractOAuth::authorizeWithBrowser, &loop, [&](const QUrl& address) {
        DebugLog::Write("oauth", "sign-in at " + provider_.authorizationEndpoint.toStdString());
        if (!open_(address)) {
            fail(QStringLiteral("the browser could not be opened"));
        }
    });
    // Runs after the flow's own handling of the same redirect.
    connect(&listener, &QAbstractOAuthReplyHandler::callbackReceived, &loop,
            [&](const QVariantMap& answer) {
                QTimer::singleShot(0, &listener, [&listener] { listener.close(); });
                const QString error = answer.value(QStringLiteral("error")).toString();
                if (!error.isEmpty()) {
                    fail(QStringLiteral("the provider refused the sign-in: %1").arg(error));
                } else if (QUrl::fromPercentEncoding(
                               answer.value(QStringLiteral("state")).toByteArray()) != state) {
                    fail(QStringLiteral("the answer did not belong to this sign-in"));
                } else if (answer.value(QStringLiteral("code")).toString().isEmpty()) {
                    fail(QStringLiteral("the provider sent no code"));
                }
            });
    connect(&network, &QNetworkAccessManager::finished, &loop, [&](QNetworkReply* reply) {
        if (reply->error() != QNetworkReply::NoError) {
            fail(Refusal(reply));
        }
    });
    connect(&flow, &QAbstractOAuth::granted, &loop, [&] {
        if (!finished) {
            finished = true;
            result.ok = true;
            result.accessToken = flow.token();
            result.refreshToken = flow.refreshToken();
            const QDateTime expiry = flow.expirationAt();
            result.expiresIn = expiry.isValid()
                                   ? static_cast<int>(QDateTime::currentDateTime().secsTo(expiry))
                                   : 0;
            loop.quit();
        }
    });
    connect(this, &LoopbackSignIn::cancelled, &loop,
            [&] { fail(QStringLiteral("the sign-in was cancelled")); });
    QTimer limit;
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, &loop,
            [&] { fail(QStringLiteral("no answer came from the browser in time")); });
    limit.start(wait_);
    flow.grant();
    if (!finished) {
        loop.exec();
    }
    listener.close();
    if (result.ok && result.refreshToken.isEmpty()) {
        result.ok = false;
        result.error =
            QStringLiteral("the provider gave no refresh token (is offline access allowed?)");
    }
    return result;
}
