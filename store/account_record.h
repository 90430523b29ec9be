#pragma once

#include <string>
#include <string_view>

#include "app/app_state.h"

// The plain record of one account line: three texts, each after its length byte,
// then 0x04 and the period in four digits, 0x01 and the authentication digit, 0x01
// and the scan digit; then 0x01 and the security digit, 0x05 and the port in five
// digits, and the trusted fingerprint after its length byte (0 or 64). `lastCheck` is
// not stored.
std::string BuildAccountRecord(const AccountRecord& account);

// Reads a decrypted record into `account` (zeroed first). False when the record ends
// before the scan digit; a record that ends there is an account of the time before
// connection security (none, port 0 meaning 110, no fingerprint). Nothing past the
// record's end is read.
bool ParseAccountRecord(const std::string& record, AccountRecord& account);

// True for 64 upper-case hexadecimal digits.
bool IsFingerprint(const std::string& text);

// The POP3 login and server of an account's address: the login runs to the last at
// sign, so a login that is itself an e-mail address works; the server follows it.
// Without an at sign both are the whole address.
struct AccountLogin {
    std::string user;
    std::string host;
};
AccountLogin SplitAddress(std::string_view address);
