#pragma once

#include <QString>

// What a finished sign-in gives: the tokens, or why there are none.
struct SignInResult {
    bool ok = false;
    QString error;  // for the user: short and plain
    QString accessToken;
    QString refreshToken;
    int expiresIn = 0;  // seconds; 0 when the server did not say
};
