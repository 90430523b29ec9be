// Feeds arbitrary header blocks through decoding, field search and cut, and scoring
// against a small fixed rule table, and checks what must hold for any input: among it,
// that the grouped scorer gives the reference scorer's score and fired rules.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "scan/header_fields.h"
#include "scan/header_scorer.h"
#include "scan/reference_scorer.h"
#include "scan/rule_compiler.h"
#include "scan/rule_matcher.h"
#include "scan/rule_table_builder.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

const RuleTable& Rules() {
    static RuleTableBuilder* state = [] {
        auto* s = new RuleTableBuilder;
        CompileRule(*s, RuleList::kFriends, "From:", "alice@example\\.com", 100);
        CompileRule(*s, RuleList::kFriends, "To:", "bob|carol", 50);
        CompileRule(*s, RuleList::kBlock, "Cc:", "[0-9]{3,5}", 20);
        CompileRule(*s, RuleList::kBlock, "Recipient", "(undisclosed|list)", 30);
        CompileRule(*s, RuleList::kBlock, "Subject:", "(free|win).*(money|prize)", 60);
        CompileRule(*s, RuleList::kBlock, "Subject:", "", 1);
        CompileRule(*s, RuleList::kBlock, "Received:", "from [a-z]+\\.(biz|info)", 10);
        CompileRule(*s, RuleList::kFriends, "Received:", "by mx\\.example\\.org", 5);
        CompileRule(*s, RuleList::kBlock, "Sender:", "x|", 99);
        CompileRule(*s, RuleList::kBlock, "Any header", "", 99);
        CompileRule(*s, RuleList::kBlock, "From:", "broken(", 99);  // dropped
        CompileRule(*s, RuleList::kFriends, "Subject:", "r(e)?(e)?(e)?port", 100, false);
        CompileRule(*s, RuleList::kBlock, "Subject:", "(\\w+) \\2|^s",
                    40);  // the prefilter cannot take it
        CompileRule(*s, RuleList::kFriends, "Received:", "(?<=from )[a-z]{2,}\\b", 100);
        return s;
    }();
    return state->Table();
}

const char* const kNames[] = {"From:", "To:", "Cc:", "Subject:", "Received:", "X:", ":"};

std::string TextOf(const std::string& s) {
    return std::string(s.c_str());
}

void FuzzBase64(const std::string& text) {
    std::vector<char> out(text.size() + 4);
    const int n = DecodeBase64(out.data(), text.c_str());
    Check(n >= -1);
    Check(n <= 0 || static_cast<std::size_t>(n) <= (text.size() / 4 + 1) * 3);
}

void FuzzFields(const std::string& block, const std::string& name) {
    const std::optional<std::string> found = FindHeaderField(block, name);
    std::string cutBlock = block;
    const std::optional<std::string> cut = CutHeaderField(cutBlock, name);
    Check(found == cut);
    const std::string text = TextOf(block);
    if (!cut) {
        Check(cutBlock == text);
        return;
    }
    Check(cutBlock.size() + cut->size() <= text.size());
    Check(cut->find('\0') == std::string::npos);
}

// The grouped scorer with its prefilter must agree with the reference scorer.
void FuzzScore(std::string block) {
    std::string referenceBlock = block;
    std::vector<int> fired;
    std::vector<int> referenceFired;
    const ScoreResult result = ScoreHeader(Rules(), block, &fired);
    const ScoreResult reference = ScoreHeaderReference(Rules(), referenceBlock, &referenceFired);
    Check(!FindHeaderField(block, "Received:"));
    Check(result.from == FindHeaderField(block, "From:"));
    if (result.limitedRules.empty()) {
        Check(result.score == reference.score);
        Check(fired == referenceFired);
    }
    Check(block == referenceBlock);
}

// The retry without backtracking must give the backtracking matcher's verdict
// wherever both finish, on the text as the scorer hands it over.
void FuzzRetry(const std::string& block) {
    static RuleMatcher matcher;
    std::string shown;
    AppendWithReplacement(TextOf(block), shown);
    Check(IsValidUtf8(shown));
    const RuleTable& table = Rules();
    for (std::uint32_t j = 0; j < table.size(); ++j) {
        const pcre2_code* pattern = table[j].pattern;
        const bool unicode = (table[j].options & PCRE2_UTF) != 0;
        const std::string& text = unicode ? shown : block;
        const RuleMatcher::Outcome a = matcher.MatchBacktracking(pattern, text);
        const RuleMatcher::Outcome b = matcher.MatchWithoutBacktracking(pattern, text);
        if (a != RuleMatcher::Outcome::kLimit && b != RuleMatcher::Outcome::kLimit) {
            Check(a == b);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte picks a field name; a name of its own follows a 0xFF byte.
    const std::uint8_t pick = data[0];
    std::string block(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string name = kNames[pick % (sizeof(kNames) / sizeof(kNames[0]))];
    if (pick == 0xFF) {
        const std::size_t nl = block.find('\n');
        name = block.substr(0, nl == std::string::npos ? 0 : nl);
    }

    FuzzBase64(block);
    FuzzFields(block, name);

    const std::size_t before = TextOf(block).size();
    const std::optional<std::size_t> end = DecodeEncodedWords(block);
    // Conversion to UTF-8 may grow the text: a byte becomes at most a few.
    Check(block.size() <= 6 * before);
    Check(!end || *end == block.size());

    FuzzFields(block, name);
    FuzzRetry(block);
    FuzzScore(block);
    return 0;
}
