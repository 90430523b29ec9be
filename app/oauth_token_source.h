#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "scan/access_token_source.h"

// Access tokens for the worker: kept in memory until shortly before they expire, and
// fetched with the stored refresh token (grant_type=refresh_token) when missing, due,
// or refused by the server. A rotated refresh token is stored before the access token
// is handed out, since the old one no longer works.
class OAuthTokenSource : public AccessTokenSource {
  public:
    struct Settings {
        std::chrono::milliseconds limit{45000};  // the worker's silence limit
        std::chrono::seconds early{60};          // renew this long before expiry
    };

    explicit OAuthTokenSource(const AppState& state);
    OAuthTokenSource(const AppState& state, Settings settings);

    std::optional<std::string> AccessToken(const AccountRecord& account, bool renew,
                                           Failure& why) override;

    // A sign-in's fresh access token, so the next check need not refresh at once.
    void Keep(const AccountRecord& account, const std::string& accessToken, int expiresIn);
    // Ends any wait on the network; later calls fail at once. For closing.
    void Stop() { stop_ = true; }

  private:
    struct Kept {
        std::string token;
        std::chrono::steady_clock::time_point due;
    };
    std::optional<std::string> Refresh(const AccountRecord& account, Failure& why);
    std::chrono::milliseconds Remaining(std::chrono::steady_clock::time_point started) const;

    const AppState& state_;
    Settings settings_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::map<std::string, Kept> kept_;  // by TokenStore::Key
};
