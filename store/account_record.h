#pragma once

#include <string>

#include "app/app_state.h"

// The plain record of one account line: three texts, each after its length byte,
// then 0x04 and the period in four digits, 0x01 and the authentication digit, 0x01
// and the scan digit. `lastCheck` is not stored.
std::string BuildAccountRecord(const AccountRecord& account);

// Reads a decrypted record into `account` (zeroed first). False when the record ends
// before its last field; nothing past the record's end is read.
bool ParseAccountRecord(const std::string& record, AccountRecord& account);
