#include "app/device_sign_in.h"

#include <QEventLoop>
#include <QTimer>
#include <QUrlQuery>

#include "app/debug_log.h"
#include "app/token_endpoint.h"

namespace {

constexpr int kDefaultInterval = 5;  // seconds, when the server names none
constexpr int kStopPollMs = 50;

// Waits on the calling thread; false when `stop` rose first.
bool Pause(std::chrono::milliseconds wait, const std::atomic<bool>* stop) {
    QEventLoop loop;
    QTimer done;
    done.setSingleShot(true);
    QObject::connect(&done, &QTimer::timeout, &loop, &QEventLoop::quit);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&loop, stop] {
        if (stop && stop->load()) {
            loop.quit();
        }
    });
    done.start(wait);
    poll.start(kStopPollMs);
    loop.exec();
    return !(stop && stop->load());
}

QString Unreached(const TokenAnswer& answer) {
    return QStringLiteral("the sign-in server could not be reached: %1").arg(answer.errorText);
}

}  // namespace

DeviceSignIn::DeviceSignIn(OAuthProvider provider, ShowCode show)
    : DeviceSignIn(std::move(provider), std::move(show), Settings{}) {}

DeviceSignIn::DeviceSignIn(OAuthProvider provider, ShowCode show, Settings settings)
    : provider_(std::move(provider)), show_(std::move(show)), settings_(settings) {}

SignInResult DeviceSignIn::Run(const std::atomic<bool>* stop) {
    SignInResult result;
    const TokenEndpoint endpoint(settings_.requestLimit, stop);
    QUrlQuery ask;
    ask.addQueryItem(QStringLiteral("client_id"), provider_.clientId);
    ask.addQueryItem(QStringLiteral("scope"), provider_.scope);
    const TokenAnswer device = endpoint.Post(provider_.deviceAuthorizationEndpoint, ask);
    if (!device.reached) {
        result.error = Unreached(device);
        return result;
    }
    if (!device.ok() || device.deviceCode.isEmpty() || device.userCode.isEmpty() ||
        device.verificationUri.isEmpty()) {
        result.error = QStringLiteral("the sign-in server refused: %1")
                           .arg(device.error.isEmpty() ? QStringLiteral("no code") : device.error);
        return result;
    }
    // Without expires_in the code is given the time RFC 8628's examples use.
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::seconds(device.expiresIn > 0 ? device.expiresIn : 1800);
    std::chrono::seconds interval(device.interval > 0 ? device.interval : kDefaultInterval);
    show_(device.verificationUri, device.userCode);

    QUrlQuery poll;
    poll.addQueryItem(QStringLiteral("grant_type"),
                      QStringLiteral("urn:ietf:params:oauth:grant-type:device_code"));
    poll.addQueryItem(QStringLiteral("device_code"), device.deviceCode);
    poll.addQueryItem(QStringLiteral("client_id"), provider_.clientId);
    if (!provider_.clientSecret.isEmpty()) {
        poll.addQueryItem(QStringLiteral("client_secret"), provider_.clientSecret);
    }
    for (;;) {
        if (std::chrono::steady_clock::now() + interval > deadline) {
            result.error = QStringLiteral("the code expired before the sign-in was done");
            return result;
        }
        if (!Pause(interval, stop)) {
            result.error = QStringLiteral("the sign-in was cancelled");
            return result;
        }
        const TokenAnswer answer = endpoint.Post(provider_.tokenEndpoint, poll);
        if (!answer.reached) {
            result.error = Unreached(answer);
            return result;
        }
        if (answer.error == QLatin1String("authorization_pending")) {
            continue;
        }
        if (answer.error == QLatin1String("slow_down")) {
            interval += settings_.slowDownStep;
            DebugLog::Write("oauth", "the server asked to poll more slowly");
            continue;
        }
        if (answer.error == QLatin1String("expired_token")) {
            result.error = QStringLiteral("the code expired before the sign-in was done");
            return result;
        }
        if (answer.error == QLatin1String("access_denied")) {
            result.error = QStringLiteral("the sign-in was refused");
            return result;
        }
        if (!answer.ok() || answer.accessToken.isEmpty() || answer.refreshToken.isEmpty()) {
            result.error = QStringLiteral("the sign-in server refused: %1")
                               .arg(answer.error.isEmpty() ? QStringLiteral("no refresh token")
                                                           : answer.error);
            return result;
        }
        result.ok = true;
        result.accessToken = answer.accessToken;
        result.refreshToken = answer.refreshToken;
        result.expiresIn = answer.expiresIn;
        return result;
    }
}
