#pragma once

#include <string>

#include "app/app_state.h"
#include "store/user_prompts.h"

std::string AccountFilePath(const AppState& state);

// Asks for the passphrase (confirmation mode when "email.qvd" is missing or empty)
// when none is set, then loads the accounts. 0 when the user cancelled, else 1.
int LoadAccountFile(AppState& state, UserPrompts& prompts);

// Writes every account, atomically, keeping lines that did not decrypt. On success
// clears `accountsDirty`; on failure the old file stays, the user is told, false.
bool SaveAccountFile(AppState& state, UserPrompts& prompts);

// The plain record of one account line: three texts, each after its length byte,
// then 0x04 and the period in four digits, 0x01 and the authentication digit, 0x01
// and the scan digit. `lastCheck` is not stored.
std::string BuildAccountRecord(const AccountRecord& account);

// Reads a decrypted record into `account` (zeroed first). False when the record ends
// before its last field; nothing past the record's end is read.
bool ParseAccountRecord(const std::string& record, AccountRecord& account);
