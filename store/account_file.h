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
