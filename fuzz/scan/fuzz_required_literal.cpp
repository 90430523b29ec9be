// The prefilter's readings of a pattern must never miss a match: for any pattern and
// any text the pattern matches (caseless, in Unicode, as rules are compiled), the
// texts read from it match that text too, and a pattern taken byte by byte matches it
// byte by byte. Input: the pattern, a NUL byte, the text.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "scan/required_literal.h"

namespace {

// 1 match, 0 no match, -1 neither (no compile, or a limit reached).
int Matches(std::string_view pattern, std::string_view text, std::uint32_t options) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                     options, &error, &offset, nullptr);
    if (code == nullptr) {
        return -1;
    }
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(code, nullptr);
    pcre2_match_context* context = pcre2_match_context_create(nullptr);
    pcre2_set_match_limit(context, 100000);
    pcre2_set_depth_limit(context, 1000);
    const int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0, 0,
                               data, context);
    pcre2_match_context_free(context);
    pcre2_match_data_free(data);
    pcre2_code_free(code);
    return rc >= 0 ? 1 : rc == PCRE2_ERROR_NOMATCH ? 0 : -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    if (split == std::string_view::npos || split > 200) {
        return 0;
    }
    const std::string_view pattern = input.substr(0, split);
    const std::string_view text = input.substr(split + 1);
    constexpr std::uint32_t kRule =
        PCRE2_CASELESS | PCRE2_UTF | PCRE2_UCP | PCRE2_MATCH_INVALID_UTF;
    if (Matches(pattern, text, kRule) != 1) {
        return 0;
    }
    // Fields with the Kelvin sign or the long s are not prefiltered by byte-wise entries.
    const bool otherCase = text.find("\xE2\x84\xAA") != std::string_view::npos ||
                           text.find("\xC5\xBF") != std::string_view::npos;
    if (MeansTheSameByteWise(pattern) && !otherCase &&
        Matches(pattern, text, PCRE2_CASELESS) == 0) {
        std::abort();
    }
    const std::optional<std::string> literal = RequiredLiteral(pattern);
    if (!literal) {
        return 0;
    }
    // As the prefilter scans: ASCII texts byte by byte and caseless in ASCII, others as
    // rules are; '.' matching anything.
    const bool ascii = std::all_of(literal->begin(), literal->end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii && otherCase) {
        return 0;
    }
    const std::uint32_t scan = ascii ? PCRE2_CASELESS : kRule;
    if (Matches(*literal, text, scan | PCRE2_DOTALL) == 0) {
        std::abort();
    }
    return 0;
}
