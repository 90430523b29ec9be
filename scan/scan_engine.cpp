#include "scan/scan_engine.h"

#include <dlfcn.h>

#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#ifndef PCRE2_CODE_UNIT_WIDTH
#define PCRE2_CODE_UNIT_WIDTH 8
#endif
#include <pcre2.h>

#include "scan/scan_cache.h"

namespace {

constexpr unsigned kFlags = HS_FLAG_CASELESS | HS_FLAG_SINGLEMATCH | HS_FLAG_ALLOWEMPTY;

// Shapes the scorer relies on: short and long literals, classes, alternations and the
// anchored rule prefix, on texts whose matches fall at every offset up to 300 bytes.
const char* const kPatterns[] = {"x",
                                 "1",
                                 "xy?",
                                 "x1",
                                 "[xy]",
                                 "xa|x1",
                                 "x+",
                                 "ab",
                                 "free",
                                 "^S.*x",
                                 "^S(.*)free",
                                 "fr[e]{2}",
                                 "\\bx1",
                                 "x$",
                                 "win.{0,20}prize",
                                 "(free|win|prize)",
                                 "[0-9]{2}",
                                 "q|x",
                                 "zz?x",
                                 "^S(.*)(a|b)z"};

bool PcreMatches(const char* pattern, const std::string& text) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED,
                                     PCRE2_CASELESS, &error, &offset, nullptr);
    pcre2_match_data* data = pcre2_match_data_create(1, nullptr);
    const int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0, 0,
                               data, nullptr);
    pcre2_match_data_free(data);
    pcre2_code_free(code);
    return rc >= 0;
}

std::vector<std::string> TestTexts() {
    std::mt19937 rng(2026);
    const std::string alphabet = "aSbxy1 freewinprizezqAB";
    std::vector<std::string> texts;
    for (int n = 0; n < 200; n += 3) {
        // Built in place: GCC 12 flags the chained operator+ form with a false -Wrestrict.
        std::string text(static_cast<std::size_t>(n) + 1, 'a');
        text.front() = 'S';
        text.append("x1 free");
        texts.push_back(std::move(text));
    }
    for (int k = 0; k < 200; ++k) {
        std::string text = "S";
        for (int i = static_cast<int>(rng() % 300); i > 0; --i) {
            text += alphabet[rng() % alphabet.size()];
        }
        texts.push_back(std::move(text));
    }
    return texts;
}

int Collect(unsigned int id, unsigned long long, unsigned long long, unsigned int, void* context) {
    static_cast<std::vector<bool>*>(context)->at(id) = true;
    return 0;
}

// Every match PCRE2 finds in the texts must be reported; more is allowed.
bool PassesKnownAnswers(const ScanEngine& engine, const std::vector<const char*>& patterns,
                        const std::vector<std::string>& texts) {
    std::vector<unsigned> flags(patterns.size(), kFlags);
    std::vector<unsigned> ids(patterns.size());
    for (unsigned i = 0; i < ids.size(); ++i) {
        ids[i] = i;
    }
    hs_database_t* database = nullptr;
    hs_compile_error_t* error = nullptr;
    if (hs_compile_multi(patterns.data(), flags.data(), ids.data(),
                         static_cast<unsigned>(ids.size()), HS_MODE_BLOCK, &engine.platform,
                         &database, &error) != HS_SUCCESS) {
        hs_free_compile_error(error);
        return false;
    }
    hs_scratch_t* scratch = nullptr;
    bool passed = hs_alloc_scratch(database, &scratch) == HS_SUCCESS;
    for (std::size_t t = 0; passed && t < texts.size(); ++t) {
        const std::string& text = texts[t];
        std::vector<bool> found(ids.size(), false);
        passed = engine.scan(database, text.data(), static_cast<unsigned>(text.size()), 0, scratch,
                             Collect, &found) == HS_SUCCESS;
        for (std::size_t i = 0; passed && i < ids.size(); ++i) {
            passed = found[i] || !PcreMatches(patterns[i], text);
        }
    }
    hs_free_scratch(scratch);
    hs_free_database(database);
    return passed;
}

// A database of one pattern takes other code paths than one of many: both are tried.
bool PassesKnownAnswers(const ScanEngine& engine) {
    const std::vector<std::string> texts = TestTexts();
    const std::vector<const char*> all(std::begin(kPatterns), std::end(kPatterns));
    if (!PassesKnownAnswers(engine, all, texts)) {
        return false;
    }
    for (const char* pattern : kPatterns) {
        if (!PassesKnownAnswers(engine, {pattern}, texts)) {
            return false;
        }
    }
    return true;
}

// The processor's model as the kernel names it: two processors with the same feature
// bits may still differ in what the library's code does on them.
std::string ProcessorModel() {
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("model name")) {
            return line.substr(line.find(':') + 1);
        }
    }
    return {};
}

// What the self-test's answer depends on: the library, the processor and the
// routines the library offers on it.
std::string EngineKey(const hs_platform_info_t& host, const std::vector<ScanEngine>& engines) {
    std::string key =
        std::string("scan-engine ") + hs_version() + " tune=" + std::to_string(host.tune) +
        " features=" + std::to_string(host.cpu_features) + " model=" + ProcessorModel();
    for (const ScanEngine& engine : engines) {
        key += std::string(" ") + engine.name;
    }
    for (char& c : key) {
        c = c == '\n' || c == '\r' ? ' ' : c;
    }
    return key;
}

constexpr char kEngineFile[] = "scan-engine";
constexpr char kNoEngine[] = "none";

}  // namespace

std::optional<ScanEngine> ChooseScanEngine() {
    if (hs_valid_platform() != HS_SUCCESS) {
        return std::nullopt;
    }
    hs_platform_info_t host{};
    if (hs_populate_platform(&host) != HS_SUCCESS) {
        return std::nullopt;
    }
    std::vector<ScanEngine> engines = {{hs_scan, host, "default"}};
    // The per-processor entry points of a library built for many processors; a
    // database for one of them must not use what a newer one has.
    const std::pair<const char*, unsigned long long> older[] = {
        {"avx2_hs_scan", HS_CPU_FEATURES_AVX2}, {"corei7_hs_scan", 0}, {"core2_hs_scan", 0}};
    for (const auto& [symbol, features] : older) {
        void* scan = dlsym(RTLD_DEFAULT, symbol);
        if (scan != nullptr && (host.cpu_features & features) == features) {
            hs_platform_info_t platform = host;
            platform.cpu_features = features;
            engines.push_back({reinterpret_cast<ScanEngine::ScanFunction>(scan), platform, symbol});
        }
    }
    // The self-test takes a quarter of a second per routine tried; its answer stands
    // until the library or the processor changes.
    const std::string key = EngineKey(host, engines);
    if (const std::optional<std::string> known = ScanCache::Read(kEngineFile, key)) {
        if (*known == kNoEngine) {
            return std::nullopt;
        }
        for (const ScanEngine& engine : engines) {
            if (*known == engine.name) {
                return engine;
            }
        }
    }
    for (const ScanEngine& engine : engines) {
        if (PassesKnownAnswers(engine)) {
            ScanCache::Write(kEngineFile, key, engine.name);
            return engine;
        }
    }
    ScanCache::Write(kEngineFile, key, kNoEngine);
    return std::nullopt;
}

const ScanEngine* TrustedScanEngine() {
    static const std::optional<ScanEngine> engine = ChooseScanEngine();
    return engine ? &*engine : nullptr;
}
