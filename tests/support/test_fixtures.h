#pragma once

#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/app_state.h"
#include "store/user_prompts.h"

namespace qvtest {

// Answers the passphrase dialog from `answers` in order, then with `answer` (Cancel
// when it is empty), and records what was asked and every notice.
class FakePrompts : public UserPrompts {
  public:
    explicit FakePrompts(std::optional<std::string> fixedAnswer = std::nullopt)
        : answer(std::move(fixedAnswer)) {}

    bool AskPassphrase(bool confirmMode, std::string& passphrase) override {
        asked.push_back(confirmMode);
        if (!answers.empty()) {
            passphrase = answers.front();
            answers.pop_front();
            return true;
        }
        if (!answer) {
            return false;
        }
        passphrase = *answer;
        return true;
    }
    void ShowNotice(const std::string& text) override { notices.push_back(text); }

    std::deque<std::string> answers;
    std::optional<std::string> answer;
    std::vector<bool> asked;  // true for the two-box (new passphrase) form
    std::vector<std::string> notices;
};

struct AccountOptions {
    std::optional<std::string> description = std::nullopt;  // the address when none is given
    int authMethod = 0;
    int scanMessages = 1;
    int periodMinutes = 5;
};

// An account record as the account dialog would make it.
//   MakeAccount("me@127.0.0.1", "pw", {.description = "Home", .scanMessages = 0})
AccountRecord MakeAccount(const std::string& address, const std::string& password,
                          const AccountOptions& options = {});

// A fresh directory under the system's temporary directory, removed with everything
// in it (whatever its permissions) when the object goes.
class TempDirectory {
  public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    // With a trailing slash.
    const std::string& Path() const { return path_; }
    // Makes the directory `state`'s data directory.
    void UseFor(AppState& state) const;

  private:
    std::string path_;
};

}  // namespace qvtest
