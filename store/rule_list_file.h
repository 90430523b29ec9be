#pragma once

#include <string>
#include <vector>

#include "app/app_state.h"
#include "store/rule_list.h"
#include "store/user_prompts.h"

// "friends.qvd" or "block.qvd" in the data directory; "friends-apart.qvd" or
// "block-apart.qvd" when `accountsApart` is set.
std::string RuleFilePath(const AppState& state, RuleList list);

// The rules of one list file, in line order; lines that hold no rule are skipped
// and counted into `unread` when given.
std::vector<RuleEntry> ReadRuleFile(const AppState& state, RuleList list,
                                    std::size_t* unread = nullptr);

// Rewrites a list file from a page's rows, atomically. Lines of the old file that do
// not decrypt under the passphrase are kept after the records. On failure the old
// file stays and the user is told through `prompts`; returns false.
bool WriteRuleFile(const AppState& state, RuleList list, const std::vector<RuleEntry>& rows,
                   UserPrompts& prompts);
