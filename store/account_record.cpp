#include "store/account_record.h"

#include <algorithm>
#include <cstring>

#include "store/data_lines.h"

namespace {

constexpr char kPeriodLength = 0x04;
constexpr char kDigitLength = 0x01;
constexpr int kMaxPeriod = 9999;
// After the three texts: length byte, four period digits, length byte, auth digit,
// length byte, scan digit.
constexpr std::size_t kTailLength = 9;

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

}  // namespace

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
    if (record.size() - pos < kTailLength) {
        return false;
    }
    // The length bytes of the tail are skipped, not checked: every writer of these
    // files puts the same ones there.
    const char* tail = record.data() + pos;
    account.periodMinutes = ParseDecimalField(tail + 1, 4);
    const char auth = tail[6];
    account.authMethod = auth >= '0' && auth <= '9' ? auth - '0' : 0;
    account.scanMessages = tail[8] == '1' ? 1 : 0;
    return true;
}
