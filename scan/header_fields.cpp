#include "scan/header_fields.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>

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

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// The length of the valid UTF-8 sequence at `at`, or 0 when none starts there.
std::size_t Utf8SequenceAt(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) {
        return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u;
    };
    const unsigned lead = byte(0);
    if (lead < 0x80) {
        return 1;
    }
    const auto tail = [&](std::size_t i) { return (byte(i) & 0xC0) == 0x80; };
    if (lead >= 0xC2 && lead <= 0xDF) {
        return tail(1) ? 2 : 0;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        // No overlong forms, no surrogates.
        const unsigned second = byte(1);
        const bool ok =
            (lead == 0xE0 ? second >= 0xA0 : true) && (lead == 0xED ? second < 0xA0 : true);
        return ok && tail(1) && tail(2) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        const unsigned second = byte(1);
        const bool ok =
            (lead == 0xF0 ? second >= 0x90 : true) && (lead == 0xF4 ? second < 0x90 : true);
        return ok && tail(1) && tail(2) && tail(3) ? 4 : 0;
    }
    return 0;
}

void AppendValidUtf8(std::string_view bytes, std::string& out) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        // Valid sequences are copied a run at a time.
        std::size_t end = i;
        std::size_t n = 0;
        while (end < bytes.size() && (n = Utf8SequenceAt(bytes, end)) != 0) {
            end += n;
        }
        out.append(bytes.substr(i, end - i));
        if (end < bytes.size()) {
            out.append(kReplacement);
            ++end;
        }
        i = end;
    }
}

// Latin-1 is Unicode's first 256 code points: the most common charset of mail after
// UTF-8 converts without a converter.
void AppendLatin1(std::string_view bytes, std::string& out) {
    for (const char b : bytes) {
        const auto c = static_cast<unsigned char>(b);
        if (c < 0x80) {
            out.push_back(b);
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
}

// A charset nobody knows is most likely a superset of ASCII: its ASCII bytes are kept.
void AppendAsciiOnly(std::string_view bytes, std::string& out) {
    for (const char b : bytes) {
        if (static_cast<unsigned char>(b) < 0x80) {
            out.push_back(b);
        } else {
            out.append(kReplacement);
        }
    }
}

// The charset's name without its language ("utf-8*en"), in lower case; empty when it
// is no plain name. Only plain names reach iconv: a name is the sender's text, and
// iconv reads slashes and suffixes in it as instructions.
std::string CharsetName(std::string_view declared) {
    declared = declared.substr(0, declared.find('*'));
    if (declared.empty() || declared.size() > 40) {
        return {};
    }
    std::string name;
    for (const char ch : declared) {
        const bool plain = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                           (ch >= '0' && ch <= '9') || ch == '-' || ch == '_' || ch == '.' ||
                           ch == ':';
        if (!plain) {
            return {};
        }
        name.push_back(LowerAscii(ch));
    }
    return name;
}

// Converters are costly to open, so each thread keeps those it opened; a sender who
// names a thousand charsets only makes the extra ones open and close each time.
class Converters {
  public:
    static constexpr std::size_t kKept = 32;
    ~Converters() {
        for (auto& [name, cd] : open_) {
            if (cd != Invalid()) {
                iconv_close(cd);
            }
        }
    }
    static iconv_t Invalid() { return reinterpret_cast<iconv_t>(-1); }
    // The converter from `name` to UTF-8; Invalid() when iconv knows no such charset.
    // `owned` is set when the caller must close it.
    iconv_t Get(const std::string& name, bool& owned) {
        owned = false;
        const auto found = open_.find(name);
        if (found != open_.end()) {
            return found->second;
        }
        const iconv_t cd = iconv_open("UTF-8", name.c_str());
        if (open_.size() < kKept) {
            open_.emplace(name, cd);
        } else {
            owned = cd != Invalid();
        }
        return cd;
    }

  private:
    std::map<std::string, iconv_t> open_;
};

void Convert(iconv_t cd, std::string_view bytes, std::string& out) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);  // a stateful charset starts afresh
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    char chunk[1024];
    for (;;) {
        char* to = chunk;
        std::size_t toLeft = sizeof chunk;
        const bool flushing = inLeft == 0;  // ends a shift state the last byte left open
        const std::size_t rc = flushing ? iconv(cd, nullptr, nullptr, &to, &toLeft)
                                        : iconv(cd, &in, &inLeft, &to, &toLeft);
        const int error = rc == static_cast<std::size_t>(-1) ? errno : 0;
        out.append(chunk, static_cast<std::size_t>(to - chunk));
        if (error == E2BIG) {
            continue;
        }
        if (flushing) {
            return;
        }
        if (error == EILSEQ) {
            out.append(kReplacement);  // one byte at a time, so the rest still converts
            ++in;
            --inLeft;
        } else if (error != 0) {
            out.append(kReplacement);  // a sequence cut short by the word's end
            inLeft = 0;
        }
    }
}

void AppendAsUtf8(std::string_view declared, std::string_view bytes, std::string& out) {
    const std::string name = CharsetName(declared);
    if (name == "utf-8" || name == "utf8") {
        AppendValidUtf8(bytes, out);
        return;
    }
    if (name == "us-ascii" || name == "ascii" || name.empty()) {
        AppendAsciiOnly(bytes, out);
        return;
    }
    if (name == "iso-8859-1" || name == "latin1" || name == "iso_8859-1") {
        AppendLatin1(bytes, out);
        return;
    }
    thread_local Converters converters;
    bool owned = false;
    const iconv_t cd = converters.Get(name, owned);
    if (cd == Converters::Invalid()) {
        AppendAsciiOnly(bytes, out);
        return;
    }
    Convert(cd, bytes, out);
    if (owned) {
        iconv_close(cd);
    }
}

// A search remembered with where it began: any later start up to its hit finds the
// same hit, so a hostile run of markers never rescans the rest of a long field.
struct Search {
    const char* what;
    std::size_t from = std::string_view::npos;
    std::size_t at = 0;
};

// The one pass over a block: bytes are read at r and the text is written to `out`.
// A word's bytes wait in `word` until the run of adjacent words in one charset ends,
// so a character split across two words still converts whole.
struct Cursor {
    char* base;
    std::size_t size;  // length of the text; base[size] is its NUL
    std::size_t r = 0;
    std::string out{};
    std::string word{};
    std::string_view charset{};      // of the words in `word`
    std::string_view openCharset{};  // of the word OpenWord opened last
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

void FlushWords(Cursor& c) {
    if (!c.word.empty()) {
        AppendAsUtf8(c.charset, c.word, c.out);
        c.word.clear();
    }
}

void Move(Cursor& c, std::size_t end) {
    FlushWords(c);
    c.out.append(c.base + c.r, end - c.r);
    c.r = end;
}

// A word in another charset ends the run of words waiting to be converted.
void StartWord(Cursor& c) {
    if (c.openCharset != c.charset && CharsetName(c.openCharset) != CharsetName(c.charset)) {
        FlushWords(c);
        c.charset = c.openCharset;
    }
}

void DecodeQ(Cursor& c, std::size_t end) {
    StartWord(c);
    while (c.r < end) {
        const char b = c.base[c.r];
        unsigned char value = 0;
        // The second digit is read only when the first is not the terminating NUL.
        if (b == '=' && c.base[c.r + 1] != '\0' &&
            HexPairValue(c.base[c.r + 1], c.base[c.r + 2], value) == 0) {
            c.word.push_back(static_cast<char>(value));
            c.r += 3;
        } else {
            c.word.push_back((b == '_') ? ' ' : b);
            ++c.r;
        }
    }
}

void DecodeB(Cursor& c, std::size_t end) {
    StartWord(c);
    // Four characters give three bytes at most, and a group is decoded whole.
    const std::size_t before = c.word.size();
    c.word.resize(before + (end - c.r) + 4);
    // The decoder reads up to a NUL: end the text at the word's end for the call.
    const char saved = c.base[end];
    c.base[end] = '\0';
    const int n = DecodeBase64(c.word.data() + before, c.base + c.r);
    c.base[end] = saved;
    c.word.resize(before + (n > 0 ? static_cast<std::size_t>(n) : 0));
    c.r = end;
}

// Opens the word whose "=?" is at `marker` when a charset, '?', one letter and '?'
// follow within the field: r goes past them. False (nothing moved) otherwise.
bool OpenWord(Cursor& c, std::size_t marker, char& letter) {
    const std::size_t fieldEnd = FieldEnd(c, marker);
    const std::size_t q = Next(c, c.question, marker + 2);
    if (q + 2 < fieldEnd && c.base[q + 2] == '?') {
        letter = LowerAscii(c.base[q + 1]);
        c.openCharset = std::string_view(c.base + marker + 2, q - marker - 2);
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
    return FieldSpan{p, FoldedFieldEnd(text, p)};
}

// The text of a block: up to its first NUL byte.
std::string_view TextOf(const std::string& block) {
    return std::string_view(block.c_str());
}

}  // namespace

std::size_t FoldedFieldEnd(std::string_view text, std::size_t begin) {
    std::size_t e = text.find("\r\n", begin);
    while (e != std::string_view::npos && e + 2 < text.size() &&
           (text[e + 2] == ' ' || text[e + 2] == '\t')) {
        e = text.find("\r\n", e + 2);
    }
    return e == std::string_view::npos ? text.size() : e;
}

void FindHeaderFields(const std::string& block, std::span<const std::string_view> names,
                      std::span<std::optional<std::string>> fields) {
    const std::string_view text = TextOf(block);
    std::size_t missing = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
        fields[i].reset();
        missing += names[i].empty() ? 0 : 1;
    }
    for (std::size_t p = 0; missing > 0;) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (!fields[i] && !names[i].empty() && StartsWithCaseless(text, p, names[i])) {
                fields[i] = UnfoldedField(text, p, FoldedFieldEnd(text, p));
                --missing;
            }
        }
        const std::size_t crlf = text.find("\r\n", p);
        if (crlf == std::string_view::npos) {
            break;
        }
        p = crlf + 2;
    }
}

std::string UnfoldedField(std::string_view text, std::size_t begin, std::size_t end) {
    std::string copy;
    copy.reserve(end - begin);
    // Whole runs between line breaks at a time: a long Received field costs one copy.
    while (begin < end) {
        const std::size_t crlf = text.find("\r\n", begin);
        if (crlf == std::string_view::npos || crlf + 1 >= end) {
            copy.append(text.substr(begin, end - begin));
            break;
        }
        copy.append(text.substr(begin, crlf - begin));
        begin = crlf + 2;
    }
    return copy;
}

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
    c.out.reserve(block.size() + block.size() / 2);
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
    FlushWords(c);
    block = std::move(c.out);
    return block.size();
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

void AppendWithReplacement(std::string_view bytes, std::string& out) {
    AppendValidUtf8(bytes, out);
}

bool IsValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        // ASCII runs are the common case: skip them eight bytes at a time.
        while (i + 8 <= text.size()) {
            std::uint64_t eight = 0;
            std::memcpy(&eight, text.data() + i, 8);
            if ((eight & 0x8080808080808080ULL) != 0) {
                break;
            }
            i += 8;
        }
        if (i >= text.size()) {
            break;
        }
        const std::size_t n = Utf8SequenceAt(text, i);
        if (n == 0) {
            return false;
        }
        i += n;
    }
    return true;
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
    return UnfoldedField(text, span->begin, span->end);
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
    std::string copy = UnfoldedField(block, span->begin, span->end);
    block.erase(span->begin, span->end - span->begin);
    return copy;
}
