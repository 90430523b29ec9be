#pragma once

#include <QObject>
#include <QUrl>
#include <chrono>
#include <functional>

#include "app/oauth_providers.h"
#include "app/sign_in_result.h"

// The authorization code flow with PKCE (S256) and a state (RFC 6749, 7636, 8252):
// the browser is sent to the provider, which redirects it to a listener on
// http://127.0.0.1:<free port>/. The listener takes one redirect and then closes, or
// closes when the wait runs out. Run() blocks in a local event loop.
class LoopbackSignIn : public QObject {
    Q_OBJECT
  public:
    // Shows the authorization address to the user (the system browser, or a line on
    // standard output). False when it could not be shown.
    using OpenAddress = std::function<bool(const QUrl&)>;
    static constexpr std::chrono::minutes kDefaultWait{5};

    LoopbackSignIn(OAuthProvider provider, OpenAddress open,
                   std::chrono::milliseconds wait = kDefaultWait);

    SignInResult Run();

  public slots:
    // Ends a running sign-in as failed ("cancelled").
    void Cancel();

  signals:
    void cancelled();

  private:
    OAuthProvider provider_;
    OpenAddress open_;
    std::chrono::milliseconds wait_;
};
