#pragma once

#include <string>
#include <vector>

#include "app/app_state.h"
#include "store/rule_list.h"
#include "store/user_prompts.h"

struct RuleEntry {
    std::string header;    // one of the twelve names of the rule dialog
    std::string contains;  // a regular expression
    int weight = 0;        // as entered: -99 to 100

    bool operator==(const RuleEntry&) const = default;
};

// "friends.qvd" or "block.qvd" in the data directory; "friends-apart.qvd" or
// "block-apart.qvd" when `accountsApart` is set.
std::string RuleFilePath(const AppState& state, RuleList list);

// The rules of one list file, in line order; lines that hold no rule are skipped
// and counted into `unread` when given.
std::vector<RuleEntry> ReadRuleFile(const AppState& state, RuleList list,
                                    std::size_t* unread = nullptr);

// Empties the rule table, compiles Friends then Block, and clears `modified`.
void LoadRuleLists(AppState& state);

// Compiles one list's rules after those already in the table, as far as it has room.
void CompileRuleList(AppState& state, RuleList list, const std::vector<RuleEntry>& rules);

// Rewrites a list file from a page's rows, atomically. Lines of the old file that do
// not decrypt under the passphrase are kept after the records. On failure the old
// file stays and the user is told through `prompts`; returns false.
bool WriteRuleFile(const AppState& state, RuleList list, const std::vector<RuleEntry>& rows,
                   UserPrompts& prompts);
