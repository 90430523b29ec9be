#include "store/account_file.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "store/atomic_file.h"
#include "store/data_lines.h"
#include "store/record_cipher.h"

namespace {

constexpr char kAccountFileName[] = "email.qvd";
constexpr char kPeriodLength = 0x04;
constexpr char kDigitLength = 0x01;
constexpr int kMaxPeriod = 9999;

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

void AppendText(std::string& record, const char (&field)[kTextSize]) {
    const std::size_t length = strnlen(field, kTextSize - 1);
    record += static_cast<char>(static_cast<unsigned char>(length));
    record.append(field, length);
}

bool ReadText(const std::string& record, std::size_t& pos, char (&field)[kTextSize]) {
    if (pos >= record.size()) {
        return false;
    }
    const std::size_t length = static_cast<unsigned char>(record[pos++]);
    if (record.size() - pos < length) {
        return false;
    }
    std::memcpy(field, record.data() + pos, length);
    field[length] = '\0';
    pos += length;
    return true;
}

char Digit(int value) {
    return static_cast<char>('0' + value);
}

// Lines of the present file that hold no loaded account: those that do not decrypt
// under the passphrase, records too damaged to read, and any account beyond the
// table's limit. A save writes them back, so a mistyped passphrase loses nothing.
std::vector<std::string> LinesToKeep(const std::string& path, const char* passphrase) {
    std::vector<std::string> lines;
    ReadDataLines(path, lines);
    std::vector<std::string> kept;
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
    return kept;
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
    for (const std::string& line : LinesToKeep(path, state.passphrase)) {
        AppendDataLine(content, line);
    }
    if (!AtomicFile::Replace(path, content, prompts)) {
        return false;
    }
    state.accountsDirty = 0;
    return true;
}

std::string BuildAccountRecord(const AccountRecord& account) {
    std::string record;
    AppendText(record, account.description);
    AppendText(record, account.address);
    AppendText(record, account.password);
    // Fixed widths: a value outside them would shift every later field.
    const int period = std::clamp(account.periodMinutes, 0, kMaxPeriod);
    const char periodDigits[] = {Digit(period / 1000), Digit(period / 100 % 10),
                                 Digit(period / 10 % 10), Digit(period % 10)};
    record += kPeriodLength;
    record.append(periodDigits, sizeof periodDigits);
    record += kDigitLength;
    record += Digit(account.authMethod >= 0 && account.authMethod <= 9 ? account.authMethod : 0);
    record += kDigitLength;
    record += Digit(account.scanMessages == 1 ? 1 : 0);
    return record;
}

bool ParseAccountRecord(const std::string& record, AccountRecord& account) {
    account = AccountRecord{};
    std::size_t pos = 0;
    if (!ReadText(record, pos, account.description) || !ReadText(record, pos, account.address) ||
        !ReadText(record, pos, account.password)) {
        return false;
    }
    // The rest: length byte, four period digits, length byte, auth digit, length byte,
    // scan digit. The length bytes are skipped, as every reader of these files does.
    if (record.size() - pos < 9) {
        return false;
    }
    const char* rest = record.data() + pos;
    account.periodMinutes = ParseDecimalField(rest + 1, 4);
    const char auth = rest[6];
    account.authMethod = auth >= '0' && auth <= '9' ? auth - '0' : 0;
    account.scanMessages = rest[8] == '1' ? 1 : 0;
    return true;
}
