#pragma once

#include <chrono>
#include <iosfwd>
#include <string>

#include "app/app_state.h"
#include "app/device_sign_in.h"
#include "app/loopback_sign_in.h"

// `quorvane --sign-in DESCRIPTION [--data-dir DIR] [--passphrase-file FILE]`: signs the
// account in with its OAuth2 provider without a display and stores the refresh token.
// Device sign-in where the provider offers it, else the browser and the loopback
// redirect. Never prints a token. The passphrase and the data directory mean what
// they mean to --check.
class SignInCommand {
  public:
    static constexpr int kStored = 0;
    static constexpr int kFailed = 1;      // also timed out
    static constexpr int kUsageError = 2;  // also an unknown account or a wrong passphrase

    struct Settings {
        std::chrono::milliseconds loopbackWait = LoopbackSignIn::kDefaultWait;
        DeviceSignIn::Settings device;
    };

    static bool Requested(int argc, const char* const* argv);

    SignInCommand(AppState& state, std::ostream& out, std::ostream& err);
    SignInCommand(AppState& state, std::ostream& out, std::ostream& err, Settings settings);

    // Needs a QCoreApplication. Returns the exit code.
    int Run(int argc, const char* const* argv, const std::string& defaultDataDirectory);

  private:
    struct Options {
        std::string description;
        std::string dataDirectory;
        std::string passphraseFile;
    };
    bool ParseArguments(int argc, const char* const* argv, Options& options) const;
    int SignIn(const AccountRecord& account);

    AppState& state_;
    std::ostream& out_;
    std::ostream& err_;
    Settings settings_;
};
