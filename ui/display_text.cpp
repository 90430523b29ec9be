#include "ui/display_text.h"

#include <QByteArray>
#include <QStringDecoder>
#include <algorithm>
#include <cctype>
#include <optional>
#include <string>

#include "scan/header_fields.h"

namespace {

// The bytes of ISO-8859-16 that differ from ISO-8859-1. The ICU data Qt uses on
// Debian lacks this charset, so it is converted here.
constexpr std::pair<unsigned char, char16_t> kLatin10[] = {
    {0xA1, 0x0104}, {0xA2, 0x0105}, {0xA3, 0x0141}, {0xA4, 0x20AC}, {0xA5, 0x201E}, {0xA6, 0x0160},
    {0xA8, 0x0161}, {0xAA, 0x0218}, {0xAC, 0x0179}, {0xAE, 0x017A}, {0xAF, 0x017B}, {0xB2, 0x010C},
    {0xB3, 0x0142}, {0xB4, 0x017D}, {0xB5, 0x201D}, {0xB8, 0x017E}, {0xB9, 0x010D}, {0xBA, 0x0219},
    {0xBC, 0x0152}, {0xBD, 0x0153}, {0xBE, 0x0178}, {0xBF, 0x017C}, {0xC3, 0x0102}, {0xC5, 0x0106},
    {0xD0, 0x0110}, {0xD1, 0x0143}, {0xD5, 0x0150}, {0xD7, 0x015A}, {0xD8, 0x0170}, {0xDD, 0x0118},
    {0xDE, 0x021A}, {0xE3, 0x0103}, {0xE5, 0x0107}, {0xF0, 0x0111}, {0xF1, 0x0144}, {0xF5, 0x0151},
    {0xF7, 0x015B}, {0xF8, 0x0171}, {0xFD, 0x0119}, {0xFE, 0x021B},
};

struct EncodedWord {
    std::string charset;
    char encoding;  // 'B' or 'Q'
    std::string_view text;
    std::size_t end;  // just past the closing "?="
};

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsTokenChar(unsigned char c) {
    return c > ' ' && c < 0x7F && c != '?';
}

// The encoded word "=?charset?E?text?=" that starts at `at`, if one does.
std::optional<EncodedWord> ParseEncodedWord(std::string_view raw, std::size_t at) {
    if (raw.substr(at, 2) != "=?") {
        return std::nullopt;
    }
    std::size_t i = at + 2;
    const std::size_t charsetStart = i;
    while (i < raw.size() && IsTokenChar(static_cast<unsigned char>(raw[i]))) {
        ++i;
    }
    if (i == charsetStart || i + 3 > raw.size() || raw[i] != '?' || raw[i + 2] != '?') {
        return std::nullopt;
    }
    const char encoding = static_cast<char>(std::toupper(static_cast<unsigned char>(raw[i + 1])));
    if (encoding != 'B' && encoding != 'Q') {
        return std::nullopt;
    }
    const std::size_t textStart = i + 3;
    const std::size_t close = raw.find("?=", textStart);
    if (close == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view text = raw.substr(textStart, close - textStart);
    if (std::any_of(text.begin(), text.end(), IsBlank)) {
        return std::nullopt;  // an encoded word holds no blanks
    }
    // A language may follow the charset after an asterisk ("utf-8*en").
    std::string_view charset = raw.substr(charsetStart, i - charsetStart);
    charset = charset.substr(0, charset.find('*'));
    return EncodedWord{std::string(charset), encoding, text, close + 2};
}

std::optional<QByteArray> DecodeQ(std::string_view text) {
    QByteArray bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '_') {
            bytes.append(' ');
        } else if (text[i] != '=') {
            bytes.append(text[i]);
        } else {
            unsigned char value = 0;
            if (i + 2 >= text.size() || HexPairValue(text[i + 1], text[i + 2], value) != 0) {
                return std::nullopt;
            }
            bytes.append(static_cast<char>(value));
            i += 2;
        }
    }
    return bytes;
}

std::optional<QByteArray> DecodeB(std::string_view text) {
    auto result =
        QByteArray::fromBase64Encoding(QByteArray(text.data(), static_cast<qsizetype>(text.size())),
                                       QByteArray::AbortOnBase64DecodingErrors);
    if (!result) {
        return std::nullopt;
    }
    return *result;
}

QString FromLatin10(const QByteArray& bytes) {
    QString text;
    for (const char byte : bytes) {
        const auto c = static_cast<unsigned char>(byte);
        const auto* found = std::find_if(std::begin(kLatin10), std::end(kLatin10),
                                         [c](const auto& entry) { return entry.first == c; });
        text.append(found != std::end(kLatin10) ? QChar(found->second) : QChar(c));
    }
    return text;
}

// An unknown charset is most likely a superset of ASCII: its ASCII bytes are kept.
QString FromUnknown(const QByteArray& bytes) {
    QString text;
    for (const char byte : bytes) {
        const auto c = static_cast<unsigned char>(byte);
        text.append(c < 0x80 ? QChar(c) : QChar(QChar::ReplacementCharacter));
    }
    return text;
}

QString FromCharset(const std::string& charset, const QByteArray& bytes) {
    const std::string name = Lower(charset);
    if (name == "iso-8859-16" || name == "iso8859-16" || name == "iso_8859-16" ||
        name == "latin10") {
        return FromLatin10(bytes);
    }
    QStringDecoder decoder(charset.c_str());
    if (!decoder.isValid()) {
        return FromUnknown(bytes);
    }
    QString text = decoder.decode(bytes);
    // Some converters mark a byte they cannot map with SUB instead of U+FFFD.
    if (!bytes.contains('\x1A')) {
        text.replace(QChar(0x1A), QChar(QChar::ReplacementCharacter));
    }
    return text;
}

QString FromLocal(std::string_view bytes) {
    return QString::fromLocal8Bit(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

}  // namespace

QString DisplayHeaderText(std::string_view raw) {
    QString shown;
    std::size_t plainStart = 0;
    bool afterWord = false;  // the plain run since plainStart follows an encoded word
    std::size_t at = raw.find("=?");
    while (at != std::string_view::npos) {
        const std::optional<EncodedWord> word = ParseEncodedWord(raw, at);
        std::optional<QByteArray> bytes;
        if (word) {
            bytes = word->encoding == 'B' ? DecodeB(word->text) : DecodeQ(word->text);
        }
        if (!bytes) {
            at = raw.find("=?", at + 2);
            continue;
        }
        const std::string_view between = raw.substr(plainStart, at - plainStart);
        if (!(afterWord && std::all_of(between.begin(), between.end(), IsBlank))) {
            shown += FromLocal(between);
        }
        shown += FromCharset(word->charset, *bytes);
        plainStart = word->end;
        afterWord = true;
        at = raw.find("=?", plainStart);
    }
    shown += FromLocal(raw.substr(plainStart));
    return shown;
}
