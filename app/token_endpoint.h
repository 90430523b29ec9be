#pragma once

#include <QString>
#include <QUrlQuery>
#include <atomic>
#include <chrono>

// What a token or device endpoint answered (RFC 6749 section 5, RFC 8628 section 3.2).
struct TokenAnswer {
    bool reached = false;  // false: no HTTP answer (network, time limit or stop)
    int status = 0;        // the HTTP status
    QString error;         // the OAuth2 error code of a refusal, e.g. "invalid_grant"
    QString errorText;     // why there was no answer, or the server's description
    QString accessToken;
    QString refreshToken;
    int expiresIn = 0;  // seconds; 0 when not given
    // The device endpoint's fields.
    QString deviceCode;
    QString userCode;
    QString verificationUri;
    int interval = 0;

    bool ok() const { return reached && status >= 200 && status < 300 && error.isEmpty(); }
};

// Posts one form to an OAuth2 endpoint and waits for the JSON answer on the calling
// thread, with a QNetworkAccessManager of its own and a local event loop, so it works
// on the worker's thread as well as the application's. The wait ends at `limit` or
// when `stop` rises.
class TokenEndpoint {
  public:
    explicit TokenEndpoint(std::chrono::milliseconds limit,
                           const std::atomic<bool>* stop = nullptr);

    TokenAnswer Post(const QString& url, const QUrlQuery& form) const;

  private:
    std::chrono::milliseconds limit_;
    const std::atomic<bool>* stop_;
};
