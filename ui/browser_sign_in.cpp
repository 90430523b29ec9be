#include "ui/browser_sign_in.h"

#include <QDesktopServices>
#include <QProgressDialog>

#include "app/oauth_providers.h"
#include "app/token_store.h"
#include "ui/message_box.h"

BrowserSignIn::BrowserSignIn(const AppState& state, QWidget* parent)
    : state_(state),
      parent_(parent),
      open_([](const QUrl& address) { return QDesktopServices::openUrl(address); }) {}

bool BrowserSignIn::Fail(const QString& why) {
    lastError_ = why;
    ShowMessage(parent_, why);
    return false;
}

bool BrowserSignIn::Run(AccountRecord& account) {
    lastError_.clear();
    OAuthProviders providers;
    QString problem;
    if (!providers.Load(OAuthProviders::FilePath(QString::fromLocal8Bit(state_.dataDirectory)),
                        &problem)) {
        return Fail(problem);
    }
    const std::optional<OAuthProvider> provider =
        providers.Find(QString::fromLocal8Bit(account.providerId));
    if (!provider) {
        return Fail(QStringLiteral("Choose the provider that signs this account in."));
    }
    if (provider->clientId.isEmpty()) {
        return Fail(
            QStringLiteral("Enter your client id for %1 in Options first.").arg(provider->name));
    }
    LoopbackSignIn signIn(*provider, open_, wait_);
    QProgressDialog waiting(QStringLiteral("Finish the sign-in in your browser."),
                            QStringLiteral("Cancel"), 0, 0, parent_);
    waiting.setWindowTitle(QStringLiteral("Quorvane"));
    waiting.setMinimumDuration(0);
    QObject::connect(&waiting, &QProgressDialog::canceled, &signIn, &LoopbackSignIn::Cancel);
    waiting.show();
    const SignInResult result = signIn.Run();
    waiting.reset();
    if (!result.ok) {
        return Fail(QStringLiteral("The sign-in failed: %1.").arg(result.error));
    }
    if (!TokenStore(state_).Write(TokenStore::Key(account), result.refreshToken.toStdString())) {
        return Fail(QStringLiteral("The sign-in worked, but its token could not be stored."));
    }
    return true;
}
