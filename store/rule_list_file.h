#pragma once

#include <string>
#include <vector>

#include "app/app_state.h"
#include "store/rule_list.h"
#include "store/user_prompts.h"

// Both lists as the files hold them, indexed by RuleList, with the count of lines
// that hold no rule in each.
struct RuleFiles {
    std::vector<RuleEntry> rules[2];
    std::size_t unread[2] = {0, 0};
};

// "friends.qvd" or "block.qvd" in the data directory; "friends-apart.qvd" or
// "block-apart.qvd" when `accountsApart` is set.
std::string RuleFilePath(const AppState& state, RuleList list);

// The rules of one list file, in line order; lines that hold no rule are skipped
// and counted into `unread` when given.
std::vector<RuleEntry> ReadRuleFile(const AppState& state, RuleList list,
                                    std::size_t* unread = nullptr);

// Both list files, from the rule cache while it matches their bytes, else decrypted
// (and the cache written again).
RuleFiles ReadRuleFiles(const AppState& state);

// Drops the lists kept from the last read in this run, as a new run starts without
// them; for tests and benchmarks that time or check a read from disk.
void ForgetLastRuleRead();

// Rewrites a list file from a page's rows, atomically. Lines of the old file that do
// not decrypt under the passphrase are kept after the records. On failure the old
// file stays and the user is told through `prompts`; returns false.
bool WriteRuleFile(const AppState& state, RuleList list, const std::vector<RuleEntry>& rows,
                   UserPrompts& prompts);
