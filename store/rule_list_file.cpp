#include "store/rule_list_file.h"

#include "scan/rule_compiler.h"
#include "store/atomic_file.h"
#include "store/data_lines.h"
#include "store/record_cipher.h"
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

// Lines of the present file that hold no rule under the passphrase; the page never
// saw them, so a rewrite keeps them after its records. False when the file exists
// but cannot be read: writing over it could destroy it.
bool LinesToKeep(const std::string& path, const char* passphrase, std::vector<std::string>& kept) {
    std::vector<std::string> lines;
    if (!ReadDataLinesIfAny(path, lines)) {
        return false;
    }
    for (std::string& line : lines) {
        RuleEntry rule;
        if (!DecodeRuleLine(line, passphrase, rule)) {
            kept.push_back(std::move(line));
        }
    }
    return true;
}

}  // namespace

std::string RuleFilePath(const AppState& state, int listIndex) {
    if (!IsListIndex(listIndex)) {
        return {};
    }
    return std::string(state.dataDirectory) + kRuleFileNames[listIndex];
}

std::vector<RuleEntry> ReadRuleFile(const AppState& state, int listIndex) {
    std::vector<RuleEntry> rules;
    std::vector<std::string> lines;
    if (!IsListIndex(listIndex) || !ReadDataLines(RuleFilePath(state, listIndex), lines)) {
        return rules;
    }
    for (const std::string& line : lines) {
        RuleEntry rule;
        if (DecodeRuleLine(line, state.passphrase, rule)) {
            rules.push_back(std::move(rule));
        }
    }
    return rules;
}

void LoadRuleLists(AppState& state) {
    state.ClearRules();
    for (int listIndex = 0; listIndex < 2; ++listIndex) {
        for (const RuleEntry& rule : ReadRuleFile(state, listIndex)) {
            if (state.ruleCount >= kMaxRules) {
                break;
            }
            CompileRule(state, listIndex, rule.header, rule.contains, rule.weight);
        }
    }
    state.modified = 0;
}

bool WriteRuleFile(const AppState& state, int pageKind, const std::vector<RuleEntry>& rows,
                   UserPrompts& prompts) {
    if (!IsListIndex(pageKind)) {
        return false;
    }
    const std::string path = RuleFilePath(state, pageKind);
    std::string content;
    for (const RuleEntry& row : rows) {
        const std::string record = BuildRuleRecord(pageKind, row);
        AppendDataLine(content,
                       RecordCipher::Encrypt(record.data(), record.size(), state.passphrase));
    }
    std::vector<std::string> kept;
    if (!LinesToKeep(path, state.passphrase, kept)) {
        prompts.ShowNotice(AtomicFile::FailureNotice(path));
        return false;
    }
    for (const std::string& line : kept) {
        AppendDataLine(content, line);
    }
    return AtomicFile::Replace(path, content, prompts);
}
