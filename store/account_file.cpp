#include "store/account_file.h"

#include <mutex>
#include <vector>

#include "store/account_record.h"
#include "store/data_lines.h"
#include "store/record_cipher.h"
#include "store/record_file.h"

namespace {

constexpr char kAccountFileName[] = "email.qvd";

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
    return std::string(state.dataDirectory) + kAccountFileName;
}

int LoadAccountFile(AppState& state, UserPrompts& prompts) {
    const std::string path = AccountFilePath(state);
    if (state.passphrase[0] == '\0') {
        std::string passphrase;
        if (!prompts.AskPassphrase(DataFileMissingOrEmpty(path), passphrase)) {
            return 0;
        }
        SetAccountText(state.passphrase, passphrase);
    }
    std::vector<std::string> lines;
    ReadDataLines(path, lines);
    {
        std::lock_guard lock(state.mutex);
        state.accounts.fill(AccountRecord{});
        state.accountCount = 0;
    }
    for (const std::string& line : lines) {
        if (state.AccountCount() >= kMaxAccounts) {
            break;
        }
        AccountRecord account{};
        switch (DecodeAccountLine(line, state.passphrase, account)) {
            case LineKind::kAccount:
                state.AppendAccount(account);
                break;
            case LineKind::kNotDecrypted:
                prompts.ShowNotice("The passphrase is incorrect.");
                break;
            case LineKind::kNotARecord:
                break;
        }
    }
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
