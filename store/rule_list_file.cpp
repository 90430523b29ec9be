#include "store/rule_list_file.h"

#include "app/debug_log.h"
#include "app/rule_cache.h"
#include "store/data_lines.h"
#include "store/record_cipher.h"
#include "store/record_file.h"
#include "store/rule_record.h"

#include <cstring>
#include <mutex>
#include <optional>

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

void DecodeRuleLines(const std::string& content, const char* passphrase,
                     std::vector<RuleEntry>& rules, std::size_t& unread) {
    std::vector<std::string> lines;
    SplitDataLines(content, lines);
    std::vector<bool> verified;
    const std::vector<std::string> records = RecordCipher::DecryptAll(lines, passphrase, verified);
    for (std::size_t i = 0; i < records.size(); ++i) {
        RuleEntry rule;
        if (verified[i] && ParseRuleRecord(records[i], rule)) {
            rules.push_back(std::move(rule));
        } else {
            ++unread;
        }
    }
}

struct LastRead {
    std::mutex mutex;
    bool valid = false;
    std::string passphrase;
    std::string friendsPath;
    RuleCache::Digest digests[2]{};
    RuleFiles files;
};

// Never destroyed, as AppState: a worker let go at exit may still reload its rules.
LastRead& TheLastRead() {
    static LastRead* const last = new LastRead;
    return *last;
}

}  // namespace

void ForgetLastRuleRead() {
    LastRead& last = TheLastRead();
    std::lock_guard lock(last.mutex);
    last.valid = false;
}

std::string RuleFilePath(const AppState& state, RuleList list) {
    if (!IsList(list)) {
        return {};
    }
    const auto& names = state.accountsApart ? kApartRuleFileNames : kRuleFileNames;
    return std::string(state.dataDirectory) + names[static_cast<int>(list)];
}

std::vector<RuleEntry> ReadRuleFile(const AppState& state, RuleList list, std::size_t* unread) {
    if (!IsList(list)) {
        return {};
    }
    RuleFiles files = ReadRuleFiles(state);
    const auto at = static_cast<std::size_t>(list);
    if (unread != nullptr) {
        *unread += files.unread[at];
    }
    return std::move(files.rules[at]);
}

RuleFiles ReadRuleFiles(const AppState& state) {
    // The digests are of the very bytes decrypted below, so a file saved meanwhile
    // can never be recorded with the rules of its older self.
    std::string contents[2];
    RuleCache::Digest digests[2];
    for (const RuleList list : kRuleLists) {
        const auto at = static_cast<std::size_t>(list);
        const bool present = ReadDataFile(RuleFilePath(state, list), contents[at]);
        digests[at] = RuleCache::DigestOf(present, contents[at]);
    }
    // A start reads the lists several times (the rule table, the unread notice, each
    // page): the last result serves them all while the files and passphrase stay.
    LastRead& last = TheLastRead();
    std::lock_guard lock(last.mutex);
    const std::string passphrase(state.passphrase, strnlen(state.passphrase, kTextSize));
    if (last.valid && last.passphrase == passphrase && last.digests[0] == digests[0] &&
        last.digests[1] == digests[1] &&
        last.friendsPath == RuleFilePath(state, RuleList::kFriends)) {
        return last.files;
    }
    std::optional<RuleFiles> files = RuleCache::Read(state, digests[0], digests[1]);
    DebugLog::Write("rules", files ? "read from the rule cache" : "decrypted from the files");
    if (!files) {
        files.emplace();
        for (const RuleList list : kRuleLists) {
            const auto at = static_cast<std::size_t>(list);
            DecodeRuleLines(contents[at], state.passphrase, files->rules[at], files->unread[at]);
        }
        RuleCache::Write(state, digests[0], digests[1], *files);
    }
    last.valid = true;
    last.passphrase = passphrase;
    last.digests[0] = digests[0];
    last.digests[1] = digests[1];
    last.friendsPath = RuleFilePath(state, RuleList::kFriends);
    last.files = *files;
    return std::move(*files);
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
