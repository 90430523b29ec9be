#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "app/app_state.h"
#include "scan/scan_worker.h"
#include "store/user_prompts.h"

using namespace std::chrono_literals;

// Short enough for tests, long enough for a loaded machine.
inline ScanWorkerSettings FastSettings(int port, int readTimeoutMs = 2000) {
    ScanWorkerSettings settings;
    settings.tick = 50ms;
    settings.readTimeoutMs = readTimeoutMs;
    settings.port = port;
    return settings;
}

inline AccountRecord MakeAccount(const std::string& address, const std::string& password,
                                 int authMethod = 0, int scanMessages = 1, int periodMinutes = 5) {
    AccountRecord record{};
    SetAccountText(record.description, address);
    SetAccountText(record.address, address);
    SetAccountText(record.password, password);
    record.authMethod = authMethod;
    record.scanMessages = scanMessages;
    record.periodMinutes = periodMinutes;
    return record;
}

// A fresh data directory under /tmp, removed with its files at the end of the test.
class TempDataDirectory {
  public:
    explicit TempDataDirectory(AppState& state);
    ~TempDataDirectory();
    TempDataDirectory(const TempDataDirectory&) = delete;
    TempDataDirectory& operator=(const TempDataDirectory&) = delete;

  private:
    std::string path_;
};

// Answers the passphrase dialog with a fixed text and counts the notices.
class FixedPrompts : public UserPrompts {
  public:
    bool AskPassphrase(bool, std::string& passphrase) override {
        passphrase = "worker test passphrase";
        return true;
    }
    void ShowNotice(const std::string& text) override {
        ++notices;
        lastNotice = text;
    }
    std::string lastNotice;
    int notices = 0;
};

std::chrono::milliseconds Since(std::chrono::steady_clock::time_point start);
