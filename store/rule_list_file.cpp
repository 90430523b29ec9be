#include "store/rule_list_file.h"

#include "store/data_lines.h"
#include "store/record_cipher.h"
#include "store/record_file.h"
#include "store/rule_record.h"

namespace {

constexpr const char* kRuleFileNames[] = {"friends.qvd", "block.qvd"};
// A run whose passphrase opened none of the files keeps its rules apart, as its
// accounts: a rule written into block.qvd under another passphrase would be an
// unreadable line there at every later start.
constexpr const char* kApartRuleFileNames[] = {"friends-apart.qvd", "block-apart.qvd"};

// A value cast from a damaged number names no list.
bool IsList(RuleList list) {
    return list == RuleList::kFriends || list == RuleList::kBlock;
}

// Only a line whose MAC checks out can hold a rule: a damaged line must not turn
// into a garbled rule.
bool DecodeRuleLine(const std::string& line, const char* passphrase, RuleEntry& rule) {
    bool verified = false;
    const std::string record = RecordCipher::Decrypt(line, passphrase, &verified);
    return verified && ParseRuleRecord(record, rule);
}

}  // namespace

std::string RuleFilePath(const AppState& state, RuleList list) {
    if (!IsList(list)) {
        return {};
    }
    const auto& names = state.accountsApart ? kApartRuleFileNames : kRuleFileNames;
    return std::string(state.dataDirectory) + names[static_cast<int>(list)];
}

std::vector<RuleEntry> ReadRuleFile(const AppState& state, RuleList list, std::size_t* unread) {
    std::vector<RuleEntry> rules;
    std::vector<std::string> lines;
    if (!IsList(list) || !ReadDataLines(RuleFilePath(state, list), lines)) {
        return rules;
    }
    for (const std::string& line : lines) {
        RuleEntry rule;
        if (DecodeRuleLine(line, state.passphrase, rule)) {
            rules.push_back(std::move(rule));
        } else if (unread != nullptr) {
            ++*unread;
        }
    }
    return rules;
}

bool WriteRuleFile(const AppState& state, RuleList list, const std::vector<RuleEntry>& rows,
                   UserPrompts& prompts) {
    if (!IsList(list)) {
        return false;
    }
    const std::string path = RuleFilePath(state, list);
    std::vector<std::string> records;
    for (const RuleEntry& row : rows) {
        records.push_back(BuildRuleRecord(list, row));
    }
    // The page shows every rule that loads; the lines that hold none are kept.
    const char* passphrase = state.passphrase;
    const HeldLine holdsRule = [passphrase](const std::string& line) {
        RuleEntry rule;
        return DecodeRuleLine(line, passphrase, rule);
    };
    return SaveRecordFile(path, records, passphrase, holdsRule, prompts);
}
