// The first byte picks the parser; the rest is the decrypted record (or, for the
// cipher, the text of a line). A record that parses must come back the same after
// one more build and parse.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "store/account_record.h"
#include "store/record_cipher.h"
#include "store/rule_record.h"

namespace {

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The record cut after the scan digit is what older versions wrote: it must read as
// the same account, with every later field at its default, and older readers stop there.
void FuzzOldLayout(const std::string& built, const AccountRecord& account) {
    const std::size_t oldSize = 3 + std::strlen(account.description) +
                                std::strlen(account.address) + std::strlen(account.password) + 9;
    Require(built.size() > oldSize);
    AccountRecord old{};
    Require(ParseAccountRecord(built.substr(0, oldSize), old));
    Require(old.security == 0 && old.port == 0 && old.trustedFingerprint[0] == '\0');
    Require(old.providerId[0] == '\0' && old.emailAddress[0] == '\0' && old.autoDelete == 0);
    Require(std::strcmp(old.address, account.address) == 0);
    Require(old.periodMinutes == account.periodMinutes && old.authMethod == account.authMethod);
}

void FuzzAccount(const std::string& bytes) {
    AccountRecord account{};
    if (!ParseAccountRecord(bytes, account)) {
        return;
    }
    // Texts are cut at their first zero byte and out-of-range numbers are pulled into
    // their fields, so one build settles the record; from there it is stable.
    const std::string built = BuildAccountRecord(account);
    AccountRecord again{};
    Require(ParseAccountRecord(built, again));
    Require(BuildAccountRecord(again) == built);
    Require(std::strcmp(again.password, account.password) == 0);
    Require(again.scanMessages == account.scanMessages);
    Require(again.security == account.security && again.port == account.port);
    Require(std::strcmp(again.trustedFingerprint, account.trustedFingerprint) == 0);
    Require(std::strcmp(again.providerId, account.providerId) == 0);
    Require(std::strcmp(again.emailAddress, account.emailAddress) == 0);
    Require(again.autoDelete == account.autoDelete);
    FuzzOldLayout(built, again);
}

void FuzzRule(const std::string& bytes, RuleList list) {
    RuleEntry rule;
    if (!ParseRuleRecord(bytes, rule)) {
        return;
    }
    RuleEntry again;
    Require(ParseRuleRecord(BuildRuleRecord(list, rule), again));
    Require(again.header == rule.header);
    Require(again.contains == rule.contains);
    Require(again.weight == rule.weight);
}

void FuzzCipher(const std::string& line) {
    bool verified = true;
    RecordCipher::Decrypt(line, "fuzzing passphrase", &verified);
    // Nothing a fuzzer can write passes the key check and the MAC of this passphrase.
    Require(!verified);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 4) {
        case 0:
            FuzzAccount(bytes);
            break;
        case 1:
        case 2:
            FuzzRule(bytes, static_cast<RuleList>(data[0] % 4 - 1));  // values past both lists too
            break;
        default:
            FuzzCipher(bytes);
            break;
    }
    return 0;
}
