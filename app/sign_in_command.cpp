#include "app/sign_in_command.h"

#include <cstring>
#include <ostream>

#include "app/headless_check.h"
#include "app/oauth_providers.h"
#include "app/token_store.h"
#include "pop3/sign_in_method.h"

namespace {

constexpr char kUsage[] =
    "Usage: quorvane --sign-in DESCRIPTION [--data-dir DIR] [--passphrase-file FILE]\n";

}  // namespace

bool SignInCommand::Requested(int argc, const char* const* argv) {
    return argc >= 2 && std::strcmp(argv[1], "--sign-in") == 0;
}

SignInCommand::SignInCommand(AppState& state, std::ostream& out, std::ostream& err)
    : SignInCommand(state, out, err, Settings{}) {}

SignInCommand::SignInCommand(AppState& state, std::ostream& out, std::ostream& err,
                             Settings settings)
    : state_(state), out_(out), err_(err), settings_(settings) {}

bool SignInCommand::ParseArguments(int argc, const char* const* argv, Options& options) const {
    if (!Requested(argc, argv) || argc < 3 || std::strncmp(argv[2], "--", 2) == 0) {
        return false;
    }
    options.description = argv[2];
    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--data-dir" && hasValue) {
            options.dataDirectory = argv[++i];
        } else if (arg == "--passphrase-file" && hasValue) {
            options.passphraseFile = argv[++i];
        } else {
            err_ << "quorvane: unknown or incomplete option: " << arg << "\n";
            return false;
        }
    }
    return true;
}

int SignInCommand::Run(int argc, const char* const* argv, const std::string& defaultDataDirectory) {
    Options options;
    options.dataDirectory = defaultDataDirectory;
    if (!ParseArguments(argc, argv, options)) {
        err_ << kUsage;
        return kUsageError;
    }
    HeadlessCheck loader(state_, out_, err_);
    if (!loader.OpenData(options.dataDirectory, options.passphraseFile)) {
        return kUsageError;
    }
    for (std::uint32_t i = 0; i < state_.AccountCount(); ++i) {
        AccountRecord account{};
        if (state_.CopyAccount(i, account) && options.description == account.description) {
            if (SignInFromDigit(account.authMethod) != SignInMethod::kOAuth2 ||
                account.providerId[0] == '\0') {
                err_ << "quorvane: the account \"" << options.description
                     << "\" does not sign in with OAuth2\n";
                return kUsageError;
            }
            return SignIn(account);
        }
    }
    err_ << "quorvane: no account is called \"" << options.description << "\"\n";
    return kUsageError;
}

int SignInCommand::SignIn(const AccountRecord& account) {
    OAuthProviders providers;
    QString problem;
    const QString dataDirectory = QString::fromLocal8Bit(state_.dataDirectory);
    if (!providers.Load(OAuthProviders::FilePath(dataDirectory), &problem)) {
        err_ << "quorvane: " << problem.toStdString() << "\n";
        return kFailed;
    }
    const std::optional<OAuthProvider> provider =
        providers.Find(QString::fromLocal8Bit(account.providerId));
    if (!provider || provider->clientId.isEmpty()) {
        err_ << "quorvane: no client id for the provider \"" << account.providerId
             << "\": enter it in Options or in providers.json\n";
        return kFailed;
    }
    SignInResult result;
    if (!provider->deviceAuthorizationEndpoint.isEmpty()) {
        DeviceSignIn device(
            *provider,
            [this](const QString& uri, const QString& code) {
                out_ << "Open " << uri.toStdString() << " and enter the code " << code.toStdString()
                     << std::endl;
            },
            settings_.device);
        result = device.Run();
    } else {
        LoopbackSignIn loopback(
            *provider,
            [this](const QUrl& address) {
                out_ << "Open " << address.toString(QUrl::FullyEncoded).toStdString() << std::endl;
                return true;
            },
            settings_.loopbackWait);
        result = loopback.Run();
    }
    if (!result.ok) {
        err_ << "quorvane: the sign-in failed: " << result.error.toStdString() << "\n";
        return kFailed;
    }
    TokenStore store(state_);
    if (!store.Write(TokenStore::Key(account), result.refreshToken.toStdString())) {
        err_ << "quorvane: the sign-in worked, but its token could not be stored\n";
        return kFailed;
    }
    out_ << "Signed in. The token is kept "
         << (store.LastPlace() == TokenStore::Place::kKeyring ? "in the desktop keyring"
                                                              : "in tokens.qvd")
         << ".\n";
    return kStored;
}
