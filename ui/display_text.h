#pragma once

#include <QString>
#include <string_view>

// A header text as it came from the server, made readable for display: the text the
// rules see (DecodeEncodedWords: every encoded word converted from its charset to
// UTF-8), read as UTF-8, so a byte that is not shows as U+FFFD.
QString DisplayHeaderText(std::string_view raw);
