// Writes a demonstration data set into a directory: three accounts on a local POP3
// server and a few Friends and Block rules, all under one passphrase.
//
//   demo_data DIRECTORY PASSPHRASE
//
// Built and run by scripts/screenshots.sh.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/app_state.h"
#include "store/account_file.h"
#include "store/rule_list_file.h"

namespace {
class ConsolePrompts : public UserPrompts {
  public:
    bool AskPassphrase(bool, std::string&) override { return false; }
    void ShowNotice(const std::string& text) override {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
};

AccountRecord Account(const char* description, const char* address, const char* password,
                      int scan) {
    AccountRecord record{};
    SetAccountText(record.description, description);
    SetAccountText(record.address, address);
    SetAccountText(record.password, password);
    record.periodMinutes = 5;
    record.scanMessages = scan;
    return record;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || std::strlen(argv[2]) >= kTextSize) {
        std::fprintf(stderr, "usage: demo_data DIRECTORY PASSPHRASE\n");
        return 2;
    }
    static AppState state;
    SetDataDirectory(state, std::string(argv[1]) + "/quorvane");
    std::strcpy(state.passphrase, argv[2]);
    state.AppendAccount(Account("Home", "alice@127.0.0.1", "alice-pw", 1));
    state.AppendAccount(Account("Work", "bob@127.0.0.1", "bob-pw", 1));
    state.AppendAccount(Account("Newsletters", "carol@127.0.0.1", "carol-pw", 0));
    ConsolePrompts prompts;
    const bool ok =
        SaveAccountFile(state, prompts) &&
        WriteRuleFile(state, RuleList::kFriends, {{"From:", "@example\\.org", 20}}, prompts) &&
        WriteRuleFile(state, RuleList::kBlock,
                      {{"From:", "offers\\.example|lucky-draw", 10},
                       {"Subject:", "lottery|pills|winner", 15}},
                      prompts);
    return ok ? 0 : 1;
}
