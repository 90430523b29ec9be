#include "scan/header_fields.h"

#include <algorithm>
#include <cstring>

namespace {

enum class DecodeState { kPlain, kEncoded };

// The alphabet value of a base64 character; -1 outside the alphabet.
int Base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return -1;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsFoldingSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// The text of a block ends at its first NUL byte; anything after it is dropped so
// that the std::string and the text agree.
void CutAtNul(std::string& block) {
    const std::size_t nul = block.find('\0');
    if (nul != std::string::npos) {
        block.resize(nul);
    }
}

// A search remembered with where it began: any later start up to its hit finds the
// same hit, so a hostile run of markers never rescans the rest of a long field.
struct Search {
    const char* what;
    std::size_t from = std::string_view::npos;
    std::size_t at = 0;
};

// The one pass over a block: bytes are read at r and written at w, and w never
// passes r, so the block is rewritten in place (bytes from r on are never touched).
struct Cursor {
    char* base;
    std::size_t size;  // length of the text; base[size] is its NUL
    std::size_t r = 0;
    std::size_t w = 0;
    Search question{"?"};
    Search close{"?="};
    Search lineEnd{"\r\n"};
    std::size_t fieldFrom = std::string_view::npos;
    std::size_t fieldEnd = 0;
};

std::size_t FindFrom(const Cursor& c, const char* what, std::size_t from) {
    const std::string_view text(c.base, c.size);
    const std::size_t at = text.find(what, from);
    return at == std::string_view::npos ? c.size : at;
}

std::size_t Next(const Cursor& c, Search& s, std::size_t from) {
    if (!(s.from <= from && from <= s.at)) {
        s.from = from;
        s.at = FindFrom(c, s.what, from);
    }
    return s.at;
}

// Where the field holding `at` ends: at a line end not followed by a blank. An
// encoded word never runs past it, or one stray "=?" would swallow the From and
// Received fields that follow.
std::size_t FieldEnd(Cursor& c, std::size_t at) {
    if (c.fieldFrom <= at && at <= c.fieldEnd) {
        return c.fieldEnd;
    }
    std::size_t e = Next(c, c.lineEnd, at);
    while (e + 2 < c.size && (c.base[e + 2] == ' ' || c.base[e + 2] == '\t')) {
        e = Next(c, c.lineEnd, e + 2);
    }
    c.fieldFrom = at;
    c.fieldEnd = e;
    return e;
}

void Move(Cursor& c, std::size_t end) {
    const std::size_t n = end - c.r;
    std::memmove(c.base + c.w, c.base + c.r, n);
    c.w += n;
    c.r = end;
}

void DecodeQ(Cursor& c, std::size_t end) {
    while (c.r < end) {
        const char b = c.base[c.r];
        unsigned char value = 0;
        // The second digit is read only when the first is not the terminating NUL.
        if (b == '=' && c.base[c.r + 1] != '\0' &&
            HexPairValue(c.base[c.r + 1], c.base[c.r + 2], value) == 0) {
            c.base[c.w++] = static_cast<char>(value);
            c.r += 3;
        } else {
            c.base[c.w++] = (b == '_') ? ' ' : b;
            ++c.r;
        }
    }
}

void DecodeB(Cursor& c, std::size_t end) {
    // The decoder reads up to a NUL: end the text at the word's end for the call.
    const char saved = c.base[end];
    c.base[end] = '\0';
    const int n = DecodeBase64(c.base + c.w, c.base + c.r);
    c.base[end] = saved;
    if (n > 0) {
        c.w += static_cast<std::size_t>(n);
    }
    c.r = end;
}

// Opens the word whose "=?" is at `marker` when a charset, '?', one letter and '?'
// follow within the field: r goes past them. False (nothing moved) otherwise.
bool OpenWord(Cursor& c, std::size_t marker, char& letter) {
    const std::size_t fieldEnd = FieldEnd(c, marker);
    const std::size_t q = Next(c, c.question, marker + 2);
    if (q + 2 < fieldEnd && c.base[q + 2] == '?') {
        letter = LowerAscii(c.base[q + 1]);
        c.r = q + 3;
        return true;
    }
    return false;
}

// Handles one encoded word from r (just past its "?X?") and decides the next state.
// A word without its "?=" ends with its field.
DecodeState DecodeWord(Cursor& c, char& letter) {
    const std::size_t fieldEnd = FieldEnd(c, c.r);
    const std::size_t end = std::min(Next(c, c.close, c.r), fieldEnd);
    if (letter == 'q') {
        DecodeQ(c, end);
    } else if (letter == 'b') {
        DecodeB(c, end);
    } else {
        Move(c, end);
    }
    if (c.r < fieldEnd) {
        c.r += 2;
    }
    // White space (folding included) between two adjacent encoded words vanishes.
    std::size_t next = c.r;
    while (next < fieldEnd && IsFoldingSpace(c.base[next])) {
        ++next;
    }
    if (next + 1 < fieldEnd && c.base[next] == '=' && c.base[next + 1] == '?' &&
        OpenWord(c, next, letter)) {
        return DecodeState::kEncoded;
    }
    return DecodeState::kPlain;
}

struct FieldSpan {
    std::size_t begin;
    std::size_t end;  // the CRLF that ends the field, or the end of the text
};

std::optional<FieldSpan> LocateField(std::string_view text, std::string_view name) {
    if (name.empty()) {
        return std::nullopt;
    }
    std::size_t p = 0;
    while (!StartsWithCaseless(text, p, name)) {
        const std::size_t crlf = text.find("\r\n", p);
        if (crlf == std::string_view::npos) {
            return std::nullopt;
        }
        p = crlf + 2;
    }
    std::size_t e = text.find("\r\n", p);
    while (e != std::string_view::npos && e + 2 < text.size() &&
           (text[e + 2] == ' ' || text[e + 2] == '\t')) {
        e = text.find("\r\n", e + 2);
    }
    return FieldSpan{p, e == std::string_view::npos ? text.size() : e};
}

std::string UnfoldedCopy(std::string_view text, FieldSpan span) {
    std::string copy;
    copy.reserve(span.end - span.begin);
    std::size_t i = span.begin;
    while (i < span.end) {
        if (text[i] == '\r' && i + 1 < span.end && text[i + 1] == '\n') {
            i += 2;
            continue;
        }
        copy.push_back(text[i]);
        ++i;
    }
    return copy;
}

// The text of a block: up to its first NUL byte.
std::string_view TextOf(const std::string& block) {
    return std::string_view(block.c_str());
}

}  // namespace

bool StartsWithCaseless(std::string_view text, std::size_t at, std::string_view name) {
    if (text.size() - at < name.size()) {
        return false;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (LowerAscii(text[at + i]) != LowerAscii(name[i])) {
            return false;
        }
    }
    return true;
}

std::optional<std::size_t> DecodeEncodedWords(std::string& block) {
    CutAtNul(block);
    if (block.find("=?") == std::string::npos) {
        return std::nullopt;
    }
    Cursor c{block.data(), block.size()};
    DecodeState state = DecodeState::kPlain;
    char letter = '\0';
    while (c.r < c.size) {
        if (state == DecodeState::kEncoded) {
            state = DecodeWord(c, letter);
            continue;
        }
        const std::size_t m = FindFrom(c, "=?", c.r);
        Move(c, m);
        if (m < c.size && OpenWord(c, m, letter)) {
            state = DecodeState::kEncoded;
        } else if (m < c.size) {
            Move(c, m + 2);  // an "=?" that opens no word within its field is text
        }
    }
    block.resize(c.w);
    return c.w;
}

// Complete groups of four only, each followed by a NUL, a CR or another group; a
// padded group ends the text. A leading "+ " is skipped, a leading CR is an empty
// word, and anything else (a short group, a blank) breaks the whole word.
int DecodeBase64(char* destination, const char* source) {
    const auto* s = reinterpret_cast<const unsigned char*>(source);
    if (s[0] == '+' && s[1] == ' ') {
        s += 2;
    }
    if (s[0] == '\r') {
        return 0;
    }
    int written = 0;
    for (;;) {
        // Each byte is looked at only when the one before it was valid, so the
        // decoder never reads past a NUL.
        const int v0 = Base64Value(s[0]);
        if (v0 < 0) {
            return -1;
        }
        const int v1 = Base64Value(s[1]);
        if (v1 < 0) {
            return -1;
        }
        const bool pad2 = s[2] == '=';
        const int v2 = pad2 ? 0 : Base64Value(s[2]);
        if (v2 < 0) {
            return -1;
        }
        const bool pad3 = s[3] == '=';
        const int v3 = pad3 ? 0 : Base64Value(s[3]);
        if (v3 < 0) {
            return -1;
        }
        // All four bytes are read before any is written: the caller decodes in place.
        destination[written++] = static_cast<char>((v0 * 4 + v1 / 16) % 256);
        if (!pad2) {
            destination[written++] = static_cast<char>((v1 * 16 + v2 / 4) % 256);
            if (!pad3) {
                destination[written++] = static_cast<char>((v2 * 64 + v3) % 256);
            }
        }
        s += 4;
        if (s[0] == '\0' || s[0] == '\r' || pad3) {
            return written;
        }
    }
}

int HexPairValue(char high, char low, unsigned char& out) {
    const int h = HexDigitValue(high);
    const int l = HexDigitValue(low);
    if (h < 0 || l < 0) {
        return 1;
    }
    out = static_cast<unsigned char>(h * 16 + l);
    return 0;
}

std::optional<std::string> FindHeaderField(const std::string& block, std::string_view name) {
    const std::string_view text = TextOf(block);
    const std::optional<FieldSpan> span = LocateField(text, name);
    if (!span) {
        return std::nullopt;
    }
    return UnfoldedCopy(text, *span);
}

std::string HeaderFieldValue(const std::string& block, std::string_view name) {
    const std::optional<std::string> field = FindHeaderField(block, name);
    if (!field) {
        return {};
    }
    const std::size_t start = field->find_first_not_of(" \t", name.size());
    return start == std::string::npos ? std::string() : field->substr(start);
}

std::optional<std::string> CutHeaderField(std::string& block, std::string_view name) {
    CutAtNul(block);
    const std::optional<FieldSpan> span = LocateField(block, name);
    if (!span) {
        return std::nullopt;
    }
    std::string copy = UnfoldedCopy(block, *span);
    block.erase(span->begin, span->end - span->begin);
    return copy;
}
