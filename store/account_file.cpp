#include "store/account_file.h"

#include <mutex>
#include <vector>

#include "store/account_record.h"
#include "store/data_lines.h"
#include "store/record_cipher.h"
#include "store/record_file.h"
#include "store/rule_list_file.h"

namespace {

constexpr char kAccountFileName[] = "email.qvd";
constexpr char kApartFileName[] = "email-apart.qvd";

enum class LineKind { kAccount, kNotDecrypted, kNotARecord };

// A line counts as an account only when its MAC checks out and the record holds
// every field: a damaged line must not turn into a garbled account.
LineKind DecodeAccountLine(const std::string& line, const char* passphrase,
                           AccountRecord& account) {
    bool verified = false;
    const std::string record = RecordCipher::Decrypt(line, passphrase, &verified);
    if (!verified) {
        return LineKind::kNotDecrypted;
    }
    return ParseAccountRecord(record, account) ? LineKind::kAccount : LineKind::kNotARecord;
}

// The lines of the present file that a save writes again as accounts: those that
// load. Lines that do not decrypt, records too damaged to read and accounts beyond
// the table's limit are carried over as they are.
HeldLine LoadedAccounts(const char* passphrase) {
    return [passphrase, loaded = std::size_t{0}](const std::string& line) mutable {
        AccountRecord account{};
        if (loaded < kMaxAccounts &&
            DecodeAccountLine(line, passphrase, account) == LineKind::kAccount) {
            ++loaded;
            return true;
        }
        return false;
    };
}

}  // namespace

std::string AccountFilePath(const AppState& state) {
    return std::string(state.dataDirectory) +
           (state.accountsApart ? kApartFileName : kAccountFileName);
}

std::string UnreadRecordsNotice(const std::string& fileName, std::size_t count) {
    const std::string records = count == 1 ? "1 record" : std::to_string(count) + " records";
    return records + " of " + fileName +
           " could not be read with this passphrase. They are kept unchanged in the file.";
}

namespace {

// Every line of the three data files, to tell whether a passphrase is the one they
// were written under: a first run that only added rules has no account, yet its
// passphrase is set.
std::vector<std::string> AllDataLines(const AppState& state) {
    std::vector<std::string> lines;
    ReadDataLines(AccountFilePath(state), lines);
    for (const RuleList list : kRuleLists) {
        std::vector<std::string> rules;
        ReadDataLines(RuleFilePath(state, list), rules);
        lines.insert(lines.end(), rules.begin(), rules.end());
    }
    return lines;
}

bool AnyDataFileHoldsARecord(const AppState& state) {
    if (!DataFileMissingOrEmpty(AccountFilePath(state))) {
        return true;
    }
    for (const RuleList list : kRuleLists) {
        if (!DataFileMissingOrEmpty(RuleFilePath(state, list))) {
            return true;
        }
    }
    return false;
}

// A record opens when its MAC checks out, whether or not it then parses.
bool OpensAny(const std::vector<std::string>& lines, const char* passphrase) {
    for (const std::string& line : lines) {
        bool verified = false;
        RecordCipher::Decrypt(line, passphrase, &verified);
        if (verified) {
            return true;
        }
    }
    return false;
}

// Asks until the passphrase opens a record of `lines` (or there are none), at most
// three times. False on Cancel.
bool AskUntilItOpens(AppState& state, UserPrompts& prompts, const std::vector<std::string>& lines,
                     bool confirmMode) {
    for (int tries = 1;; ++tries) {
        std::string passphrase;
        if (!prompts.AskPassphrase(confirmMode, passphrase)) {
            return false;
        }
        SetAccountText(state.passphrase, passphrase);
        if (lines.empty() || tries == kPassphraseTries || OpensAny(lines, state.passphrase)) {
            return true;
        }
        prompts.ShowNotice("The passphrase is incorrect.");
    }
}

// Why lines of the account file gave no account; each kind is told on its own,
// since each asks something else of the user.
struct UnloadedLines {
    std::size_t notDecrypted = 0;  // another passphrase's, or damaged
    std::size_t notARecord = 0;    // opened, but not an account
    std::size_t beyondLimit = 0;   // accounts past the table's end
};

// Fills the table from `lines`.
UnloadedLines FillAccounts(AppState& state, const std::vector<std::string>& lines) {
    {
        std::lock_guard lock(state.mutex);
        state.accounts.fill(AccountRecord{});
        state.accountCount = 0;
    }
    UnloadedLines unloaded;
    for (const std::string& line : lines) {
        AccountRecord account{};
        switch (DecodeAccountLine(line, state.passphrase, account)) {
            case LineKind::kNotDecrypted:
                ++unloaded.notDecrypted;
                break;
            case LineKind::kNotARecord:
                ++unloaded.notARecord;
                break;
            case LineKind::kAccount:
                if (!state.AppendAccount(account)) {
                    ++unloaded.beyondLimit;
                }
                break;
        }
    }
    return unloaded;
}

std::string Records(std::size_t count) {
    return count == 1 ? "1 record" : std::to_string(count) + " records";
}

void TellUnloaded(const UnloadedLines& unloaded, UserPrompts& prompts) {
    if (unloaded.notDecrypted > 0) {
        prompts.ShowNotice(UnreadRecordsNotice(kAccountFileName, unloaded.notDecrypted));
    }
    if (unloaded.notARecord > 0) {
        prompts.ShowNotice(Records(unloaded.notARecord) + " of " + kAccountFileName +
                           " opened with this passphrase but hold no readable account. They "
                           "are kept unchanged in the file.");
    }
    if (unloaded.beyondLimit > 0) {
        prompts.ShowNotice(TableFullNotice(unloaded.beyondLimit));
    }
}

}  // namespace

std::string TableFullNotice(std::size_t beyond) {
    return "Quorvane keeps at most " + std::to_string(kMaxAccounts) + " accounts; " +
           std::to_string(beyond) + " more " + (beyond == 1 ? "is" : "are") +
           " kept unchanged in the file.";
}

int LoadAccountFile(AppState& state, UserPrompts& prompts) {
    state.accountsApart = false;
    const std::vector<std::string> allLines = AllDataLines(state);
    if (state.passphrase[0] == '\0' &&
        !AskUntilItOpens(state, prompts, allLines, !AnyDataFileHoldsARecord(state))) {
        return 0;
    }
    std::vector<std::string> lines;
    ReadDataLines(AccountFilePath(state), lines);
    if (allLines.empty() || OpensAny(allLines, state.passphrase)) {
        TellUnloaded(FillAccounts(state, lines), prompts);
        return 1;
    }
    // Not one record opens: they belong to another passphrase. The edits of this run,
    // accounts and rules alike, live apart, so the files stay whole for that
    // passphrase and its next start shows everything without a word; this passphrase
    // finds its own again.
    state.accountsApart = true;
    std::vector<std::string> apartLines;
    ReadDataLines(AccountFilePath(state), apartLines);
    TellUnloaded(FillAccounts(state, apartLines), prompts);
    std::string notice = lines.empty() ? std::string(
                                             "The data files could not be read with "
                                             "this passphrase. They are kept unchanged.")
                                       : UnreadRecordsNotice(kAccountFileName, lines.size());
    prompts.ShowNotice(notice + "\n\nAccounts and rules you add now are saved apart, in " +
                       kApartFileName +
                       ", friends-apart.qvd and block-apart.qvd, under the passphrase you typed.");
    return 1;
}

bool SaveAccountFile(AppState& state, UserPrompts& prompts) {
    const std::string path = AccountFilePath(state);
    std::vector<AccountRecord> accounts;
    {
        std::lock_guard lock(state.mutex);
        accounts.assign(state.accounts.begin(), state.accounts.begin() + state.accountCount);
    }
    std::vector<std::string> records;
    for (const AccountRecord& account : accounts) {
        records.push_back(BuildAccountRecord(account));
    }
    if (!SaveRecordFile(path, records, state.passphrase, LoadedAccounts(state.passphrase),
                        prompts)) {
        return false;
    }
    state.accountsDirty = 0;
    return true;
}
