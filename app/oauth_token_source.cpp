#include "app/oauth_token_source.h"

#include <QString>
#include <QUrlQuery>
#include <algorithm>

#include "app/debug_log.h"
#include "app/oauth_providers.h"
#include "app/token_endpoint.h"
#include "app/token_store.h"

namespace {

Failure SignInAgain(const std::string& why) {
    return Failure{FailureKind::kSignInAgain, why, {}};
}

}  // namespace

std::chrono::milliseconds OAuthTokenSource::Remaining(
    std::chrono::steady_clock::time_point started) const {
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    return std::max(settings_.limit - spent, std::chrono::milliseconds(1000));
}

OAuthTokenSource::OAuthTokenSource(const AppState& state) : OAuthTokenSource(state, Settings{}) {}

OAuthTokenSource::OAuthTokenSource(const AppState& state, Settings settings)
    : state_(state), settings_(settings) {}

void OAuthTokenSource::Keep(const AccountRecord& account, const std::string& accessToken,
                            int expiresIn) {
    const auto lifetime = std::chrono::seconds(expiresIn > 0 ? expiresIn : 3600);
    const std::lock_guard lock(mutex_);
    kept_[TokenStore::Key(account)] =
        Kept{accessToken, std::chrono::steady_clock::now() + lifetime - settings_.early};
}

std::optional<std::string> OAuthTokenSource::AccessToken(const AccountRecord& account, bool renew,
                                                         Failure& why) {
    why = {};
    const std::string key = TokenStore::Key(account);
    {
        const std::lock_guard lock(mutex_);
        const auto found = kept_.find(key);
        if (found != kept_.end()) {
            if (!renew && std::chrono::steady_clock::now() < found->second.due) {
                return found->second.token;
            }
            kept_.erase(found);
        }
    }
    if (stop_) {
        why = Failure{FailureKind::kStopped, {}, {}};
        return std::nullopt;
    }
    return Refresh(account, why);
}

std::optional<std::string> OAuthTokenSource::Refresh(const AccountRecord& account, Failure& why) {
    // The keyring's wait and the request's share the worker's one limit.
    const auto started = std::chrono::steady_clock::now();
    OAuthProviders providers;
    const QString dataDirectory = QString::fromLocal8Bit(state_.dataDirectory);
    if (!providers.Load(OAuthProviders::FilePath(dataDirectory))) {
        why = Failure{FailureKind::kBadCredential, "providers.json cannot be read", {}};
        return std::nullopt;
    }
    const std::optional<OAuthProvider> provider =
        providers.Find(QString::fromLocal8Bit(account.providerId));
    if (!provider) {
        why = SignInAgain("the account names no known OAuth2 provider");
        return std::nullopt;
    }
    if (provider->clientId.isEmpty()) {
        why = SignInAgain("no client id for " + provider->name.toStdString() +
                          ": enter it in Options");
        return std::nullopt;
    }
    TokenStore store(state_);
    const std::string key = TokenStore::Key(account);
    bool unreadable = false;
    const std::optional<std::string> refreshToken = store.Read(key, &unreadable);
    if (!refreshToken) {
        why = unreadable ? Failure{FailureKind::kTemporary, "the keyring could not be read", {}}
                         : SignInAgain("not signed in");
        return std::nullopt;
    }
    QUrlQuery form;
    form.addQueryItem(QStringLiteral("grant_type"), QStringLiteral("refresh_token"));
    form.addQueryItem(QStringLiteral("refresh_token"), QString::fromStdString(*refreshToken));
    form.addQueryItem(QStringLiteral("client_id"), provider->clientId);
    if (!provider->clientSecret.isEmpty()) {
        form.addQueryItem(QStringLiteral("client_secret"), provider->clientSecret);
    }
    DebugLog::Write("oauth",
                    "refreshing the access token at " + provider->tokenEndpoint.toStdString());
    const TokenAnswer answer =
        TokenEndpoint(Remaining(started), &stop_).Post(provider->tokenEndpoint, form);
    if (!answer.reached) {
        why = stop_ ? Failure{FailureKind::kStopped, {}, {}}
                    : Failure{FailureKind::kConnection,
                              "the token server could not be reached: " +
                                  answer.errorText.toStdString(),
                              {}};
        return std::nullopt;
    }
    if (answer.error == QLatin1String("invalid_grant")) {
        why = SignInAgain("the sign-in has expired or was withdrawn");
        return std::nullopt;
    }
    if (!answer.ok() || answer.accessToken.isEmpty()) {
        why = Failure{
            FailureKind::kServer,
            "the token server refused: " + (answer.error.isEmpty() ? std::string("no access token")
                                                                   : answer.error.toStdString()),
            {}};
        return std::nullopt;
    }
    if (!answer.refreshToken.isEmpty() && answer.refreshToken.toStdString() != *refreshToken &&
        !store.Write(key, answer.refreshToken.toStdString())) {
        // The old token is dead already; this access token is all that is left.
        DebugLog::Write("oauth", "the renewed refresh token could not be stored");
    }
    const std::string token = answer.accessToken.toStdString();
    Keep(account, token, answer.expiresIn);
    return token;
}
