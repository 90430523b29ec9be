#include "scan/rule_compiler.h"
#include "scan/rule_table_builder.h"

#include <gtest/gtest.h>

#include <climits>

#include "scan/rule_headers.h"

namespace {

TEST(CompileRuleTest, HeaderCodesOfTheDialogNames) {
    RuleTableBuilder state;
    for (const RuleHeader& header : kRuleHeaders) {
        const std::string name(header.name);
        EXPECT_EQ(CompileRule(state, RuleList::kFriends, name, "x", 1), 1);
        EXPECT_EQ(state.Table()[state.Table().size() - 1].headerCode, header.code) << name;
    }
    EXPECT_EQ(state.Table().size(), 12u);
    // Case-sensitive letters; short names are not read past their end.
    const char* unknown[] = {"from:", "X-Mailer:", "Cx:", "Rex", "R", "", "Sx"};
    for (const char* name : unknown) {
        CompileRule(state, RuleList::kFriends, name, "x", 1);
        EXPECT_EQ(state.Table()[state.Table().size() - 1].headerCode, kHeaderNone) << name;
    }
    // Stored and counted although it can never score.
    EXPECT_EQ(state.Table().size(), 19u);
}

TEST(CompileRuleTest, SlotHoldsCaselessPatternAndSignedWeight) {
    RuleTableBuilder state;
    CompileRule(state, RuleList::kFriends, "From:", "a", 100);
    CompileRule(state, RuleList::kBlock, "From:", "a", 50);
    CompileRule(state, static_cast<RuleList>(7), "From:", "a",
                -20);  // any other value counts as Block
    CompileRule(state, RuleList::kBlock, "From:", "a", INT_MIN);
    ASSERT_EQ(state.Table().size(), 4u);
    EXPECT_EQ(state.Table()[0].weight, 100);
    EXPECT_EQ(state.Table()[1].weight, -50);
    EXPECT_EQ(state.Table()[2].weight, 20);
    EXPECT_EQ(state.Table()[3].weight, INT_MAX);
    EXPECT_EQ(state.Table()[0].options, PCRE2_CASELESS | PCRE2_UTF | PCRE2_UCP);
    // A rule in an old 8-bit charset is not UTF-8: it keeps its byte-wise meaning.
    CompileRule(state, RuleList::kBlock, "Subject:", "caf\xE9", 5);
    ASSERT_EQ(state.Table().size(), 5u);
    EXPECT_EQ(state.Table()[4].options, PCRE2_CASELESS);
    EXPECT_TRUE(CheckRulePattern("Subject:", "caf\xE9").ok);
    EXPECT_NE(state.Table()[0].pattern, nullptr);
}

TEST(CompileRuleTest, BadPatternIsDroppedAndSlotReused) {
    RuleTableBuilder state;
    CompileRule(state, RuleList::kFriends, "From:", "a(b", 100);
    EXPECT_EQ(state.Table().size(), 0u);
    CompileRule(state, RuleList::kBlock, "Subject:", "ok", 10);
    ASSERT_EQ(state.Table().size(), 1u);
    EXPECT_EQ(state.Table()[0].headerCode, kHeaderSubject);
    EXPECT_EQ(state.Table()[0].weight, -10);
}

TEST(CompileRuleTest, OverlongPatternIsCutAt4095Bytes) {
    RuleTableBuilder state;
    // "^From:(.*)" plus 4085 letters fills the buffer exactly; the rest is cut, so
    // an unbalanced parenthesis past the limit does not drop the rule.
    const std::string text = std::string(4085, 'a') + "(";
    CompileRule(state, RuleList::kFriends, "From:", text, 1);
    ASSERT_EQ(state.Table().size(), 1u);
    // One byte more and the parenthesis is inside: the rule is dropped.
    CompileRule(state, RuleList::kFriends, "From:", std::string(4084, 'a') + "(", 1);
    EXPECT_EQ(state.Table().size(), 1u);
}

TEST(CompileRuleTest, TableNeverGrowsPastItsEnd) {
    RuleTableBuilder state;
    for (std::size_t i = 0; i < kMaxRules + 5; ++i) {
        EXPECT_EQ(CompileRule(state, RuleList::kFriends, "To:", "x", 1, false), 1);
    }
    EXPECT_EQ(state.Table().size(), kMaxRules);
    state.Clear();
    EXPECT_EQ(state.Table().size(), 0u);
}

TEST(CompileRuleTest, ReloadWithoutClearDoesNotLeak) {
    RuleTableBuilder state;
    CompileRule(state, RuleList::kFriends, "To:", "x", 1);
    const std::shared_ptr<const RuleTable> first = state.Shared();
    state.Clear();  // a new table; the first is freed with its last holder
    CompileRule(state, RuleList::kFriends, "From:", "y", 1);
    EXPECT_EQ(state.Table()[0].headerCode, kHeaderFrom);
    EXPECT_EQ((*first)[0].headerCode, kHeaderTo);
}

}  // namespace

namespace {

TEST(CheckRulePatternTest, ReportsPcreMessageAndOffsetInTheContainsText) {
    EXPECT_TRUE(CheckRulePattern("Subject:", "(free|win).*money").ok);
    const PatternCheck bad = CheckRulePattern("Subject:", "ab(c");
    EXPECT_FALSE(bad.ok);
    EXPECT_EQ(bad.message, "missing closing parenthesis");
    EXPECT_EQ(bad.offset, 4);
    // Recipient rules are built on other names; the offset still counts in the text.
    const PatternCheck recipient = CheckRulePattern("Recipient", "a[b");
    EXPECT_FALSE(recipient.ok);
    EXPECT_EQ(recipient.offset, 3);
    // Nothing is stored: a check leaves no trace in any table.
    RuleTableBuilder state;
    CompileRule(state, RuleList::kFriends, "Subject:", "ab(c", 1);
    EXPECT_EQ(state.Table().size(), 0u);
}

}  // namespace
