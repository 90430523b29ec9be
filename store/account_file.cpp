#include "store/account_file.h"

#include <mutex>
#include <vector>

#include "store/account_record.h"
#include "store/atomic_file.h"
#include "store/data_lines.h"
#include "store/record_cipher.h"

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

// Lines of the present file that hold no loaded account: those that do not decrypt
// under the passphrase, records too damaged to read, and any account beyond the
// table's limit. A save writes them back, so a mistyped passphrase loses nothing.
// False when the file exists but cannot be read: writing over it could destroy it.
bool LinesToKeep(const std::string& path, const char* passphrase, std::vector<std::string>& kept) {
    std::vector<std::string> lines;
    if (!ReadDataLinesIfAny(path, lines)) {
        return false;
    }
    std::size_t loaded = 0;
    for (std::string& line : lines) {
        AccountRecord account{};
        if (loaded < kMaxAccounts &&
            DecodeAccountLine(line, passphrase, account) == LineKind::kAccount) {
            ++loaded;
            continue;
        }
        kept.push_back(std::move(line));
    }
    return true;
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
    std::string content;
    for (const AccountRecord& account : accounts) {
        const std::string record = BuildAccountRecord(account);
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
    if (!AtomicFile::Replace(path, content, prompts)) {
        return false;
    }
    state.accountsDirty = 0;
    return true;
}
