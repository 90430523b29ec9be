#pragma once

#include <QString>
#include <string_view>

// A header text as it came from the server, made readable for display: every MIME
// encoded word (B or Q) converted from its charset, bytes that fit no charset (or a
// charset nobody knows) shown as U+FFFD, and the text between encoded words read as
// the locale's 8-bit text. The blanks and line breaks between two adjacent encoded
// words are dropped, as mail readers do. Scoring never sees this text.
QString DisplayHeaderText(std::string_view raw);
