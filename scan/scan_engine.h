#pragma once

#include <hs.h>

#include <optional>

// The Vectorscan scan routine the prefilter uses, and the platform its databases are
// built for. Debian's Vectorscan 5.4.9 misses matches with its AVX-512 code (a literal
// past the 64th byte, say), and picks that code on any processor that has it. The
// library's own choice is tried first against a known-answer test; when it fails, the
// library's code for older processors is tried the same way. Null when none passes:
// scoring then runs on PCRE2 alone.
struct ScanEngine {
    using ScanFunction = hs_error_t (*)(const hs_database_t*, const char*, unsigned int,
                                        unsigned int, hs_scratch_t*, match_event_handler, void*);
    ScanFunction scan;
    hs_platform_info_t platform;
    const char* name;
};

// Chosen once per process, on first use.
const ScanEngine* TrustedScanEngine();

// The choice itself: the routine a known-answer test passed on this processor, taken
// from the cache directory when the test already ran there for this library.
std::optional<ScanEngine> ChooseScanEngine();
