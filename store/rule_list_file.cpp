#include "store/rule_list_file.h"

#include "scan/rule_compiler.h"
#include "store/data_lines.h"
#include "store/record_cipher.h"
#include "store/record_file.h"
#include "store/rule_record.h"

namespace {

constexpr const char* kRuleFileNames[] = {"friends.qvd", "block.qvd"};

bool IsListIndex(int listIndex) {
    return listIndex == 0 || listIndex == 1;
}

// Only a line whose MAC checks out can hold a rule: a damaged line must not turn
// into a garbled rule.
bool DecodeRuleLine(const std::string& line, const char* passphrase, RuleEntry& rule) {
    bool verified = false;
    const std::string record = RecordCipher::Decrypt(line, passphrase, &verified);
    return verified && ParseRuleRecord(record, rule);
}

}  // namespace

std::string RuleFilePath(const AppState& state, int listIndex) {
    if (!IsListIndex(listIndex)) {
        return {};
    }
    return std::string(state.dataDirectory) + kRuleFileNames[listIndex];
}

std::vector<RuleEntry> ReadRuleFile(const AppState& state, int listIndex, std::size_t* unread) {
    std::vector<RuleEntry> rules;
    std::vector<std::string> lines;
    if (!IsListIndex(listIndex) || !ReadDataLines(RuleFilePath(state, listIndex), lines)) {
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

void LoadRuleLists(AppState& state) {
    // Cleared before the files are read: a page that rewrites its file and raises the
    // flag while this reload runs gets another reload, never a lost edit.
    state.modified = 0;
    state.ClearRules();
    for (int listIndex = 0; listIndex < 2; ++listIndex) {
        for (const RuleEntry& rule : ReadRuleFile(state, listIndex)) {
            if (state.ruleCount >= kMaxRules) {
                break;
            }
            CompileRule(state, listIndex, rule.header, rule.contains, rule.weight);
        }
    }
}

bool WriteRuleFile(const AppState& state, int pageKind, const std::vector<RuleEntry>& rows,
                   UserPrompts& prompts) {
    if (!IsListIndex(pageKind)) {
        return false;
    }
    const std::string path = RuleFilePath(state, pageKind);
    std::vector<std::string> records;
    for (const RuleEntry& row : rows) {
        records.push_back(BuildRuleRecord(pageKind, row));
    }
    // The page shows every rule that loads; the lines that hold none are kept.
    const char* passphrase = state.passphrase;
    const HeldLine holdsRule = [passphrase](const std::string& line) {
        RuleEntry rule;
        return DecodeRuleLine(line, passphrase, rule);
    };
    return SaveRecordFile(path, records, passphrase, holdsRule, prompts);
}
