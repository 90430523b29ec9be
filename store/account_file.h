#pragma once

#include <string>

#include "app/app_state.h"
#include "store/user_prompts.h"

// "email.qvd" in the data directory; "email-apart.qvd" when `accountsApart` is set.
std::string AccountFilePath(const AppState& state);

constexpr int kPassphraseTries = 3;

// Asks for the passphrase (confirmation mode when "email.qvd" is missing or empty)
// when none is set, then loads the accounts. 0 when the user cancelled, else 1.
// A typed passphrase that opens none of the file's records is asked for again, up
// to three tries in all. After the last one the run goes on with its accounts kept
// apart (`accountsApart`). Records that could not be read give one notice, and are
// kept unchanged by every save.
int LoadAccountFile(AppState& state, UserPrompts& prompts);

// The notice for `count` lines of `fileName` that could not be read and are kept.
std::string UnreadRecordsNotice(const std::string& fileName, std::size_t count);

// Writes every account, atomically, keeping lines that did not decrypt. On success
// clears `accountsDirty`; on failure the old file stays, the user is told, false.
bool SaveAccountFile(AppState& state, UserPrompts& prompts);
