#pragma once

#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "scan/scan_view.h"
#include "scan/scan_worker.h"

// `quorvane --check [--json] [--data-dir DIR] [--passphrase-file FILE]`: checks every
// account once, now, and prints what each check found, as text or as one JSON object.
// It never writes the data files and needs no display; it reads and updates only the
// kept file (seen.qvk), so the next check fetches only what is new.
class HeadlessCheck : public ScanView {
  public:
    static constexpr int kAllChecked = 0;
    static constexpr int kSomeFailed = 1;
    static constexpr int kUsageError = 2;  // also a wrong passphrase

    // True when the command line asks for the headless check.
    static bool Requested(int argc, const char* const* argv);

    HeadlessCheck(AppState& state, std::ostream& out, std::ostream& err,
                  ScanWorkerSettings settings = {});

    // Where OAuth2 accounts get their tokens; set before Run().
    void SetAccessTokens(std::shared_ptr<AccessTokenSource> tokens) { tokens_ = std::move(tokens); }

    // The whole check; `defaultDataDirectory` serves when --data-dir is not given.
    // Returns the exit code.
    int Run(int argc, const char* const* argv, const std::string& defaultDataDirectory);

    // Reads the passphrase and loads the accounts as the check does, for the
    // other commands that run without a display. False, with the reason on `err`, for a
    // wrong passphrase or no accounts.
    [[nodiscard]] bool OpenData(const std::string& dataDirectory,
                                const std::string& passphraseFile);

    void CheckStarted(AccountId) override {}
    void CheckProgress(AccountId, int, int) override {}
    void CheckEnded(AccountId id, const CheckReport& report) override;
    void DeletionEnded(AccountId, const DeletionReport&) override {}

  private:
    struct Options {
        bool json = false;
        bool noDelete = false;  // accounts with automatic deletion keep every message
        std::string dataDirectory;
        std::string passphraseFile;
    };
    bool ParseArguments(int argc, const char* const* argv, Options& options);
    bool ReadPassphrase(const Options& options, std::string& passphrase);
    bool LoadData(const Options& options, const std::string& passphrase);
    // The reports in account order, moved out; an account the pass did not reach
    // counts as failed.
    std::vector<CheckReport> TakeReports();
    void PrintText(const std::vector<CheckReport>& reports) const;
    void PrintUnwantedText(const UnwantedMessage& message) const;
    void PrintJson(const std::vector<CheckReport>& reports) const;

    AppState& state_;
    std::ostream& out_;
    std::ostream& err_;
    ScanWorkerSettings settings_;
    std::mutex reportsMutex_;  // checks end on several threads at once
    std::map<AccountId, CheckReport> reports_;
    std::shared_ptr<AccessTokenSource> tokens_;
};
