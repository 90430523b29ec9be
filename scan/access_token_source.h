#pragma once

#include <optional>
#include <string>

#include "app/app_state.h"
#include "pop3/failure.h"

// Gives the worker an OAuth2 access token for an account that signs in with one.
// Called on the worker's thread; it may block on the network, and must return within
// the worker's silence limit or when the stop flag rises.
class AccessTokenSource {
  public:
    virtual ~AccessTokenSource() = default;
    // The access token for `account`. `renew`: the server refused the last one, so
    // get a new one with the refresh token even when the kept one has not expired.
    // Without a token, `why` says why (kSignInAgain when the user must sign in).
    virtual std::optional<std::string> AccessToken(const AccountRecord& account, bool renew,
                                                   Failure& why) = 0;
};
