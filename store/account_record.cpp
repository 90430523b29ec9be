#include "store/account_record.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "store/data_lines.h"

namespace {

constexpr char kPeriodLength = 0x04;
constexpr char kDigitLength = 0x01;
constexpr int kMaxPeriod = 9999;
// After the three texts: length byte, four period digits, length byte, auth digit,
// length byte, scan digit.
constexpr std::size_t kTailLength = 9;
constexpr char kPortLength = 0x05;
constexpr int kMaxPort = 65535;
constexpr std::size_t kFingerprintDigits = kFingerprintSize - 1;

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

// Fields written since connection security came; each one is read only when it is
// there whole, so a record cut short keeps the old meaning of what is missing.
void AppendSecurity(std::string& record, const AccountRecord& account) {
    record += kDigitLength;
    record += Digit(account.security >= 0 && account.security <= 2 ? account.security : 0);
    const int port = account.port >= 1 && account.port <= kMaxPort ? account.port : 0;
    char portDigits[8];
    std::snprintf(portDigits, sizeof portDigits, "%05d", port);
    record += kPortLength;
    record.append(portDigits, 5);
    const std::string fingerprint(account.trustedFingerprint,
                                  strnlen(account.trustedFingerprint, kFingerprintDigits));
    const bool trusted = IsFingerprint(fingerprint);
    record += static_cast<char>(trusted ? kFingerprintDigits : 0);
    if (trusted) {
        record += fingerprint;
    }
}

// Returns where the fields after the fingerprint begin, or npos when the record ends
// before them.
std::size_t ParseSecurity(const std::string& record, std::size_t pos, AccountRecord& account) {
    if (record.size() - pos < 2) {
        return std::string::npos;
    }
    const char mode = record[pos + 1];
    account.security = mode >= '0' && mode <= '2' ? mode - '0' : 0;
    pos += 2;
    if (record.size() - pos < 6) {
        return std::string::npos;
    }
    const int port = ParseDecimalField(record.data() + pos + 1, 5);
    account.port = port >= 1 && port <= kMaxPort ? port : 0;
    pos += 6;
    if (record.size() - pos < 1) {
        return std::string::npos;
    }
    const std::size_t length = static_cast<unsigned char>(record[pos]);
    if (length != 0 && length != kFingerprintDigits) {
        return std::string::npos;
    }
    if (record.size() - pos - 1 < length) {
        return std::string::npos;
    }
    const std::string fingerprint = record.substr(pos + 1, length);
    if (IsFingerprint(fingerprint)) {
        std::memcpy(account.trustedFingerprint, fingerprint.data(), kFingerprintDigits);
    }
    return pos + 1 + length;
}

// Fields appended since sign-in came, each after its own marker byte and any of them
// absent: a reader takes each one where it finds it and stops at a marker it does not
// know, so older programs read newer records and newer programs older ones.
constexpr char kProviderMarker = 0x06;
constexpr char kEmailMarker = 0x07;
// Automatic deletion: '0' or '1', then the threshold N (of the score -N) as five digits.
// Fixed length, so a reader skips it whole whatever it holds.
constexpr char kDeletionMarker = 0x08;
constexpr std::size_t kDeletionLength = 6;
constexpr int kDefaultDeleteThreshold = 50;
constexpr int kMaxDeleteThreshold = 10000;

void AppendDeletion(std::string& record, const AccountRecord& account) {
    const int threshold = account.deleteThreshold;
    const bool chosen = threshold >= 1 && threshold <= kMaxDeleteThreshold;
    // Records of accounts that never chose stay as earlier versions wrote them.
    if (account.autoDelete != 1 && (!chosen || threshold == kDefaultDeleteThreshold)) {
        return;
    }
    const int n = chosen ? threshold : kDefaultDeleteThreshold;
    record += kDeletionMarker;
    record += account.autoDelete == 1 ? '1' : '0';
    for (int unit = 10000; unit >= 1; unit /= 10) {
        record += Digit(n / unit % 10);
    }
}

// A field that is not exactly a switch and a threshold in range turns deletion off:
// a damaged record must never delete.
std::size_t ParseDeletion(const std::string& record, std::size_t pos, AccountRecord& account) {
    if (record.size() - pos < kDeletionLength) {
        return std::string::npos;
    }
    const std::string_view field(record.data() + pos, kDeletionLength);
    const bool digits =
        std::all_of(field.begin(), field.end(), [](char c) { return c >= '0' && c <= '9'; });
    const int threshold = digits ? ParseDecimalField(field.data() + 1, 5) : 0;
    if (digits && field[0] <= '1' && threshold >= 1 && threshold <= kMaxDeleteThreshold) {
        account.autoDelete = field[0] - '0';
        account.deleteThreshold = threshold;
    }
    return pos + kDeletionLength;
}

void AppendMarkedText(std::string& record, char marker, const char (&field)[kTextSize]) {
    if (field[0] != '\0') {
        record += marker;
        AppendText(record, field);
    }
}

void ParseMarkedFields(const std::string& record, std::size_t pos, AccountRecord& account) {
    while (pos < record.size()) {
        const char marker = record[pos++];
        if (marker == kDeletionMarker) {
            pos = ParseDeletion(record, pos, account);
            if (pos == std::string::npos) {
                return;
            }
            continue;
        }
        char* field = marker == kProviderMarker ? account.providerId
                      : marker == kEmailMarker  ? account.emailAddress
                                                : nullptr;
        if (field == nullptr) {
            return;
        }
        char text[kTextSize];
        if (!ReadText(record, pos, text)) {
            return;
        }
        std::memcpy(field, text, kTextSize);
    }
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
    AppendSecurity(record, account);
    AppendMarkedText(record, kProviderMarker, account.providerId);
    AppendMarkedText(record, kEmailMarker, account.emailAddress);
    AppendDeletion(record, account);
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
    const std::size_t marked = ParseSecurity(record, pos + kTailLength, account);
    if (marked != std::string::npos) {
        ParseMarkedFields(record, marked, account);
    }
    return true;
}

bool IsFingerprint(const std::string& text) {
    return text.size() == kFingerprintDigits && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
           });
}

AccountLogin SplitAddress(std::string_view address) {
    const std::size_t last = address.rfind('@');
    if (last == std::string_view::npos) {
        return {std::string(address), std::string(address)};
    }
    return {std::string(address.substr(0, last)), std::string(address.substr(last + 1))};
}
