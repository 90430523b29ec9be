#include "store/rule_list_file.h"

#include <algorithm>
#include <cstdio>

#include "scan/rule_compiler.h"
#include "store/atomic_file.h"
#include "store/data_lines.h"
#include "store/record_cipher.h"

namespace {

constexpr const char* kRuleFileNames[] = {"friends.qvd", "block.qvd"};
constexpr char kUnitSeparator = 0x1F;
constexpr std::size_t kHeaderStart = 5;  // after the kind digit and the weight
constexpr std::size_t kMaxHeaderLength = 99;
constexpr int kMinWeight = -999;  // the widest values four characters hold
constexpr int kMaxWeight = 9999;

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
// saw them, so a rewrite keeps them after its records.
std::vector<std::string> LinesToKeep(const std::string& path, const char* passphrase) {
    std::vector<std::string> lines;
    ReadDataLines(path, lines);
    std::vector<std::string> kept;
    for (std::string& line : lines) {
        RuleEntry rule;
        if (!DecodeRuleLine(line, passphrase, rule)) {
            kept.push_back(std::move(line));
        }
    }
    return kept;
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
    for (const std::string& line : LinesToKeep(path, state.passphrase)) {
        AppendDataLine(content, line);
    }
    return AtomicFile::Replace(path, content, prompts);
}

std::string BuildRuleRecord(int pageKind, const RuleEntry& rule) {
    // "%04d" pads after the sign: 100 gives 0100 and -5 gives -005, both of which
    // read back as the same number. Wider values would shift the header.
    char weight[8];
    std::snprintf(weight, sizeof weight, "%04d", std::clamp(rule.weight, kMinWeight, kMaxWeight));
    std::string record;
    record += static_cast<char>('0' + (pageKind == 1 ? 1 : 0));
    record.append(weight, 4);
    record += rule.header;
    record += kUnitSeparator;
    record += rule.contains;
    return record;
}

bool ParseRuleRecord(const std::string& record, RuleEntry& rule) {
    if (record.size() <= kHeaderStart) {
        return false;
    }
    const std::size_t separator = record.find(kUnitSeparator, kHeaderStart);
    if (separator == std::string::npos || separator - kHeaderStart > kMaxHeaderLength) {
        return false;
    }
    rule.weight = ParseDecimalField(record.data() + 1, 4);
    rule.header.assign(record, kHeaderStart, separator - kHeaderStart);
    rule.contains.assign(record, separator + 1);
    return true;
}
