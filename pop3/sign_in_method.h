#pragma once

// How an account signs in. The digits are the stored ones.
enum class SignInMethod : int { kPassword = 0, kApop = 1, kOAuth2 = 2 };

// The stored digit as a method; an unknown digit is the old behaviour, USER and PASS.
inline SignInMethod SignInFromDigit(int digit) {
    return digit == 1   ? SignInMethod::kApop
           : digit == 2 ? SignInMethod::kOAuth2
                        : SignInMethod::kPassword;
}
