#pragma once

#include <functional>
#include <string>
#include <vector>

#include "store/user_prompts.h"

// Tells whether a line of the present file holds data that the caller writes again
// itself; every other line is carried over unchanged after the new records.
using HeldLine = std::function<bool(const std::string& line)>;

// Rewrites a data file: each record encrypted under `passphrase` on its own line,
// then the lines of the old file that `held` does not claim (lines that do not
// decrypt, damaged records), so a save under a mistyped passphrase loses nothing.
// The file is replaced whole; a file that exists but cannot be read is never
// written over. False, with the user told, when the save fails.
bool SaveRecordFile(const std::string& path, const std::vector<std::string>& records,
                    const char* passphrase, const HeldLine& held, UserPrompts& prompts);
