#include "scan/rule_compiler.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(CompileRuleTest, HeaderCodesOfTheDialogNames) {
    const std::pair<const char*, int> names[] = {
        {"From:", 1},     {"To:", 2},       {"Cc:", 3},          {"Content-Type:", 4},
        {"Recipient", 5}, {"Reply-To:", 6}, {"Return-Path:", 7}, {"Received:", 8},
        {"Subject:", 9},  {"Sender:", 10},  {"Message-ID:", 11}, {"Any header", 15},
    };
    AppState state;
    for (const auto& [name, code] : names) {
        EXPECT_EQ(CompileRule(state, 0, name, "x", 1), 1);
        EXPECT_EQ(state.rules[state.ruleCount - 1].headerCode, code) << name;
    }
    EXPECT_EQ(state.ruleCount, 12u);
    // Case-sensitive letters; short names are not read past their end.
    const char* unknown[] = {"from:", "X-Mailer:", "Cx:", "Rex", "R", "", "Sx"};
    for (const char* name : unknown) {
        CompileRule(state, 0, name, "x", 1);
        EXPECT_EQ(state.rules[state.ruleCount - 1].headerCode, kHeaderNone) << name;
    }
    // Stored and counted although it can never score.
    EXPECT_EQ(state.ruleCount, 19u);
}

TEST(CompileRuleTest, SlotHoldsCaselessPatternAndSignedWeight) {
    AppState state;
    CompileRule(state, 0, "From:", "a", 100);
    CompileRule(state, 1, "From:", "a", 50);
    CompileRule(state, 7, "From:", "a", -20);
    CompileRule(state, 1, "From:", "a", INT_MIN);
    ASSERT_EQ(state.ruleCount, 4u);
    EXPECT_EQ(state.rules[0].weight, 100);
    EXPECT_EQ(state.rules[1].weight, -50);
    EXPECT_EQ(state.rules[2].weight, 20);
    EXPECT_EQ(state.rules[3].weight, INT_MAX);
    EXPECT_EQ(state.rules[0].options, PCRE2_CASELESS);
    EXPECT_NE(state.rules[0].pattern, nullptr);
}

TEST(CompileRuleTest, BadPatternIsDroppedAndSlotReused) {
    AppState state;
    CompileRule(state, 0, "From:", "a(b", 100);
    EXPECT_EQ(state.ruleCount, 0u);
    EXPECT_EQ(state.rules[0].headerCode, 0);
    EXPECT_EQ(state.rules[0].pattern, nullptr);
    CompileRule(state, 1, "Subject:", "ok", 10);
    ASSERT_EQ(state.ruleCount, 1u);
    EXPECT_EQ(state.rules[0].headerCode, kHeaderSubject);
    EXPECT_EQ(state.rules[0].weight, -10);
}

TEST(CompileRuleTest, OverlongPatternIsCutAt4095Bytes) {
    AppState state;
    // "^From:(.*)" plus 4085 letters fills the buffer exactly; the rest is cut, so
    // an unbalanced parenthesis past the limit does not drop the rule.
    const std::string text = std::string(4085, 'a') + "(";
    CompileRule(state, 0, "From:", text, 1);
    ASSERT_EQ(state.ruleCount, 1u);
    // One byte more and the parenthesis is inside: the rule is dropped.
    CompileRule(state, 0, "From:", std::string(4084, 'a') + "(", 1);
    EXPECT_EQ(state.ruleCount, 1u);
}

TEST(CompileRuleTest, TableNeverGrowsPastItsEnd) {
    AppState state;
    for (std::size_t i = 0; i < kMaxRules + 5; ++i) {
        EXPECT_EQ(CompileRule(state, 0, "To:", "x", 1, false), 1);
    }
    EXPECT_EQ(state.ruleCount, kMaxRules);
    state.ClearRules();
    EXPECT_EQ(state.ruleCount, 0u);
    EXPECT_EQ(state.rules[0].pattern, nullptr);
}

TEST(CompileRuleTest, ReloadWithoutClearDoesNotLeak) {
    AppState state;
    CompileRule(state, 0, "To:", "x", 1);
    state.ruleCount = 0;  // a caller that forgot to clear: the slot is replaced
    CompileRule(state, 0, "From:", "y", 1);
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
    CompileRule(state, 0, "Subject:", "ab(c", 1);
    EXPECT_EQ(state.ruleCount, 0u);
}

}  // namespace
