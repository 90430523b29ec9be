// The texts the prefilter scans for in place of a pattern: they must be in every
// match, in their order, or the pattern is compiled whole.
#include "scan/required_literal.h"

#include <gtest/gtest.h>

namespace {

TEST(RequiredLiteralTest, TakesTheRequiredRunsInOrderOrNothing) {
    const struct {
        const char* pattern;
        std::optional<std::string> literal;
    } cases[] = {
        {"lottery", "lottery"},
        {R"(boss@corp\.example)", R"(boss\@corp\.example)"},
        {R"(offer12\b)", "offer12"},
        {"colou?r scheme", R"(colo.*r\ scheme)"},  // the optional 'u' splits the run
        {"viagr(a|e) now", R"(viagr.*\ now)"},     // a group ends a run
        {"fre+ stuff", R"(fre.*\ stuff)"},         // "fre" counts once, then ends
        {"ab{0,3}cdef", "cdef"},  // {0,…} makes 'b' optional; "a" alone is too short
        {"x{2}yzw", "yzw"},
        {"free|prize", "free|prize"},  // one text per alternative
        {"(a|b)cheap|discount", "cheap|discount"},
        {"free|", std::nullopt},    // an empty alternative matches anything
        {"free|ab", std::nullopt},  // too short in one alternative
        {"[a-z]+@spam[0-9]+\\.example", R"(\@spam.*\.example)"},
        {R"([]|x]deal|sale)", "deal|sale"},  // a bar inside a class
        {"\xD0\xB2\xD1\x8B\xD0\xB8\xD0\xB3\xD1\x80\xD1\x8B\xD1\x88",
         "\xD0\xB2\xD1\x8B\xD0\xB8\xD0\xB3\xD1\x80\xD1\x8B\xD1\x88"},
        {"caf\xC3\xA9?s here", R"(caf.*s\ here)"},  // the quantifier takes the whole é
        {R"(\Qa|b\E winner)", std::nullopt},        // quoted text is not read
        {"(?x) l o t t e r y", std::nullopt},       // options change how the rest reads
        {"(?i:lottery)", std::nullopt},
        {"(*ACCEPT)jackpot", std::nullopt},
        {R"(\p{Greek}+ casino)", std::nullopt},  // escapes by a letter, not read
        {R"(\x41bcdef)", std::nullopt},
        {R"((a)\1 winner)", std::nullopt},
        {"a{,3}winner", std::nullopt},  // not a quantifier in this PCRE2
        {"(?=pre)prefix", "prefix"},
        {"(unbalanced", std::nullopt},
        {"[[:alpha:]]+ winner", std::nullopt},  // POSIX names are not read
    };
    EXPECT_EQ(RequiredLiteral(R"([a-z]{3,10}[0-9]{3,6}@[a-z]+\.com)"), std::nullopt)
        << "too little text to tell fields apart";
    for (const auto& c : cases) {
        EXPECT_EQ(RequiredLiteral(c.pattern, 3, 3), c.literal) << c.pattern;
    }
}

}  // namespace

TEST(RequiredLiteralTest, ByteWiseOnlyWhatUnicodeDoesNotWiden) {
    for (const char* same : {R"(judy(\.[a-z]+)?@example\.org)", "[]x-]{2,}|free", "(?:a|b)c$",
                             R"([a\-z]+)", "(?=x)y"}) {
        EXPECT_TRUE(MeansTheSameByteWise(same)) << same;
    }
    for (const char* other : {"s.n", R"(\bprize\b)", R"([\w.]+@)", "[^x]y", "caf\xC3\xA9", "(?i)x",
                              "(*UCP)x", "[[:alpha:]]", "(?<name>x)"}) {
        EXPECT_FALSE(MeansTheSameByteWise(other)) << other;
    }
}
