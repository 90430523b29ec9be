#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "app/app_state.h"

// Where OAuth2 refresh tokens live: the desktop keyring (service "Quorvane", key
// "<provider>:<user>@<server>:<port>"), or, where no keyring answers, tokens.qvd
// beside the other data files, one record per line under the account file's
// passphrase. Every call waits for its answer, bounded in time; keyring calls from
// other threads run on the application's thread, where the keyring library's jobs
// must live. Usable from any thread while a QCoreApplication exists.
class TokenStore {
  public:
    enum class Place { kNowhere, kKeyring, kFile };

    TokenStore(std::string dataDirectory, std::string passphrase);
    explicit TokenStore(const AppState& state);

    static std::string Key(const AccountRecord& account);
    static std::string FilePath(const std::string& dataDirectory);

    // Stores `token` in place of the one before. False when it could not be kept.
    [[nodiscard]] bool Write(const std::string& key, const std::string& token);
    // The stored token; nullopt when there is none or it could not be read
    // (`unreadable` tells these apart).
    std::optional<std::string> Read(const std::string& key, bool* unreadable = nullptr);
    // Deletes the token wherever it is. False when one stays behind.
    bool Remove(const std::string& key);
    // Where the last Write put the token, or the last Read found it.
    Place LastPlace() const { return lastPlace_; }

    // The account's sign-in is over (removed, or another method chosen): its refresh
    // token goes. Does nothing for an account without a provider.
    static void Forget(const AppState& state, const AccountRecord& account);

    // How long a keyring call may take before the keyring counts as absent.
    static void SetKeyringWait(std::chrono::milliseconds wait);

  private:
    bool WriteFile(const std::string& key, const std::optional<std::string>& token);
    std::optional<std::string> ReadFile(const std::string& key, bool* unreadable) const;

    std::string dataDirectory_;
    std::string passphrase_;
    Place lastPlace_ = Place::kNowhere;
};
