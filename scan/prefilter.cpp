#include "scan/prefilter.h"

#ifdef QV_HAVE_VECTORSCAN

#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>

#include "scan/required_literal.h"
#include "scan/scan_cache.h"
#include "scan/scan_engine.h"

namespace {

// Caseless and Unicode like the PCRE2 patterns (the scorer only ever scans valid
// UTF-8); one report per pattern and scan is all a candidate list needs; an empty
// alternative ("x|") is legal in a rule. The flags are part of the cache key.
constexpr unsigned kExactFlags =
    HS_FLAG_CASELESS | HS_FLAG_SINGLEMATCH | HS_FLAG_ALLOWEMPTY | HS_FLAG_UTF8 | HS_FLAG_UCP;
constexpr unsigned kApproximateFlags = kExactFlags | HS_FLAG_PREFILTER;
// The required texts stand for their pattern, '.' between them matching anything. ASCII
// ones are scanned for byte by byte, caseless in ASCII, which the library does far
// faster than in its Unicode mode; others keep the Unicode flags.
constexpr unsigned kAsciiLiteralFlags = HS_FLAG_CASELESS | HS_FLAG_SINGLEMATCH | HS_FLAG_DOTALL;
constexpr unsigned kLiteralFlags = kExactFlags | HS_FLAG_DOTALL;

// Byte by byte and caseless in ASCII, a pattern of ASCII letters, digits, escaped
// punctuation, positive classes, groups and repeats matches valid UTF-8 text exactly
// where it does in the Unicode mode (but for the Kelvin sign and the long s, see
// below), and the library compiles and scans it far faster so.
constexpr unsigned kByteExactFlags = HS_FLAG_CASELESS | HS_FLAG_SINGLEMATCH | HS_FLAG_ALLOWEMPTY;

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Caseless in Unicode, 'k' and 's' also match the Kelvin sign and the long s, which
// an ASCII scan does not know: a text holding either is not prefiltered.
bool HoldsOtherCaseOfAscii(std::string_view text) {
    return text.find("\xE2\x84\xAA") != std::string_view::npos ||
           text.find("\xC5\xBF") != std::string_view::npos;
}

// Past this width a bounded repeat makes the library build large automata: one such
// pattern ("(?:,[^,]{1,90}){50}") took a quarter of a second to compile, and PCRE2
// confirms it in microseconds. An unbounded width (".*") costs nothing of the kind.
constexpr unsigned kMaxBoundedWidth = 1000;

bool WorthCompiling(const hs_expr_info_t& info) {
    const bool boundedWide = info.max_width != UINT_MAX && info.max_width > kMaxBoundedWidth;
    return !boundedWide && info.min_width <= kMaxBoundedWidth;
}

// The flags the library takes this pattern with, or 0 when it takes it in no mode or
// it is cheaper left to PCRE2.
unsigned FlagsFor(const std::string& pattern, unsigned exact = kExactFlags) {
    for (const unsigned flags : {exact, exact | HS_FLAG_PREFILTER}) {
        hs_expr_info_t* info = nullptr;
        hs_compile_error_t* error = nullptr;
        const hs_error_t rc = hs_expression_info(pattern.c_str(), flags, &info, &error);
        hs_free_compile_error(error);
        const bool worth = rc == HS_SUCCESS && info != nullptr && WorthCompiling(*info);
        std::free(info);
        if (rc == HS_SUCCESS) {
            return worth ? flags : 0;
        }
    }
    return 0;
}

struct Entry {
    int id;
    std::string text;  // NUL-terminated for the library
    unsigned flags;
};

// How the library is given a rule's pattern; none when PCRE2 alone is to try it.
std::optional<Entry> EntryFor(const Prefilter::Pattern& p) {
    // A text every match must hold is scanned for in place of the pattern: far cheaper
    // to compile, in time and memory, and PCRE2 confirms what it finds.
    if (std::optional<std::string> literal = RequiredLiteral(p.text)) {
        const unsigned flags = IsAscii(*literal) ? kAsciiLiteralFlags : kLiteralFlags;
        return Entry{p.id, std::move(*literal), flags};
    }
    std::string text(p.text);
    unsigned flags = MeansTheSameByteWise(text) ? FlagsFor(text, kByteExactFlags) : 0;
    if (flags == 0) {
        flags = FlagsFor(text);
    }
    if (flags == 0) {
        return std::nullopt;
    }
    return Entry{p.id, std::move(text), flags};
}

// What a scan reports to; ids past `limit` name no pattern of this database and are
// dropped, so no file, however it came to be, can point past the rule table.
struct Reports {
    std::vector<int>* candidates;
    unsigned limit;
};

int OnMatch(unsigned int id, unsigned long long /*from*/, unsigned long long /*to*/,
            unsigned int /*flags*/, void* context) {
    const Reports* reports = static_cast<const Reports*>(context);
    if (id <= reports->limit) {
        reports->candidates->push_back(static_cast<int>(id));
    }
    return 0;
}

unsigned LargestId(const std::vector<Prefilter::Pattern>& patterns) {
    int largest = 0;
    for (const Prefilter::Pattern& p : patterns) {
        largest = std::max(largest, p.id);
    }
    return static_cast<unsigned>(largest);
}

std::string Hex(const unsigned char* data, std::size_t size) {
    std::string out;
    char two[3];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(two, sizeof two, "%02x", data[i]);
        out += two;
    }
    return out;
}

// A compiled database depends on the patterns and their ids, on how they are
// compiled, and on the library and the routine it is built for. The key names them
// all; the rule text enters only through its digest.
std::string DatabaseKey(const std::vector<Prefilter::Pattern>& patterns, const ScanEngine& engine) {
    std::string listed;
    for (const Prefilter::Pattern& p : patterns) {
        listed += std::to_string(p.id) + ":" + std::to_string(p.text.size()) + ":";
        listed.append(p.text);
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(listed.data(), listed.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
        return {};
    }
    return std::string("prefilter ") + hs_version() + " " + engine.name +
           " features=" + std::to_string(engine.platform.cpu_features) +
           " tune=" + std::to_string(engine.platform.tune) +
           " flags=" + std::to_string(kExactFlags) + "/" + std::to_string(kApproximateFlags) +
           " width=" + std::to_string(kMaxBoundedWidth) + " literals=3/" +
           std::to_string(kAsciiLiteralFlags) + "/" + std::to_string(kLiteralFlags) +
           " bytes=" + std::to_string(kByteExactFlags) + " rules=" + Hex(digest, length);
}

}  // namespace

// The database as the cache keeps it: the counts and the rejected ids on one line,
// then the library's own serialized form.
std::string Prefilter::Serialized(const std::vector<int>& rejected) const {
    char* bytes = nullptr;
    std::size_t size = 0;
    if (hs_serialize_database(database_, &bytes, &size) != HS_SUCCESS) {
        return {};
    }
    std::string out = std::to_string(exactCount_) + " " + std::to_string(approximateCount_) + " " +
                      std::to_string(rejected.size());
    for (const int id : rejected) {
        out += ' ';
        out += std::to_string(id);
    }
    out += "\n";
    out.append(bytes, size);
    std::free(bytes);
    return out;
}

std::unique_ptr<Prefilter> Prefilter::Deserialized(const std::string& body,
                                                   const std::vector<Pattern>& patterns,
                                                   std::vector<int>& rejected) {
    const std::size_t newline = body.find('\n');
    if (newline == std::string::npos) {
        return nullptr;
    }
    std::istringstream line(body.substr(0, newline));
    std::size_t exact = 0, approximate = 0, count = 0;
    std::vector<int> ids;
    if (!(line >> exact >> approximate >> count) || count > patterns.size()) {
        return nullptr;
    }
    for (int id = 0; ids.size() < count && line >> id;) {
        const auto known = [id](const Pattern& p) { return p.id == id; };
        if (std::none_of(patterns.begin(), patterns.end(), known)) {
            return nullptr;
        }
        ids.push_back(id);
    }
    if (ids.size() != count || exact + approximate + count != patterns.size()) {
        return nullptr;
    }
    hs_database_t* database = nullptr;
    if (hs_deserialize_database(body.data() + newline + 1, body.size() - newline - 1, &database) !=
        HS_SUCCESS) {
        return nullptr;
    }
    std::unique_ptr<Prefilter> prefilter(new Prefilter);
    prefilter->database_ = database;
    prefilter->scan_ = TrustedScanEngine()->scan;
    prefilter->exactCount_ = exact;
    prefilter->approximateCount_ = approximate;
    prefilter->largestId_ = LargestId(patterns);
    rejected.insert(rejected.end(), ids.begin(), ids.end());
    return prefilter;
}

Prefilter::Scratch::~Scratch() {
    hs_free_scratch(scratch_);
}

bool Prefilter::Scratch::Fit(const Prefilter& prefilter) {
    return hs_alloc_scratch(prefilter.database_, &scratch_) == HS_SUCCESS;
}

Prefilter::~Prefilter() {
    hs_free_database(database_);
}

bool Prefilter::Available() {
    return TrustedScanEngine() != nullptr;
}

const char* Prefilter::EngineName() {
    return Available() ? TrustedScanEngine()->name : "none";
}

std::unique_ptr<Prefilter> Prefilter::Build(const std::vector<Pattern>& patterns,
                                            std::vector<int>& rejected,
                                            const std::string& cacheName) {
    const ScanEngine* engine = TrustedScanEngine();
    const std::string key = engine != nullptr && !cacheName.empty() && !patterns.empty()
                                ? DatabaseKey(patterns, *engine)
                                : std::string();
    if (!key.empty()) {
        if (const std::optional<std::string> body = ScanCache::Read(cacheName, key)) {
            std::vector<int> kept;
            if (std::unique_ptr<Prefilter> prefilter = Deserialized(*body, patterns, kept)) {
                rejected.insert(rejected.end(), kept.begin(), kept.end());
                return prefilter;
            }
        }
    }
    const std::size_t before = rejected.size();
    std::unique_ptr<Prefilter> prefilter = Compile(patterns, rejected);
    if (prefilter && !key.empty()) {
        const std::vector<int> ownRejected(rejected.begin() + static_cast<std::ptrdiff_t>(before),
                                           rejected.end());
        const std::string body = prefilter->Serialized(ownRejected);
        if (!body.empty()) {
            ScanCache::Write(cacheName, key, body);
        }
    }
    return prefilter;
}

std::unique_ptr<Prefilter> Prefilter::Compile(const std::vector<Pattern>& patterns,
                                              std::vector<int>& rejected) {
    const ScanEngine* engine = TrustedScanEngine();
    std::vector<Entry> entries;
    for (const Pattern& p : patterns) {
        std::optional<Entry> entry = engine != nullptr ? EntryFor(p) : std::nullopt;
        if (entry) {
            entries.push_back(std::move(*entry));
        } else {
            rejected.push_back(p.id);
        }
    }
    // A pattern the library accepts alone can still fail in company (its size, say):
    // the compiler names it, and it moves to the rejected ones.
    while (!entries.empty()) {
        std::vector<const char*> texts;
        std::vector<unsigned> flags;
        std::vector<unsigned> ids;
        for (const Entry& e : entries) {
            texts.push_back(e.text.c_str());
            flags.push_back(e.flags);
            ids.push_back(static_cast<unsigned>(e.id));
        }
        hs_database_t* database = nullptr;
        hs_compile_error_t* error = nullptr;
        const hs_error_t rc = hs_compile_multi(texts.data(), flags.data(), ids.data(),
                                               static_cast<unsigned>(entries.size()), HS_MODE_BLOCK,
                                               &engine->platform, &database, &error);
        if (rc == HS_SUCCESS) {
            std::unique_ptr<Prefilter> prefilter(new Prefilter);
            prefilter->database_ = database;
            prefilter->scan_ = engine->scan;
            prefilter->largestId_ = LargestId(patterns);
            for (const Entry& e : entries) {
                const bool exact = e.flags == kExactFlags || e.flags == kByteExactFlags;
                ++(exact ? prefilter->exactCount_ : prefilter->approximateCount_);
            }
            return prefilter;
        }
        const int failed = error != nullptr ? error->expression : -1;
        hs_free_compile_error(error);
        if (failed < 0 || static_cast<std::size_t>(failed) >= entries.size()) {
            break;  // not one pattern's fault: the whole group goes to PCRE2
        }
        rejected.push_back(entries[failed].id);
        entries.erase(entries.begin() + failed);
    }
    for (const Entry& e : entries) {
        rejected.push_back(e.id);
    }
    return nullptr;
}

bool Prefilter::Scan(std::string_view text, Scratch& scratch, std::vector<int>& candidates) const {
    if (scratch.scratch_ == nullptr || HoldsOtherCaseOfAscii(text)) {
        return false;
    }
    Reports reports{&candidates, largestId_};
    const hs_error_t rc = scan_(database_, text.data(), static_cast<unsigned>(text.size()), 0,
                                scratch.scratch_, OnMatch, &reports);
    return rc == HS_SUCCESS;
}

std::size_t Prefilter::DatabaseBytes() const {
    std::size_t size = 0;
    return hs_database_size(database_, &size) == HS_SUCCESS ? size : 0;
}

#else  // Built without Vectorscan: every pattern goes to PCRE2.

Prefilter::Scratch::~Scratch() = default;

bool Prefilter::Scratch::Fit(const Prefilter&) {
    return false;
}

Prefilter::~Prefilter() = default;

bool Prefilter::Available() {
    return false;
}

const char* Prefilter::EngineName() {
    return "none";
}

std::unique_ptr<Prefilter> Prefilter::Build(const std::vector<Pattern>& patterns,
                                            std::vector<int>& rejected, const std::string&) {
    for (const Pattern& p : patterns) {
        rejected.push_back(p.id);
    }
    return nullptr;
}

bool Prefilter::Scan(std::string_view, Scratch&, std::vector<int>&) const {
    return false;
}

std::size_t Prefilter::DatabaseBytes() const {
    return 0;
}

#endif
