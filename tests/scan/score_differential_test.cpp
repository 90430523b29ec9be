// The grouped scorer, with and without its prefilter, against the reference scorer:
// the same score, verdict and fired rules for every block, on generated rule lists of
// the shapes users write (and the odd ones) and on the scan fuzz target's corpus.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "scan/header_fields.h"
#include "scan/header_scorer.h"
#include "scan/reference_scorer.h"
#include "scan/rule_compiler.h"
#include "scan/rule_groups.h"
#include "scan/rule_table_builder.h"

namespace {

const std::vector<std::string> kWords = {"free",  "win",     "prize", "alice", "bob",     "casino",
                                         "offer", "report",  "mx",    "relay", "lottery", "ab",
                                         "a",     "example", "org",   "biz",   "x1",      "zz"};
const std::vector<std::string> kHeaders = {
    "From:",        "To:",           "Cc:",     "Recipient", "Subject:",   "Received:",
    "Subject:",     "Received:",     "Sender:", "Reply-To:", "Any header", "Message-ID:",
    "Return-Path:", "Content-Type:", "From:",   "To:"};

class Random {
  public:
    explicit Random(unsigned seed) : rng_(seed) {}
    int Int(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
    bool Chance(double p) { return std::bernoulli_distribution(p)(rng_); }
    template <class T>
    const T& Of(const std::vector<T>& v) {
        return v[static_cast<std::size_t>(Int(0, static_cast<int>(v.size()) - 1))];
    }
    std::string Word() {
        std::string w = Of(kWords);
        if (Chance(0.2)) {
            for (char& c : w) {
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
        }
        return w;
    }

  private:
    std::mt19937 rng_;
};

// One piece of a contains text. The prefix's "(.*)" is group 1, so "\1" names it.
std::string Piece(Random& r, int depth) {
    const std::string w = r.Word();
    switch (depth > 2 ? 0 : r.Int(0, 17)) {
        case 0:
            return w;
        case 1:
            return "(" + w + "|" + r.Word() + "|" + r.Word() + ")";
        case 2:
            return "[a-z]{" + std::to_string(r.Int(0, 3)) + "," + std::to_string(r.Int(3, 8)) + "}";
        case 3:
            return "[^ @]+@";
        case 4:
            return "\\b" + w + "\\b";
        case 5:
            return "(\\w+) \\2";  // a repeated word
        case 6:
            return "\\1";  // whatever the prefix's group took
        case 7:
            return w + "(?=" + Piece(r, depth + 1) + ")";
        case 8:
            return "(?<!" + r.Word() + ")" + w;
        case 9:
            return "(?<=[ <])" + w;
        case 10:
            return w + "(?!" + r.Word() + ")";
        case 11:
            return ".{0," + std::to_string(r.Int(1, 30)) + "}";
        case 12:
            return "[0-9]{2}|" + w;  // a top-level alternation
        case 13:
            return w + "$";
        case 14:
            return "\\d+\\.\\w{1,4}\\s?";
        case 15:
            return "(?>" + w + "+)|x++";  // atomic and possessive: PCRE2 only
        case 16:
            return "(?-i)" + w;
        default: {
            // Appended in turn: GCC 12 flags the chained form with a false -Wrestrict.
            std::string optional = "(";
            optional += Piece(r, depth + 1);
            optional += ")?";
            optional += Piece(r, depth + 1);
            return optional;
        }
    }
}

std::string Contains(Random& r) {
    if (r.Chance(0.03)) {
        return "";
    }
    std::string text;
    for (int i = r.Int(1, 3); i > 0; --i) {
        text += Piece(r, 0) + (r.Chance(0.3) ? ".*" : " ?");
    }
    return text;
}

void MakeRules(RuleTableBuilder& state, std::size_t count, unsigned seed) {
    Random r(seed);
    static const std::vector<int> kWeights = {10, 20, 25, 50, 100, 30, 75, 1};
    state.Clear();
    for (std::size_t compiled = 0; compiled < count;) {
        const std::string header = r.Of(kHeaders);
        const std::string contains = Contains(r);
        compiled += CheckRulePattern(header, contains).ok ? 1 : 0;
        CompileRule(state, static_cast<RuleList>(r.Int(0, 1)), header, contains, r.Of(kWeights));
    }
}

std::string Text(Random& r) {
    std::string text;
    for (int i = r.Int(0, 8); i > 0; --i) {
        text += r.Word();
        switch (r.Int(0, 9)) {
            case 0:
                // Appended piece by piece: GCC 12 flags " " + ... with a false
                // -Wrestrict at -O3.
                text.append(" ").append(std::to_string(r.Int(0, 999))).append(".");
                break;
            case 1:
                text += "@";
                break;
            case 2:
                text += "\r\n\t";
                break;  // folded
            case 3:
                text += "\xE9";
                break;
            case 4: {
                const std::string head = text.substr(0, 6);
                text += ' ';
                text += head;
                break;
            }
            default:
                text += " ";
        }
    }
    return text;
}

std::string Block(Random& r) {
    static const std::vector<std::string> kNames = {
        "From: ", "To: ", "Cc: ", "Subject: ", "Received: ", "Sender: ", "X-Other: "};
    std::string block;
    for (int i = r.Int(1, 10); i > 0; --i) {
        std::string name = r.Of(kNames);
        if (r.Chance(0.1)) {
            name[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[0])));
        }
        block += name + Text(r) + (r.Chance(0.05) ? "\n" : "\r\n");
    }
    return block;
}

struct Outcome {
    int score;
    bool unwanted;
    std::vector<int> fired;
    std::size_t limited;
    std::string block;  // what is left of it
};

Outcome Score(RuleTableBuilder& state, std::string block, bool reference) {
    std::vector<int> fired;
    const ScoreResult r = reference ? ScoreHeaderReference(state.Table(), block, &fired)
                                    : ScoreHeader(state.Table(), block, &fired);
    return {r.score, r.Unwanted(), fired, r.limitedRules.size(), block};
}

// The patterns of the rules that fired on one side only, to tell a failure's cause.
std::string Difference(RuleTableBuilder& state, const Outcome& want, const Outcome& got) {
    std::string out;
    for (std::uint32_t j = 0; j < state.Table().size(); ++j) {
        const auto n = [j](const std::vector<int>& v) { return std::count(v.begin(), v.end(), j); };
        if (n(want.fired) != n(got.fired)) {
            out += std::to_string(j) + " " + state.Table()[j].source + " reference " +
                   std::to_string(n(want.fired)) + " grouped " + std::to_string(n(got.fired)) +
                   "\n";
        }
    }
    return out;
}

// Every path must agree with the reference on every block.
// How many blocks the reference found unwanted, and how many ended at exactly 100.
struct Seen {
    int unwanted = 0;
    int hundred = 0;
};

// The prefilter is tried at its usual floor and with every group above it, so a
// small list covers both the PCRE2-alone groups and the databases.
struct Way {
    ScoringPath path;
    std::size_t floor;
};
constexpr Way kWays[] = {{ScoringPath::kPrefilter, RuleGroups::kPrefilterFloor},
                         {ScoringPath::kPrefilter, 1},
                         {ScoringPath::kGroups, RuleGroups::kPrefilterFloor}};

void ExpectSameEverywhere(RuleTableBuilder& state, const std::vector<std::string>& blocks,
                          Seen& seen) {
    std::vector<Outcome> reference;
    for (const std::string& block : blocks) {
        reference.push_back(Score(state, block, true));
        seen.unwanted += reference.back().unwanted ? 1 : 0;
        seen.hundred += reference.back().score == 100 ? 1 : 0;
    }
    for (const Way way : kWays) {
        state.SetPath(way.path);
        RuleGroups::SetPrefilterFloor(way.floor);
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            const Outcome& want = reference[i];
            const Outcome got = Score(state, blocks[i], false);
            ASSERT_EQ(got.score, want.score)
                << "path " << static_cast<int>(way.path) << " floor " << way.floor << "\n"
                << Difference(state, want, got) << blocks[i];
            EXPECT_EQ(got.unwanted, want.unwanted);
            EXPECT_EQ(got.fired, want.fired) << blocks[i];
            EXPECT_EQ(got.block, want.block);
            EXPECT_EQ(got.limited, 0u) << blocks[i];
        }
    }
    RuleGroups::SetPrefilterFloor(RuleGroups::kPrefilterFloor);
}

TEST(ScoreDifferentialTest, GeneratedRulesAndBlocks) {
    Random r(2026);
    std::vector<std::string> blocks;
    for (int i = 0; i < 3000; ++i) {
        std::string block = Block(r);
        DecodeEncodedWords(block);
        blocks.push_back(std::move(block));
    }
    for (const std::size_t count : {15u, 500u, 2000u}) {
        SCOPED_TRACE(count);
        RuleTableBuilder state;
        MakeRules(state, count, static_cast<unsigned>(count));
        if (Prefilter::Available()) {
            // The list must exercise all three ways a rule is taken, the shared
            // Recipient group among them; a short list only below the floor.
            RuleGroups::SetPrefilterFloor(1);
            const RuleGroups::Figures f = state.Table().groups().figures();
            EXPECT_GT(f.exact, 0u);
            if (count >= 100) {
                EXPECT_GT(f.alwaysTried, 0u);
                EXPECT_GT(f.approximate, 0u);
            }
            RuleGroups::SetPrefilterFloor(RuleGroups::kPrefilterFloor);
            const RuleGroups::Figures usual = state.Table().groups().figures();
            EXPECT_EQ(usual.databaseBytes == 0, count < 100);
        }
        Seen seen;
        ExpectSameEverywhere(state, blocks, seen);
        // The blocks must reach the verdicts and the early end, or agreeing proves little.
        EXPECT_GT(seen.unwanted, 100);
        if (count >= 500) {
            EXPECT_GT(seen.hundred, 100);
        }
    }
}

// Non-ASCII rules (caseless in other scripts, classes, the special case foldings)
// against the same words in UTF-8, in other charsets and beside bytes that are not
// UTF-8: the prefilter may never change a verdict.
TEST(ScoreDifferentialTest, UnicodeRulesAndBlocks) {
    const std::vector<std::string> patterns = {
        "\xD0\x92\xD0\xAB\xD0\x98\xD0\x93\xD0\xA0\xD0\xAB\xD0\xA8",
        "caf\xC3\xA9",
        "CAF\xC3\x89|g\xC4\x99\xC5\x9Bl\xC4\x85",
        "stra\xC3\x9F"
        "e",
        "k\\w+",
        "s.n",
        "\\bm\\w{3}ler\\b",
        "[\xC3\xA0-\xC3\xBF]{2}",
        "\\W{3}",
        "\xCF\x83\xCE\xBF",
        "\xE2\x84\xAA"
        "elvin",
        "\xEF\xBF\xBD",
        "x\\Wy",
        "\\p{Cyrillic}{4}",
        "free|prize",
        "sun|kel",  // compiled byte by byte: the Kelvin sign and the long s must pass
        "[j-l]elvin"};
    const std::vector<std::string> texts = {"=?KOI8-R?Q?=F7=F9=E9=E7=F2=F9=FB?=",
                                            "=?utf-8?B?0LLRi9C40LPRgNGL0Yg=?=",
                                            "=?iso-8859-1?Q?Caf=E9?= free",
                                            "=?windows-1252?Q?CAF=C9_m=FCller?=",
                                            "=?ISO-8859-2?Q?G=CA=A6L=A1?=",
                                            "STRASSE stra\xC3\x9F"
                                            "e",
                                            "\xE2\x84\xAA"
                                            "elvin kelvin",
                                            "\xC5\xBF"
                                            "un sun \xCE\xA3\xCE\x9F",
                                            "M\xFCller x\xFFy prize",
                                            "\xC3 \xED\xA0\x80 k\x80"
                                            "a",
                                            "=?x-none?Q?=E9t=E9?=",
                                            "=?Shift_JIS?B?k/qWew==?= \xE0\xE1",
                                            "\xE2\x84\xAA"
                                            "ELVIN",
                                            "\xC5\xBF"
                                            "UN"};
    Random r(7);
    std::vector<std::string> blocks;
    for (int i = 0; i < 600; ++i) {
        std::string block =
            "Subject: " + r.Of(texts) + " " + r.Of(texts) + "\r\nFrom: " + r.Of(texts) + "\r\n";
        DecodeEncodedWords(block);
        blocks.push_back(std::move(block));
    }
    RuleTableBuilder state;
    for (std::size_t i = 0; i < 40; ++i) {
        const std::string& pattern = patterns[i % patterns.size()];
        CompileRule(state, i % 3 == 0 ? RuleList::kFriends : RuleList::kBlock,
                    i % 2 == 0 ? "Subject:" : "From:", pattern, static_cast<int>(i % 7) * 10 + 5);
    }
    Seen seen;
    ExpectSameEverywhere(state, blocks, seen);
    EXPECT_GT(seen.unwanted, 50);
}

TEST(ScoreDifferentialTest, FuzzCorpus) {
    std::vector<std::string> blocks;
    for (const auto& entry : std::filesystem::directory_iterator(QV_FUZZ_SCAN_CORPUS)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!data.empty()) {
            std::string block = data.substr(1);  // as the fuzz target reads it
            DecodeEncodedWords(block);
            blocks.push_back(std::move(block));
        }
    }
    ASSERT_GT(blocks.size(), 100u);
    for (const std::size_t count : {15u, 500u}) {
        RuleTableBuilder state;
        MakeRules(state, count, static_cast<unsigned>(count) + 1);
        Seen seen;
        ExpectSameEverywhere(state, blocks, seen);
        EXPECT_GT(seen.unwanted, 5);
    }
}

}  // namespace
