#pragma once

#include <string>

#include "app/app_state.h"
#include "store/user_prompts.h"

// "email.qvd" in the data directory; "email-apart.qvd" when `accountsApart` is set.
std::string AccountFilePath(const AppState& state);

constexpr int kPassphraseTries = 3;

// Asks for the passphrase (confirmation mode when none of the three data files holds
// a record) when none is set, then loads the accounts. 0 when the user cancelled,
// else 1. A typed passphrase that opens no record of the three files is asked for
// again, up to three tries in all. After the last one the run goes on with its
// accounts and rules kept apart (`accountsApart`). Lines that gave no account are
// told, one notice for each reason (another passphrase, no account inside, past the
// table's end), and kept unchanged by every save.
int LoadAccountFile(AppState& state, UserPrompts& prompts);

// The notice for `count` lines of `fileName` that could not be read and are kept.
std::string UnreadRecordsNotice(const std::string& fileName, std::size_t count);

// The notice for `beyond` accounts of the file past the table's end.
std::string TableFullNotice(std::size_t beyond);

// Writes every account, atomically, keeping lines that did not decrypt. On success
// clears `accountsDirty`; on failure the old file stays, the user is told, false.
bool SaveAccountFile(AppState& state, UserPrompts& prompts);
