#include "scan/header_scorer.h"
#include "scan/rule_table_builder.h"

#include <gtest/gtest.h>

#include <climits>
#include <map>

#include "scan/header_fields.h"
#include "scan/rule_compiler.h"
#include "scan/rule_headers.h"

namespace {

constexpr RuleList kFriends = RuleList::kFriends;
constexpr RuleList kBlock = RuleList::kBlock;

const std::string kMessage =
    "Received: from relay.example.net by mx.example.org\r\n"
    "Received: from lottery-mailer.biz\r\n\tby relay.example.net\r\n"
    "Received: from 10.0.0.1 by lottery-mailer.biz\r\n"
    "From: Alice <alice@example.com>\r\n"
    "To: bob@example.org\r\n"
    "Cc: carol@example.org\r\n"
    "Subject: Quarterly report\r\n";

class ScoreHeaderTest : public ::testing::Test {
  protected:
    int Score(std::string block = kMessage) { return ScoreHeader(state_.Table(), block).score; }
    void Add(RuleList list, const std::string& header, const std::string& text, int weight) {
        CompileRule(state_, list, header, text, weight);
    }
    RuleTableBuilder state_;
};

TEST_F(ScoreHeaderTest, EmptyTableKeepsEveryMessage) {
    std::string block = kMessage;
    const ScoreResult result = ScoreHeader(state_.Table(), block);
    EXPECT_EQ(result.score, 0);
    EXPECT_FALSE(result.Unwanted());
    EXPECT_EQ(result.from, "From: Alice <alice@example.com>");
    EXPECT_EQ(result.subject, "Subject: Quarterly report");
}

TEST_F(ScoreHeaderTest, EveryMatchingReceivedFieldCountsAndIsCut) {
    Add(kBlock, "Received:", "from", 10);
    std::string block = kMessage;
    EXPECT_EQ(ScoreHeader(state_.Table(), block).score, -30);
    EXPECT_EQ(FindHeaderField(block, "Received:"), std::nullopt);
    EXPECT_EQ(FindHeaderField(block, "To:"), "To: bob@example.org");
    // A folded Received field is matched unfolded.
    state_.Clear();
    Add(kBlock, "Received:", "biz\tby", 10);
    EXPECT_EQ(Score(), -10);
}

// Each name the dialog offers against a message holding every field: the six kinds
// the scorer tests score their own field; the others are kept but never score.
TEST_F(ScoreHeaderTest, EveryNameTheDialogOffersScoresOnlyItsOwnField) {
    const std::string block =
        "From: f1\r\nTo: t2\r\nCc: c3\r\nSubject: s4\r\nSender: x\r\nReply-To: x\r\n"
        "Content-Type: x\r\nMessage-ID: x\r\nReturn-Path: x\r\nReceived: r5\r\n";
    const std::map<HeaderCode, std::string> value = {
        {kHeaderFrom, "f1"},    {kHeaderTo, "t2"},       {kHeaderCc, "c3"},
        {kHeaderSubject, "s4"}, {kHeaderReceived, "r5"}, {kHeaderRecipient, "(t2|c3)"}};
    for (const RuleHeader& header : kRuleHeaders) {
        state_.Clear();
        const auto own = value.find(header.code);
        Add(kBlock, std::string(header.name), own != value.end() ? own->second + "$" : "x", 1);
        EXPECT_EQ(Score(block), own != value.end() ? -1 - (header.code == kHeaderRecipient) : 0)
            << header.name;
        // Another field's value never matches.
        state_.Clear();
        Add(kBlock, std::string(header.name), header.code == kHeaderFrom ? "s4" : "f1", 1);
        EXPECT_EQ(Score(block), 0) << header.name;
    }
}

TEST_F(ScoreHeaderTest, RecipientTestsToAndCc) {
    Add(kBlock, "Recipient", "example\\.org", 50);
    EXPECT_EQ(Score(), -100);
}

TEST_F(ScoreHeaderTest, ExactlyHundredEndsThePass) {
    Add(kFriends, "From:", "alice", 100);
    Add(kBlock, "From:", "alice", 50);
    EXPECT_EQ(Score(), 100);
    // A Subject rule reaching 100 ends it at the next rule's check, after that
    // rule's From, To and Cc tests.
    state_.Clear();
    Add(kFriends, "Subject:", "report", 100);
    Add(kBlock, "To:", "nobody", 30);
    Add(kBlock, "Subject:", "report", 30);
    EXPECT_EQ(Score(), 100);
    state_.Clear();
    Add(kFriends, "Subject:", "report", 100);
    Add(kBlock, "To:", "bob", 30);
    Add(kBlock, "Subject:", "report", 30);
    EXPECT_EQ(Score(), 40);
}

TEST_F(ScoreHeaderTest, FiredRulesSumToTheScore) {
    Add(kBlock, "Received:", "lottery", 10);          // 0: two Received fields
    Add(kFriends, "Recipient", "example\\.org", 30);  // 1: To and Cc
    Add(kBlock, "Subject:", "nothing", 5);            // 2: no match
    Add(kFriends, "From:", "alice", 60);              // 3: 100 is reached here
    Add(kBlock, "Subject:", "report", 7);             // 4: cut off by the early end
    std::vector<int> fired = {42};
    std::string block = kMessage;
    const ScoreResult result = ScoreHeader(state_.Table(), block, &fired);
    EXPECT_EQ(result.score, 100);
    EXPECT_EQ(fired, (std::vector<int>{0, 0, 1, 1, 3}));
    int sum = 0;
    for (int j : fired) {
        sum += state_.Table()[j].weight;
    }
    EXPECT_EQ(sum, result.score);
    // Without the early end the Subject rule counts too.
    block = kMessage;
    state_.Clear();
    Add(kBlock, "Received:", "lottery", 10);
    Add(kFriends, "Recipient", "example\\.org", 30);
    Add(kBlock, "Subject:", "nothing", 5);
    Add(kFriends, "From:", "alice", 61);
    Add(kBlock, "Subject:", "report", 7);
    Add(kBlock, "Cc:", "carol", 1);  // 5
    EXPECT_EQ(ScoreHeader(state_.Table(), block, &fired).score, 93);
    EXPECT_EQ(fired, (std::vector<int>{0, 0, 1, 1, 3, 4, 5}));
}

TEST_F(ScoreHeaderTest, PassingOverHundredDoesNotEndIt) {
    Add(kFriends, "From:", "alice", 50);
    Add(kFriends, "To:", "bob", 100);
    Add(kBlock, "Subject:", "report", 30);
    EXPECT_EQ(Score(), 120);
}

TEST_F(ScoreHeaderTest, ReceivedWeightsCountBeforeTheRulePass) {
    // -20 from two Received fields, then +120 on From makes exactly 100.
    Add(kBlock, "Received:", "lottery", 10);
    Add(kFriends, "From:", "alice", 120);
    Add(kBlock, "Subject:", "report", 200);
    EXPECT_EQ(Score(), 100);
}

TEST_F(ScoreHeaderTest, ContainsTextIsARegularExpression) {
    Add(kBlock, "Subject:", "invoice|report", 5);
    Add(kBlock, "From:", "[a-z]{5}@", 7);
    Add(kBlock, "Cc:", "", 11);  // an empty text matches any Cc field
    EXPECT_EQ(Score(), -23);
    Add(kBlock, "From:", "bad(", 1000);
    EXPECT_EQ(state_.Table().size(), 3u);
    EXPECT_EQ(Score(), -23);
    // Caseless: name and address in capitals.
    EXPECT_EQ(Score("FROM: ALICE@EXAMPLE.COM\r\n"), -7);
}

TEST_F(ScoreHeaderTest, AlternationDoesNotReachOtherFields) {
    // The second branch is not anchored on the header name; the rule still only
    // scores its own field, and the kinds that never score stay silent.
    Add(kBlock, "Subject:", "casino|lottery", 25);
    Add(kBlock, "Cc:", "nothing|alice", 25);
    Add(kBlock, "Any header", "x|", 25);
    Add(kBlock, "Sender:", "x|.", 25);
    EXPECT_EQ(Score(), 0);
    EXPECT_EQ(Score("Subject: lottery win\r\nReceived: lottery\r\n"), -25);
    // The six kinds that never score, on fields of their own names.
    state_.Clear();
    for (const char* name :
         {"Sender:", "Reply-To:", "Content-Type:", "Message-ID:", "Return-Path:", "Any header"}) {
        Add(kBlock, name, "", 10);
    }
    EXPECT_EQ(Score("Sender: a\r\nReply-To: b\r\nContent-Type: text/plain\r\n"
                    "Message-ID: <c>\r\nReturn-Path: <d>\r\nAny header\r\n" +
                    kMessage),
              0);
}

TEST_F(ScoreHeaderTest, ScoreSaturatesInsteadOfWrapping) {
    Add(kBlock, "Received:", "", INT_MAX);
    const ScoreResult result = [&] {
        std::string block = kMessage;
        return ScoreHeader(state_.Table(), block);
    }();
    EXPECT_EQ(result.score, INT_MIN);
    EXPECT_TRUE(result.Unwanted());
}

TEST_F(ScoreHeaderTest, MatchWithMoreGroupsThanTheWorkAreaCounts) {
    std::string groups;
    for (int i = 0; i < 40; ++i) {
        groups += "(e)?";
    }
    Add(kBlock, "Subject:", "report" + groups, 9);
    EXPECT_EQ(Score(), -9);
}

TEST_F(ScoreHeaderTest, LongFieldsMatchWithAndWithoutJit) {
    // A repeated alternation over a long field outgrows the JIT's stack; the verdict
    // must still be the interpreter's.
    const std::string big = "Received: x" + std::string(20000, 'a') + "c\r\n";
    Add(kBlock, "Received:", "x(a|b)+c", 3);
    CompileRule(state_, kBlock, "Received:", "x(a|b)+c", 4, false);
    EXPECT_EQ(Score(big), -7);
}

TEST_F(ScoreHeaderTest, CatastrophicPatternIsSettledWithoutBacktracking) {
    // Nested repeats before a "b" that the look-behind then refuses: without a limit
    // the backtracking matcher runs for longer than anyone waits. The prefilter cannot rule it out.
    Add(kBlock, "Subject:", "(a|aa)+(a|aa)+b(?<!ab)", 50);
    Add(kBlock, "Subject:", "aaaa", 7);
    const std::string hostile = "Subject: " + std::string(30000, 'a') + "b\r\n";
    for (const ScoringPath path : {ScoringPath::kPrefilter, ScoringPath::kGroups}) {
        state_.SetPath(path);
        std::string block = hostile;
        const ScoreResult result = ScoreHeader(state_.Table(), block);
        // The retry without backtracking settles it: no match, and nothing limited.
        EXPECT_EQ(result.score, -7);
        EXPECT_EQ(result.limitedRules, std::vector<int>{});
    }
}

TEST_F(ScoreHeaderTest, ReloadedRulesAreScoredAtOnce) {
    // The groups and their databases are made from the table as it was; every path
    // must see a rule list that changed since.
    for (const ScoringPath path :
         {ScoringPath::kPrefilter, ScoringPath::kGroups, ScoringPath::kReference}) {
        state_.SetPath(path);
        state_.Clear();
        Add(kBlock, "Subject:", "report", 5);
        EXPECT_EQ(Score(), -5);
        state_.Clear();
        Add(kBlock, "Subject:", "quarterly", 9);
        EXPECT_EQ(Score(), -9);
        Add(kBlock, "From:", "alice", 4);
        EXPECT_EQ(Score(), -13);
    }
}

// A rule means what the user typed, in UTF-8, on the text as the window shows it:
// whatever charset the sender used, in any letter case of any script.
TEST_F(ScoreHeaderTest, DecodedWordsAreScored) {
    Add(kBlock, "Subject:", "caf\xC3\xA9 gratuit", 60);
    Add(kBlock, "Subject:",
        "g\xC4\x99\xC5\x9Bl\xC4\x85|Caf\xC3\xA9|"
        "\xD0\xB2\xD1\x8B\xD0\xB8\xD0\xB3\xD1\x80\xD1\x8B\xD1\x88",
        1);
    Add(kBlock, "Subject:", "\xD0\x92\xD0\xAB\xD0\x98\xD0\x93\xD0\xA0\xD0\xAB\xD0\xA8", 10);
    Add(kBlock, "Subject:", "\\s\\w{3}$", 100);
    const std::pair<const char*, int> cases[] = {
        {"=?iso-8859-1?Q?CAF=C9?=\r\n =?utf-8?B?IGdyYXR1aXQ=?=", -61},
        {"=?windows-1252?Q?caf=E9?=", -1},
        {"=?ISO-8859-2?Q?G=CA=A6L=A1?=", -1},
        {"=?KOI8-R?Q?=D7=D9=C9=C7=D2=D9=DB?=", -11},
        {"=?utf-8?B?0JLRi9C40LPRgNGL0Yg=?=", -11},
        // \w takes letters of every script.
        {"=?koi8-r?Q?=F0=F2=E9?=", -100},
        {"=?Shift_JIS?B?k/qWew==?=!", 0},
    };
    for (const auto& [subject, score] : cases) {
        std::string block = std::string("Subject: ") + subject + "\r\n";
        DecodeEncodedWords(block);
        for (const ScoringPath path :
             {ScoringPath::kPrefilter, ScoringPath::kGroups, ScoringPath::kReference}) {
            state_.SetPath(path);
            std::string copy = block;
            EXPECT_EQ(ScoreHeader(state_.Table(), copy).score, score) << subject;
        }
    }
}

// Bytes that are not UTF-8 are seen as U+FFFD, as the window shows them, so a rule
// still matches past them; a rule that is not UTF-8 itself still sees the bytes.
TEST_F(ScoreHeaderTest, InvalidUtf8IsMatchedWhereItCan) {
    Add(kBlock, "Subject:", "M.ller", 1);
    Add(kBlock, "Subject:", "offer", 4);
    Add(kBlock, "Subject:", "\xC3", 8);  // not UTF-8: matched byte-wise
    Add(kBlock, "Subject:", "\\w\\W\\w{3}$", 16);
    const std::pair<std::string, int> cases[] = {
        {"Subject: M\xFCller offer", -5},
        {"Subject: M\xC3\xBCller offer", -13},
        {"Subject: \xC3\xBC\xFF\xC3\xBC", -8},
        {"Subject: \xED\xA0\x80 \xF4\x90\x80\x80 offer", -4},
        {"Subject: x\x80"
         "abc",
         -16},
    };
    for (const auto& [subject, score] : cases) {
        for (const ScoringPath path :
             {ScoringPath::kPrefilter, ScoringPath::kGroups, ScoringPath::kReference}) {
            state_.SetPath(path);
            EXPECT_EQ(Score(subject + "\r\n"), score) << subject;
        }
    }
}

// A rule that needs too many backtracking steps is tried again without backtracking;
// only a rule that cannot be (a back-reference) counts as limited, once per message.
TEST_F(ScoreHeaderTest, LimitedRulesAreRetriedWithoutBacktracking) {
    Add(kBlock, "Subject:", "(a|aa)+c|!", 5);
    Add(kBlock, "Received:", "(a|aa)+c|!", 7);
    Add(kBlock, "Subject:", "((a|aa)+)\\1c", 9);
    Add(kBlock, "Received:", "((a|aa)+)\\1c", 11);
    const std::string hostile = std::string(40, 'a') + "!";
    for (const ScoringPath path : {ScoringPath::kPrefilter, ScoringPath::kGroups}) {
        state_.SetPath(path);
        std::string block = "Received: " + hostile + "\r\nReceived: " + hostile +
                            "\r\nSubject: " + hostile + "\r\n";
        const ScoreResult result = ScoreHeader(state_.Table(), block);
        EXPECT_EQ(result.score, -19);
        EXPECT_EQ(result.limitedRules, (std::vector<int>{3, 2}));
    }
}

}  // namespace
