#pragma once

#include <QString>
#include <atomic>
#include <chrono>
#include <functional>

#include "app/oauth_providers.h"
#include "app/sign_in_result.h"

// The device authorization grant (RFC 8628): the user enters a short code on another
// device while this one polls the token endpoint at the interval the server asks for.
class DeviceSignIn {
  public:
    struct Settings {
        std::chrono::seconds slowDownStep{5};           // RFC 8628 section 3.5
        std::chrono::milliseconds requestLimit{45000};  // one request
    };
    // Tells the user where to go and what to type.
    using ShowCode = std::function<void(const QString& verificationUri, const QString& userCode)>;

    DeviceSignIn(OAuthProvider provider, ShowCode show);
    DeviceSignIn(OAuthProvider provider, ShowCode show, Settings settings);

    SignInResult Run(const std::atomic<bool>* stop = nullptr);

  private:
    OAuthProvider provider_;
    ShowCode show_;
    Settings settings_;
};
