#include "ui/display_text.h"

#include <string>

#include "scan/header_fields.h"

QString DisplayHeaderText(std::string_view raw) {
    std::string decoded(raw);
    DecodeEncodedWords(decoded);
    return QString::fromUtf8(decoded.data(), static_cast<qsizetype>(decoded.size()));
}
