#include "scan/prefilter.h"

#ifdef QV_HAVE_VECTORSCAN

#include <climits>
#include <cstdlib>
#include <string>

#include "scan/scan_engine.h"

namespace {

// Caseless like the PCRE2 patterns; one report per pattern and scan is all a candidate
// list needs; an empty alternative ("x|") is legal in a rule.
constexpr unsigned kExactFlags = HS_FLAG_CASELESS | HS_FLAG_SINGLEMATCH | HS_FLAG_ALLOWEMPTY;
constexpr unsigned kApproximateFlags = kExactFlags | HS_FLAG_PREFILTER;

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
unsigned FlagsFor(const std::string& pattern) {
    for (const unsigned flags : {kExactFlags, kApproximateFlags}) {
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

int OnMatch(unsigned int id, unsigned long long /*from*/, unsigned long long /*to*/,
            unsigned int /*flags*/, void* context) {
    static_cast<std::vector<int>*>(context)->push_back(static_cast<int>(id));
    return 0;
}

}  // namespace

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
                                            std::vector<int>& rejected) {
    const ScanEngine* engine = TrustedScanEngine();
    std::vector<Entry> entries;
    for (const Pattern& p : patterns) {
        std::string text(p.text);
        const unsigned flags = engine != nullptr ? FlagsFor(text) : 0;
        if (flags == 0) {
            rejected.push_back(p.id);
        } else {
            entries.push_back({p.id, std::move(text), flags});
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
            for (const Entry& e : entries) {
                ++((e.flags & HS_FLAG_PREFILTER) != 0 ? prefilter->approximateCount_
                                                      : prefilter->exactCount_);
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
    if (scratch.scratch_ == nullptr) {
        return false;
    }
    const hs_error_t rc = scan_(database_, text.data(), static_cast<unsigned>(text.size()), 0,
                                scratch.scratch_, OnMatch, &candidates);
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
                                            std::vector<int>& rejected) {
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
