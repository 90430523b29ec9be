#include "store/account_file.h"

#include <mutex>
#include <vector>

#include "store/account_record.h"
#include "store/data_lines.h"
#include "store/record_cipher.h"
#include "store/record_file.h"

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

std::size_t CountAccounts(const std::vector<std::string>& lines, const char* passphrase) {
    std::size_t opened = 0;
    for (const std::string& line : lines) {
        AccountRecord account{};
        if (DecodeAccountLine(line, passphrase, account) == LineKind::kAccount) {
            ++opened;
        }
    }
    return opened;
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
        if (lines.empty() || tries == kPassphraseTries ||
            CountAccounts(lines, state.passphrase) > 0) {
            return true;
        }
        prompts.ShowNotice("The passphrase is incorrect.");
    }
}

// Fills the table from `lines`; the number of lines that gave no account.
std::size_t FillAccounts(AppState& state, const std::vector<std::string>& lines) {
    {
        std::lock_guard lock(state.mutex);
        state.accounts.fill(AccountRecord{});
        state.accountCount = 0;
    }
    std::size_t unread = 0;
    for (const std::string& line : lines) {
        AccountRecord account{};
        if (state.AccountCount() >= kMaxAccounts ||
            DecodeAccountLine(line, state.passphrase, account) != LineKind::kAccount) {
            ++unread;
            continue;
        }
        state.AppendAccount(account);
    }
    return unread;
}

}  // namespace

int LoadAccountFile(AppState& state, UserPrompts& prompts) {
    state.accountsApart = false;
    const std::string path = AccountFilePath(state);
    std::vector<std::string> lines;
    ReadDataLines(path, lines);
    if (state.passphrase[0] == '\0' &&
        !AskUntilItOpens(state, prompts, lines, DataFileMissingOrEmpty(path))) {
        return 0;
    }
    if (lines.empty() || CountAccounts(lines, state.passphrase) > 0) {
        const std::size_t unread = FillAccounts(state, lines);
        if (unread > 0) {
            prompts.ShowNotice(UnreadRecordsNotice(kAccountFileName, unread));
        }
        return 1;
    }
    // Not one record opens: they belong to another passphrase. Accounts of this run
    // live apart, so the file stays whole for that passphrase and its next start
    // shows every account without a word; this passphrase finds its own again.
    state.accountsApart = true;
    std::vector<std::string> apartLines;
    ReadDataLines(AccountFilePath(state), apartLines);
    FillAccounts(state, apartLines);
    prompts.ShowNotice(UnreadRecordsNotice(kAccountFileName, lines.size()) +
                       "\n\nAccounts you add now are saved apart, in " + kApartFileName +
                       ", under the passphrase you typed.");
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
