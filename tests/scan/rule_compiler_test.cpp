#include "scan/rule_compiler.h"

#include <gtest/gtest.h>

#include <climits>

#include "scan/rule_headers.h"

namespace {

TEST(CompileRuleTest, HeaderCodesOfTheDialogNames) {
    AppState state;
    for (const RuleHeader& header : kRuleHeaders) {
        const std::string name(header.name);
        EXPECT_EQ(CompileRule(state, RuleList::kFriends, name, "x", 1), 1);
        EXPECT_EQ(state.rules[state.ruleCount - 1].headerCode, header.code) << name;
    }
    EXPECT_EQ(state.ruleCount, 12u);
    // Case-sensitive letters; short names are not read past their end.
    const char* unknown[] = {"from:", "X-Mailer:", "Cx:", "Rex", "R", "", "Sx"};
    for (const char* name : unknown) {
        CompileRule(state, RuleList::kFriends, name, "x", 1);
        EXPECT_EQ(state.rules[state.ruleCount - 1].headerCode, kHeaderNone) << name;
    }
    // Stored and counted although it can never score.
    EXPECT_EQ(state.ruleCount, 19u);
}

TEST(CompileRuleTest, SlotHoldsCaselessPatternAndSignedWeight) {
    AppState state;
    CompileRule(state, RuleList::kFriends, "From:", "a", 100);
    CompileRule(state, RuleList::kBlock, "From:", "a", 50);
    CompileRule(state, static_cast<RuleList>(7), "From:", "a",
                -20);  // any other value counts as Block
    CompileRule(state, RuleList::kBlock, "From:", "a", INT_MIN);
    ASSERT_EQ(state.ruleCount, 4u);
    EXPECT_EQ(state.rules[0].weight, 100);
    EXPECT_EQ(state.rules[1].weight, -50);
    EXPECT_EQ(state.rules[2].weight, 20);
    EXPECT_EQ(state.rules[3].weight, INT_MAX);
    EXPECT_EQ(state.rules[0].options, PCRE2_CASELESS | PCRE2_UTF | PCRE2_UCP);
    // A rule in an old 8-bit charset is not UTF-8: it keeps its byte-wise meaning.
    CompileRule(state, RuleList::kBlock, "Subject:", "caf\xE9", 5);
    ASSERT_EQ(state.ruleCount, 5u);
    EXPECT_EQ(state.rules[4].options, PCRE2_CASELESS);
    EXPECT_TRUE(CheckRulePattern("Subject:", "caf\xE9").ok);
    EXPECT_NE(state.rules[0].pattern, nullptr);
}

TEST(CompileRuleTest, BadPatternIsDroppedAndSlotReused) {
    AppState state;
    CompileRule(state, RuleList::kFriends, "From:", "a(b", 100);
    EXPECT_EQ(state.ruleCount, 0u);
    EXPECT_EQ(state.rules[0].headerCode, 0);
    EXPECT_EQ(state.rules[0].pattern, nullptr);
    CompileRule(state, RuleList::kBlock, "Subject:", "ok", 10);
    ASSERT_EQ(state.ruleCount, 1u);
    EXPECT_EQ(state.rules[0].headerCode, kHeaderSubject);
    EXPECT_EQ(state.rules[0].weight, -10);
}

TEST(CompileRuleTest, OverlongPatternIsCutAt4095Bytes) {
    AppState state;
    // "^From:(.*)" plus 4085 letters fills the buffer exactly; the rest is cut, so
    // an unbalanced parenthesis past the limit does not drop the rule.
    const std::string text = std::string(4085, 'a') + "(";
    CompileRule(state, RuleList::kFriends, "From:", text, 1);
    ASSERT_EQ(state.ruleCount, 1u);
    // One byte more and the parenthesis is inside: the rule is dropped.
    CompileRule(state, RuleList::kFriends, "From:", std::string(4084, 'a') + "(", 1);
    EXPECT_EQ(state.ruleCount, 1u);
}

TEST(CompileRuleTest, TableNeverGrowsPastItsEnd) {
    AppState state;
    for (std::size_t i = 0; i < kMaxRules + 5; ++i) {
        EXPECT_EQ(CompileRule(state, RuleList::kFriends, "To:", "x", 1, false), 1);
    }
    EXPECT_EQ(state.ruleCount, kMaxRules);
    state.ClearRules();
    EXPECT_EQ(state.ruleCount, 0u);
    EXPECT_EQ(state.rules[0].pattern, nullptr);
}

TEST(CompileRuleTest, ReloadWithoutClearDoesNotLeak) {
    AppState state;
    CompileRule(state, RuleList::kFriends, "To:", "x", 1);
    state.ruleCount = 0;  // a caller that forgot to clear: the slot is replaced
    CompileRule(state, RuleList::kFriends, "From:", "y", 1);
    EXPECT_EQ(state.rules[0].headerCode, kHeaderFrom);
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
    AppState state;
    CompileRule(state, RuleList::kFriends, "Subject:", "ab(c", 1);
    EXPECT_EQ(state.ruleCount, 0u);
}

}  // namespace
